"""What the reliability items share: CAN frame layout, process introspection, results."""

import json
import os
import socket
import struct
import sys
import time

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOOLS, "bench"))
# The test suite's fault scenarios and judges (faultcheck), which the stalled,
# fork and storm items repeat.
sys.path.insert(0, os.path.join(os.path.dirname(TOOLS), "tests"))
from procfs import fd_targets, new_can_socket_fd  # noqa: E402,F401  (used by the items)

CAN_FRAME = struct.Struct("=IB3x8s")
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
SO_MEMINFO = 55
SK_MEMINFO_RMEM_ALLOC, SK_MEMINFO_RCVBUF, SK_MEMINFO_DROPS = 0, 1, 8

GETTERS = [
    "getAxisError", "getAxisState", "getPositionEstimate", "getVelocityEstimate", "getTorqueEstimate",
    "getIqSetpoint", "getIqMeasured", "getFETTemperature", "getMotorTemperature", "getBusVoltage",
    "getBusCurrent",
]


def arb_id(node: int, command: int) -> int:
    return (node << 5) | command


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def threads() -> int:
    return len(os.listdir("/proc/self/task"))


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def socket_meminfo(sock: socket.socket) -> tuple:
    return struct.unpack("=9I", sock.getsockopt(socket.SOL_SOCKET, SO_MEMINFO, 36))


def on_vm() -> bool:
    return os.path.exists("/run/vm-run")


def write_result(path: str, result: dict) -> None:
    result.setdefault("finished_utc", time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()))
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        json.dump(result, out, indent=2, sort_keys=False)
        out.write("\n")
    os.replace(tmp, path)
