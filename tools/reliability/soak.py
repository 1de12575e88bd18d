"""Soak: builds and drops a link and a controller, with a start and stop of the
controller's loop, cycle after cycle. Open descriptors and threads must be back
at their baseline after every cycle; resident memory and the C heap in use must
stay flat within a stated bound.

Usage: soak.py --cycles N --result PATH [--iface vcan0]
"""

import argparse
import ctypes
import faulthandler
import select
import socket
import sys
import time

import torvane
from torvane_dev.procfs import open_fds, rss_kib, threads
from torvane_dev.protocol import CAN_FRAME, SET_TORQUE, command_filter
from torvane_dev.results import write_result

WARMUP = 50             # cycles before the memory baseline: allocators and caches fill up
# From the warm-up to the end, resident memory may grow at most RSS_BOUND_KIB and
# the bytes malloc has handed out (every arena) at most HEAP_BOUND_KIB. The second
# is the fine measure: a link or a controller left behind per cycle costs more than
# 64 bytes each time. Resident memory also moves with the allocator's high-water
# mark (a brk heap that grows once and is not trimmed), hence the wider bound.
RSS_BOUND_KIB = 1024
HEAP_BOUND_KIB = 64
SETTLE = 1.0            # seconds a joined thread may take to leave /proc/self/task
FRAME_TIMEOUT = 30.0    # seconds for a running loop to send its first frame


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = MallInfo2


def heap_kib() -> float:
    info = _libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 1024.0  # bytes handed out by malloc, small and mmapped


def one_cycle(iface: str, peer: socket.socket) -> None:
    while select.select([peer], [], [], 0)[0]:
        peer.recv(CAN_FRAME.size)
    link = torvane.ODriveSocket(iface)
    ctrl = torvane.MotorController(link, [0, 1])
    ctrl.set_control_mode(torvane.ODriveControlMode.TORQUE)
    ctrl.initialize_control_thread()
    if not select.select([peer], [], [], FRAME_TIMEOUT)[0]:  # the loop really ran
        raise AssertionError(f"no torque frame within {FRAME_TIMEOUT:.0f} s of starting the loop")
    ctrl.stop_control_thread()
    del ctrl
    del link


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--cycles", type=int, required=True)
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--result", required=True)
    args = parser.parse_args()
    faulthandler.dump_traceback_later(args.cycles * 2.0 + 300, exit=True)

    peer = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    peer.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, command_filter(SET_TORQUE))
    peer.bind((args.iface,))

    failures = []
    start_fds, start_threads, start_rss = open_fds(), threads(), rss_kib()
    started = time.monotonic()
    one_cycle(args.iface, peer)
    # The first controller of a process starts the emergency-stop watcher (a thread
    # and a pipe), which stays for the life of the process: the baseline is taken
    # after the first cycle.
    base_fds, base_threads = open_fds(), threads()
    watcher = dict(threads=base_threads - start_threads, descriptors=base_fds - start_fds)
    if watcher != dict(threads=1, descriptors=2):
        failures.append(f"the first cycle left {watcher}, expected the stop watcher's thread and pipe only")

    samples = []
    late_threads = fd_deviations = thread_deviations = 0
    warmup = min(WARMUP, args.cycles)
    rss_warm = heap_warm = None
    if warmup <= 1:
        rss_warm, heap_warm = rss_kib(), heap_kib()
    rss_steps = []  # (cycle, KiB) whenever resident memory changed after the warm-up
    last_rss = None
    for cycle in range(2, args.cycles + 1):
        one_cycle(args.iface, peer)
        rss = rss_kib()
        if last_rss is not None and rss != last_rss:
            rss_steps.append([cycle, rss - last_rss])
        if cycle >= warmup:
            last_rss = rss
        if open_fds() != base_fds:
            fd_deviations += 1
            if fd_deviations <= 5:
                failures.append(f"cycle {cycle}: {open_fds()} open descriptors, baseline {base_fds}")
        if threads() != base_threads:
            # a joined thread may still be listed for a moment while the kernel reaps it
            deadline = time.monotonic() + SETTLE
            while threads() != base_threads and time.monotonic() < deadline:
                time.sleep(0.001)
            if threads() != base_threads:
                thread_deviations += 1
                if thread_deviations <= 5:
                    failures.append(f"cycle {cycle}: {threads()} threads, baseline {base_threads}")
            else:
                late_threads += 1
        if cycle == warmup:
            rss_warm, heap_warm = rss_kib(), heap_kib()
        if cycle % 50 == 0 or cycle == args.cycles:
            samples.append(dict(cycle=cycle, rss_kib=rss_kib(), heap_kib=round(heap_kib(), 1),
                                fds=open_fds(), threads=threads(), seconds=round(time.monotonic() - started, 1)))
            print(f"soak: {samples[-1]}", file=sys.stderr, flush=True)
    seconds = time.monotonic() - started
    peer.close()

    rss_end, heap_end = rss_kib(), heap_kib()
    rss_growth = rss_end - rss_warm
    heap_growth = heap_end - heap_warm
    if rss_growth > RSS_BOUND_KIB:
        failures.append(f"resident memory grew {rss_growth} KiB from cycle {warmup} to {args.cycles}, "
                        f"bound {RSS_BOUND_KIB} KiB")
    if heap_growth > HEAP_BOUND_KIB:
        failures.append(f"the C heap in use grew {heap_growth:.1f} KiB from cycle {warmup} to {args.cycles}, "
                        f"bound {HEAP_BOUND_KIB} KiB")
    result = dict(
        item="soak", cycles=args.cycles, iface=args.iface,
        baseline=dict(fds=base_fds, threads=base_threads), stop_watcher=watcher,
        fd_deviations=fd_deviations, thread_deviations=thread_deviations,
        threads_settled_late=late_threads,
        rss_kib=dict(start=start_rss, warm=rss_warm, end=rss_end, growth=rss_growth, bound=RSS_BOUND_KIB,
                     warmup_cycles=warmup),
        rss_steps=rss_steps[:100],
        heap_kib=dict(warm=round(heap_warm, 1), end=round(heap_end, 1), growth=round(heap_growth, 1),
                      bound=HEAP_BOUND_KIB),
        cycle_ms=round(seconds / args.cycles * 1000, 2),
        soak_seconds=round(seconds, 3),
        samples=samples,
        failures=failures,
        passed=not failures,
    )
    write_result(args.result, result)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
