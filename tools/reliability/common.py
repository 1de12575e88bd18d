"""What the reliability items share: CAN frame layout, process introspection, results."""

import json
import os
import socket
import struct
import time

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


def fd_targets() -> dict:
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor of the listing itself, already closed
    return targets


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


def new_can_socket_fd(before: dict) -> int:
    """The one CAN socket descriptor that appeared since `before` (from fd_targets())."""
    found = []
    for fd, target in fd_targets().items():
        if target.startswith("socket:") and before.get(fd) != target:
            probe = socket.socket(fileno=os.dup(fd))
            try:
                if probe.family == socket.AF_CAN:
                    found.append(fd)
            finally:
                probe.close()
    if len(found) != 1:
        raise RuntimeError(f"expected one new CAN socket descriptor, found {found}")
    return found[0]


def on_vm() -> bool:
    return os.path.exists("/run/vm-run")


def write_result(path: str, result: dict) -> None:
    result.setdefault("finished_utc", time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()))
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        json.dump(result, out, indent=2, sort_keys=False)
        out.write("\n")
    os.replace(tmp, path)
