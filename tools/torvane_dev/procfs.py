"""What the benchmark and the reliability items read about their own process
from /proc: its descriptors (and the one CAN socket a newly built link opened),
threads and resident memory."""

import os
import socket
import time


def fd_targets() -> dict:
    """Every open descriptor of this process and what it refers to."""
    targets = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            targets[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor of the listing itself, already closed
    return targets


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


def cpu_share(seconds: float = 1.0) -> float:
    """The share of one CPU this process used while its interpreter slept for `seconds`:
    what its native threads took, near 0 when none of them spins."""
    start_cpu, start = time.process_time(), time.monotonic()
    time.sleep(seconds)
    return (time.process_time() - start_cpu) / (time.monotonic() - start)


def under_thread_sanitizer() -> bool:
    """Whether ThreadSanitizer's runtime is loaded into this process (tools/sanitize tsan)."""
    with open("/proc/self/maps") as maps:
        return "libtsan" in maps.read()
