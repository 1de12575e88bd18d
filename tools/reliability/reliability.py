"""Runs the reliability items on a CAN bus (vcan0/vcan1 must be up), each in its
own process so that a crash or a hang of the module under test is seen as one:
writes OUT/<item>.json and prints one summary line per item. Exit status 0 when
every item passed. Started by tools/reliability/run.

Usage: reliability.py --out DIR [--seed N] [--frames N] [--runs N] [--cycles N] ITEM...
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

from torvane_dev.results import on_vm, write_result

HERE = os.path.dirname(os.path.abspath(__file__))
MINIMUM = {"fuzz": 200_000, "storm": 300, "soak": 1_000, "stalled": 50, "fork": 10}
HANG = {"fuzz": 1800, "storm": 3600, "soak": 2400, "stalled": 3000, "fork": 3000}  # seconds; longer means hung


def command(item, args, result):
    python = sys.executable
    if item == "fuzz":
        return [python, os.path.join(HERE, "fuzz.py"), "--iface", "vcan0", "--count", str(args.frames),
                "--seed", str(args.seed), "--sender", args.sender, "--result", result]
    if item == "storm":
        return [python, os.path.join(HERE, "storm.py"), "--runs", str(args.runs), "--seed", str(args.seed),
                "--ifaces", "vcan0", "vcan1", "--stalled-iface", "vcan2", "--result", result]
    if item == "stalled":
        return [python, os.path.join(HERE, "stalled.py"), "--runs", str(args.signal_runs), "--seed", str(args.seed),
                "--iface", "vcan1", "--result", result]
    if item == "fork":
        return [python, os.path.join(HERE, "fork.py"), "--rounds", str(args.rounds), "--iface", "vcan0",
                "--result", result]
    return [python, os.path.join(HERE, "soak.py"), "--cycles", str(args.cycles), "--iface", "vcan0",
            "--result", result]


def count_of(item, args):
    return {"fuzz": args.frames, "storm": args.runs, "soak": args.cycles, "stalled": args.signal_runs,
            "fork": args.rounds}[item]


def summary(r):
    if r["item"] == "fuzz" and "frames_sent" in r:
        m = r["model"]
        return (f"{r['random_frames']} random frames + 1 sentinel (seed {r['seed']}; {r['extended']} extended, "
                f"{r['remote']} remote, {r['error_flag']} error-flagged; {m['applied']} valid telemetry, "
                f"{m['short']} too short, {m['not_telemetry']} other ids), {r['link_socket_drops']} dropped on "
                f"the link's socket, {r['values_compared'] - r['values_mismatched']}/{r['values_compared']} cached "
                f"values equal the model; {r['getter_calls']} getter calls and "
                f"{r['controller_frames_during_flood']} controller frames meanwhile; "
                f"{r['frames_per_second']} frames/s")
    if r["item"] == "storm" and "ended" in r:
        ends = ", ".join(f"{k} x{v}" for k, v in r["ended"].items())
        return (f"{r['runs']} runs (seed {r['seed']}; SIGINT x{r['signals']['SIGINT']}, SIGTERM x"
                f"{r['signals']['SIGTERM']}; {r['stalled_runs']} on a stalled bus), {r['runs_failed']} failed; "
                f"ended: {ends}; {r['estop_lines']} ESTOP lines, {r['idle_frames']} idle frames, "
                f"{r['idle_lost']} reported lost; slowest exit {r['max_seconds_signal_to_exit']} s after the signal "
                f"(bound {r['exit_bound_seconds']:.0f} s)")
    if r["item"] == "stalled" and "by_fault" in r:
        faults = ", ".join(f"{fault} {f['runs'] - f['failed']}/{f['runs']}" for fault, f in r["by_fault"].items())
        return (f"{r['encoder_calls']['calls']} encoder calls on a stalled queue in at most "
                f"{r['encoder_calls']['max_seconds']} s; {r['runs']} signalled programs (seed {r['seed']}) passed: "
                f"{faults}; slowest exit {r['max_seconds_signal_to_exit']:.3f} s after the signal")
    if r["item"] == "fork" and "scenarios" in r:
        return (f"{r['runs']} runs of {len(r['scenarios'])} scenarios, {r['runs_failed']} failed; idle parent at most "
                f"{r['max_parent_cpu_share']} of a CPU; inherited objects dropped in at most "
                f"{r['max_child_drop_seconds']} s")
    if r["item"] == "soak" and "rss_kib" in r:
        return (f"{r['cycles']} cycles: descriptors ({r['baseline']['fds']}) and threads "
                f"({r['baseline']['threads']}) off their baseline after {r['fd_deviations']} and "
                f"{r['thread_deviations']} cycles; resident memory {r['rss_kib']['growth']:+d} KiB (bound "
                f"{r['rss_kib']['bound']} KiB), C heap {r['heap_kib']['growth']:+.1f} KiB (bound "
                f"{r['heap_kib']['bound']} KiB) from cycle {r['rss_kib']['warmup_cycles']} on; "
                f"{r['cycle_ms']} ms per cycle")
    return "no result"


def run_description() -> dict:
    """Where the items ran and on which revision, as tools/canbus/describe-run told
    tools/reliability/run; without it, what this process can see for itself."""
    described = os.environ.get("TORVANE_RUN")
    if described:
        return json.loads(described)
    return {"bench": "qemu VM" if on_vm() else "host vcan", "bus": "vcan", "revision": "unknown"}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("items", nargs="+", choices=sorted(MINIMUM))
    parser.add_argument("--out", required=True)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--frames", type=int, default=MINIMUM["fuzz"])
    parser.add_argument("--runs", type=int, default=MINIMUM["storm"])
    parser.add_argument("--cycles", type=int, default=MINIMUM["soak"])
    parser.add_argument("--signal-runs", type=int, default=MINIMUM["stalled"])
    parser.add_argument("--rounds", type=int, default=MINIMUM["fork"])
    parser.add_argument("--sender", required=True, help="the fuzz sender, built by tools/reliability/run")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().getrandbits(31)
    os.makedirs(args.out, exist_ok=True)
    print(f"reliability: seed {args.seed} (repeat with --seed {args.seed}); "
          f"{'qemu VM' if on_vm() else 'this host'}, {os.cpu_count()} CPUs", flush=True)

    lines, all_passed = [], True
    for item in args.items:
        path = os.path.join(args.out, f"{item}.json")
        if os.path.exists(path):
            os.remove(path)
        print(f"reliability: {item} ...", flush=True)
        started = time.monotonic()
        failures = []
        try:
            status = subprocess.run(command(item, args, path), timeout=HANG[item]).returncode
        except subprocess.TimeoutExpired:
            status = None
            failures.append(f"did not finish within {HANG[item]} s")
        wall = time.monotonic() - started
        try:
            with open(path) as f:
                result = json.load(f)
        except (OSError, ValueError):
            result = dict(item=item, failures=[])
        result.setdefault("failures", [])
        if status is not None and status < 0:
            failures.append(f"the {item} process died of signal {-status}")
        elif status not in (0, 1) and status is not None:
            failures.append(f"the {item} process exited with status {status}")
        if status == 1 and not result["failures"]:
            failures.append(f"the {item} process reported failure without a reason")
        if count_of(item, args) < MINIMUM[item]:
            failures.append(f"{count_of(item, args)} is below the required minimum of {MINIMUM[item]}")
        result["failures"] = failures + result["failures"]
        result["passed"] = bool(result.get("passed")) and not result["failures"] and status == 0
        result.update(wall_seconds=round(wall, 1), minimum=MINIMUM[item], **run_description(),
                      cpus=os.cpu_count(), command=f"tools/reliability/run {item} --seed {args.seed}")
        write_result(path, result)
        all_passed &= result["passed"]
        line = f"{item:5} {'PASS' if result['passed'] else 'FAIL'}  {summary(result)}; {wall:.1f} s"
        lines.append(line)
        print(line, flush=True)
        for failure in result["failures"][:10]:
            print(f"      {failure}", flush=True)

    print("reliability: summary", flush=True)
    for line in lines:
        print(line, flush=True)
    return 0 if all_passed else 1


if __name__ == "__main__":
    sys.exit(main())
