"""Stalled bus: on a bus whose transmit queue barely drains, overflows or is down,
nothing may wait for it. Times 10,000 encoder calls on a stalled queue, then
signals robot programs with two running controllers again and again, on every
kind of fault and on queues that drain (congested, healthy), and judges each
ending as the test suite does: exit status = signal number, "Running ESTOP" per
controller, every IDLE frame either on the bus, reported lost, or reported still
queued on standard error, the loops saying when their passes do not get out, and
on draining queues the IDLE frames after every loop command. The programs run on
one end of a vxcan pair and their frames are counted at the other end, where a
frame arrives only once it has left the queue: one the kernel took into a stalled
queue is not on the bus.

Usage: stalled.py --runs N --seed S --result PATH [--iface vcan1]
"""

import argparse
import contextlib
import faulthandler
import random
import signal
import subprocess
import sys

from torvane_dev.faultcheck import (
    HANG_GUARD,
    judge_stop,
    run_encoder_calls,
    shaped,
    signal_running_child,
    stop_reports,
)
from torvane_dev.results import write_result

FAULTS = ["stalled", "overflowing", "down", "congested", "healthy"]
MODES = ["torque", "velocity", "position"]
CALLS = 10_000
CALL_RUNS = 5


@contextlib.contextmanager
def vxcan_pair(near, far):
    def ip(*args, check=True):
        subprocess.run(["ip", *args], check=check, capture_output=True, timeout=60)
    ip("link", "del", near, check=False)
    ip("link", "add", near, "type", "vxcan", "peer", "name", far)
    try:
        for interface in (near, far):
            ip("link", "set", interface, "up")
        yield near, far
    finally:
        ip("link", "del", near, check=False)


def signal_run(index, rng, near, far, failures) -> dict:
    """One program signalled on `near`, its frames counted at `far`."""
    fault = FAULTS[index % len(FAULTS)]
    mode = rng.choice(MODES if fault != "congested" and fault != "healthy" else ["position"])
    signum = rng.choice([signal.SIGINT, signal.SIGTERM])
    try:
        stopped = signal_running_child(near, mode, signum, fault, far_end=far)
        problems = judge_stop(stopped, near, fault, signum)
    except (AssertionError, OSError) as error:
        stopped, problems = None, [f"did not run: {error}"]
    reports = stop_reports(stopped.err) if stopped else None
    if problems:
        failures.append(f"run {index} ({fault}, {mode}, {signum.name}): " + "; ".join(problems))
        print(f"stalled: {failures[-1]}", file=sys.stderr, flush=True)
    if (index + 1) % 10 == 0:
        print(f"stalled: {index + 1} signal runs", file=sys.stderr, flush=True)
    return dict(fault=fault, mode=mode, signal=signum.name, problems=problems,
                exit_seconds=stopped.exit_seconds if stopped else None,
                calls=stopped.calls if stopped else None,
                lost=sum(reports.lost.values()) if reports else 0,
                still_queued=sum(reports.still_queued.values()) if reports else 0,
                idle_seen=sum(1 for f in (stopped.frames if stopped else [])
                              if f.command == 7 and f.payload == bytes([1, 0, 0, 0])))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--result", required=True)
    parser.add_argument("--iface", default="vcan1")
    args = parser.parse_args()
    faulthandler.dump_traceback_later((args.runs + CALL_RUNS) * (HANG_GUARD + 30), exit=True)
    rng = random.Random(args.seed)
    failures = []

    call_seconds, frames_taken = [], []
    with shaped(args.iface, "stalled"):
        for attempt in range(CALL_RUNS):
            done, seen = run_encoder_calls(args.iface, CALLS)
            if done.returncode != 0 or done.stderr:
                failures.append(f"encoder calls, run {attempt}: status {done.returncode}, {done.stderr[-500:]!r}")
                continue
            call_seconds.append(float(done.stdout))
            frames_taken.append(len(seen))
    print(f"stalled: {CALLS} encoder calls on a stalled queue took {call_seconds} s", file=sys.stderr, flush=True)

    with vxcan_pair("vxstallnear", "vxstallfar") as (near, far):
        runs = [signal_run(index, rng, near, far, failures) for index in range(args.runs)]

    by_fault = {}
    for fault in FAULTS:
        mine = [r for r in runs if r["fault"] == fault]
        exits = [r["exit_seconds"] for r in mine if r["exit_seconds"] is not None]
        by_fault[fault] = dict(runs=len(mine), failed=sum(1 for r in mine if r["problems"]),
                               idle_lost=sum(r["lost"] for r in mine),
                               idle_still_queued=sum(r["still_queued"] for r in mine),
                               idle_seen=sum(r["idle_seen"] for r in mine),
                               max_exit_seconds=round(max(exits), 3) if exits else None,
                               min_calls_first_second=min((r["calls"] for r in mine if r["calls"] is not None),
                                                          default=None))
    result = dict(
        item="stalled", seed=args.seed, iface=args.iface, programs_on="vxstallnear", counted_at="vxstallfar",
        encoder_calls=dict(calls=CALLS, runs=len(call_seconds), seconds=[round(s, 3) for s in call_seconds],
                           max_seconds=round(max(call_seconds), 3) if call_seconds else None,
                           frames_taken=frames_taken),
        runs=len(runs), runs_failed=sum(1 for r in runs if r["problems"]), by_fault=by_fault,
        max_seconds_signal_to_exit=max((r["exit_seconds"] for r in runs if r["exit_seconds"] is not None),
                                       default=None),
        failures=failures[:50], passed=not failures,
    )
    write_result(args.result, result)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
