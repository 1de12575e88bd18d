"""Fork: robot programs whose child exits, drops what it inherited, builds its own
controller and emergency stop, is signalled, tries the inherited loop, or is a
multiprocessing worker; each scenario again and again. After every one the
parent must still answer SIGTERM with its own emergency stop, its threads must
not spin, and only the IDLE frames the scenario allows may be on the bus; judged
as the test suite does.

Usage: fork.py --rounds N --result PATH [--iface vcan0]
"""

import argparse
import faulthandler
import sys

from torvane_dev.faultcheck import FORK_SCENARIOS, HANG_GUARD, judge_fork, run_fork_scenario
from torvane_dev.results import write_result


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, required=True, help="runs of every scenario")
    parser.add_argument("--result", required=True)
    parser.add_argument("--iface", default="vcan0")
    args = parser.parse_args()
    faulthandler.dump_traceback_later(args.rounds * len(FORK_SCENARIOS) * (HANG_GUARD + 30), exit=True)
    failures, tally, cpu, drops = [], {}, [], []
    for round_ in range(args.rounds):
        for scenario in FORK_SCENARIOS:
            try:
                forked = run_fork_scenario(args.iface, scenario)
                problems = judge_fork(forked, scenario)
            except (AssertionError, OSError) as error:
                forked, problems = None, [f"did not run: {error}"]
            entry = tally.setdefault(scenario, dict(runs=0, failed=0))
            entry["runs"] += 1
            if problems:
                entry["failed"] += 1
                failures.append(f"round {round_}, {scenario}: " + "; ".join(problems))
                print(f"fork: {failures[-1]}", file=sys.stderr, flush=True)
            if forked and "cpu" in forked.reports:
                cpu.append(float(forked.reports["cpu"]))
            if forked and "child-drop-seconds" in forked.reports:
                drops.append(float(forked.reports["child-drop-seconds"]))
        print(f"fork: round {round_ + 1}/{args.rounds}", file=sys.stderr, flush=True)
    runs = sum(t["runs"] for t in tally.values())
    result = dict(
        item="fork", iface=args.iface, rounds=args.rounds, scenarios=tally, runs=runs,
        runs_failed=sum(t["failed"] for t in tally.values()),
        max_parent_cpu_share=max(cpu, default=None), max_child_drop_seconds=max(drops, default=None),
        failures=failures[:50], passed=not failures,
    )
    write_result(args.result, result)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
