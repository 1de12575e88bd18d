"""tools/reliability/report [--results DIR] [--tests DIR] [--print]

Writes docs/reliability.md from the results of the last run of
each reliability command: build/reliability/{fuzz,storm,soak,stalled,fork}.json
(tools/reliability/run), build/reliability/sanitize-{asan,tsan}.json
(tools/sanitize) and the last test-suite runs, build/test-out/ (tests/run: the
peer, interface-loss, faulty-bus, fork, bad-input and stub checks) and
build/test-out-sja1000/ (tests/run --bus sja1000). A missing result is written
as "not run yet" and fails the command, like a failed one; the page is
written either way. --print only prints it.
"""

import argparse
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

from torvane_dev.doc_page import write_page

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

PAGE = "reliability"


def load(path):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def number(n) -> str:
    return f"{n:,}"


def when(stamp: str) -> str:
    """'2026-12-10T03:48:05Z' or an ISO time with offset -> '2026-12-10 03:48 UTC'."""
    match = re.match(r"(\d{4}-\d\d-\d\d)T(\d\d:\d\d)", stamp or "")
    return f"{match.group(1)} {match.group(2)} UTC" if match else "unknown time"


def verdict(passed: bool) -> str:
    return "pass" if passed else "**FAIL**"


def run_of(result: dict) -> str:
    bus = ", emulated SJA1000 controllers" if result.get("bus") == "sja1000" else ""
    return (f"{when(result.get('finished_utc') or result.get('date'))}, "
            f"{result.get('bench', 'qemu VM')}{bus}, commit {result.get('revision', 'unknown')}")


def fuzz_row(r):
    m, s = r["model"], r["sender"]
    wrong = "; ".join(f"{rule}: {n}" for rule, n in r["values_wrong_if"].items())
    return (f"{number(r['random_frames'])} random frames (seed {r['seed']}): {number(r['extended'])} extended, "
            f"{number(r['remote'])} remote, {number(r['error_flag'])} error-flagged; "
            f"{number(m['applied'])} were valid telemetry, {number(m['short'])} too short, "
            f"{number(m['not_telemetry'])} other identifiers. {number(r['link_socket_drops'])} dropped on the link's "
            f"socket, {number(s['observed'])} seen back on the bus in order. "
            f"**{r['values_compared'] - r['values_mismatched']} of {r['values_compared']} cached values equal the "
            f"model** (a link breaking one decoding rule would have got wrong — {wrong}). Meanwhile "
            f"{number(r['getter_calls'])} getter calls from Python and {number(r['controller_frames_during_flood'])} "
            f"frames from a running controller; {number(r['frames_per_second'])} frames/s.")


def storm_row(r):
    ends = "; ".join(f"{how}: {n}" for how, n in sorted(r["ended"].items(), key=lambda kv: -kv[1]))
    return (f"{r['runs']} runs (seed {r['seed']}), SIGINT {r['signals']['SIGINT']} times, SIGTERM "
            f"{r['signals']['SIGTERM']} times, at random moments from interpreter start-up to the last "
            f"destruction, {r['stalled_runs']} of them on a bus whose queue has stalled "
            f"({r['stalled_runs_failed']} of those failed); {number(r['controllers_built'])} controllers built. "
            f"**{r['runs_failed']} runs failed.** How they ended — {ends}. {r['estop_lines']} \"Running ESTOP\" "
            f"lines; {number(r['idle_frames'])} idle frames on the bus and {number(r['idle_lost'])} reported lost on "
            f"standard error, each run's count matching the controllers alive at its signal; slowest exit "
            f"{r['max_seconds_signal_to_exit']} s after its signal (bound {r['exit_bound_seconds']:.0f} s).")


def stalled_row(r):
    calls = r["encoder_calls"]
    faults = "; ".join(f"{fault}: {f['runs'] - f['failed']} of {f['runs']} passed, {f['idle_seen']} IDLE frames "
                       f"reached the far end, {f['idle_lost']} reported lost and {f.get('idle_still_queued', 0)} "
                       f"reported still queued, slowest exit {f['max_exit_seconds']} s"
                       for fault, f in r["by_fault"].items())
    where = (f" The programs ran on {r['programs_on']} and their frames were counted at the other end of the vxcan "
             f"pair, {r['counted_at']}: a frame arrives there only once it has left the queue."
             if "counted_at" in r else "")
    return (f"{number(calls['calls'])} encoder calls on a stalled queue, {calls['runs']} times: at most "
            f"{calls['max_seconds']} s each, the kernel taking {min(calls['frames_taken'])} to "
            f"{max(calls['frames_taken'])} frames and refusing the rest. {r['runs']} programs with two controllers "
            f"running, signalled (seed {r['seed']}), **{r['runs_failed']} failed** — {faults}.{where}")


def fork_row(r):
    scenarios = ", ".join(f"{name} {s['runs'] - s['failed']}/{s['runs']}" for name, s in r["scenarios"].items())
    return (f"{r['runs']} forking programs, {r['rounds']} of each scenario: {scenarios}. **{r['runs_failed']} "
            f"failed**: every parent answered SIGTERM with its own stop; an idle parent used at most "
            f"{r['max_parent_cpu_share']} of a CPU; inherited objects were dropped in a child in at most "
            f"{r['max_child_drop_seconds']} s.")


def soak_row(r):
    rss, heap = r["rss_kib"], r["heap_kib"]
    return (f"{number(r['cycles'])} cycles of link + controller + loop start and stop, then both dropped: "
            f"descriptors ({r['baseline']['fds']}) and threads ({r['baseline']['threads']}) off their baseline "
            f"after {r['fd_deviations']} and {r['thread_deviations']} cycles; from cycle {rss['warmup_cycles']} on, "
            f"resident memory {rss['growth']:+,} KiB (bound {rss['bound']} KiB) and bytes held by malloc "
            f"{heap['growth']:+.1f} KiB (bound {heap['bound']} KiB); {r['cycle_ms']} ms per cycle.")


def sanitizer_row(r):
    return (f"the whole test suite against a build with `-fsanitize={r['sanitizers']}`: {r['passed']} passed, "
            f"{r['failed']} failed, {r['skipped']} skipped; **{r['reports']} sanitizer reports**; "
            f"{r['duration_s'] // 60} min {r['duration_s'] % 60} s.")


def sanitizer_passed(r):
    return r["status"] == 0 and r["reports"] == 0 and r["failed"] == 0 and r["passed"] > 0


def test_suite(tests_dir):
    """Figures of the last tests/run from its JUnit file and stubtest's output."""
    try:
        root = ET.parse(os.path.join(tests_dir, "junit.xml")).getroot()
    except (OSError, ET.ParseError):
        return None
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    cases = [c for s in suites for c in s.iter("testcase")]

    def outcome(case):
        for tag in ("failure", "error", "skipped"):
            if case.find(tag) is not None:
                return tag
        return "passed"

    def tally(select):
        chosen = [c for c in cases if select(c)]
        return (sum(outcome(c) == "passed" for c in chosen), sum(outcome(c) == "skipped" for c in chosen),
                len(chosen))

    try:
        with open(os.path.join(tests_dir, "stubtest.txt"), encoding="utf-8") as f:
            stubtest = f.read().strip().splitlines()[-1:] or ["no output"]
    except OSError:
        stubtest = ["not run"]
    return {
        **(load(os.path.join(tests_dir, "run.json")) or {}),
        "finished_utc": suites[0].get("timestamp", "") if suites else "",
        "all": tally(lambda c: True),
        "peers": tally(lambda c: c.get("classname", "").endswith("test_peers")),
        "faulty": tally(lambda c: c.get("classname", "").endswith(("test_faulty_bus", "test_fork"))),
        "skipped": [c.find("skipped").get("message", "") for c in cases if c.find("skipped") is not None],
        "interface": tally(lambda c: re.search(r"interface_down_and_up|removed_interface_returns", c.get("name", ""))),
        "bad_input": tally(lambda c: c.get("classname", "").endswith("test_bad_input")),
        "stubtest": stubtest[0],
    }


def tests_row(t):
    def part(name, passed_skipped_total):
        passed, skipped, total = passed_skipped_total
        return f"{name}: {passed} of {total} passed" + (f" ({skipped} skipped)" if skipped else "")

    skipped = "; ".join(sorted(set(t["skipped"])))
    return (f"{part('whole suite', t['all'])}; "
            f"among them {part('python-can and can-utils as the ODrive side', t['peers'])}, "
            f"{part('interface set down or deleted, then back, under an open link', t['interface'])}, "
            f"{part('faulty buses and forking programs', t['faulty'])}, "
            f"{part('bad-input table (every public call, exception type, bus silent)', t['bad_input'])}. "
            f"stubtest on `torvane.pyi`: \"{t['stubtest']}\"."
            + (f" Skipped, with their reasons: {skipped}." if skipped else ""))


def tests_passed(t):
    # Skips are allowed, each with its reason in the row; every test that ran must pass.
    passed, skipped, total = t["all"]
    parts = (t["peers"], t["interface"], t["faulty"], t["bad_input"])
    return (passed + skipped == total and all(part[0] > 0 for part in parts)
            and t["stubtest"].startswith("Success"))


def page(results_dir, tests_dir):
    rows, all_passed = [], True

    def add(what, command, result, describe, passed):
        nonlocal all_passed
        if result is None:
            rows.append(f"| {what} | `{command}` | not run yet | — |")
            all_passed = False
            return
        try:
            ok = passed(result)
            text = describe(result)
        except (KeyError, TypeError, ValueError) as error:
            ok, text = False, f"result unreadable ({error!r})"
        all_passed &= ok
        rows.append(f"| {what} | `{command}` | {run_of(result)} | {verdict(ok)}: {text} |")

    for item, what, describe in (("fuzz", "fuzzed frames", fuzz_row), ("storm", "signal storm", storm_row),
                                 ("soak", "soak", soak_row), ("stalled", "stalled bus", stalled_row),
                                 ("fork", "fork", fork_row)):
        add(what, f"tools/reliability/run {item}", load(os.path.join(results_dir, f"{item}.json")), describe,
            lambda r: bool(r.get("passed")))
    for kind, what in (("asan", "AddressSanitizer + UndefinedBehaviorSanitizer"), ("tsan", "ThreadSanitizer")):
        add(what, f"tools/sanitize {kind}", load(os.path.join(results_dir, f"sanitize-{kind}.json")),
            sanitizer_row, sanitizer_passed)
    suite = test_suite(tests_dir)
    add("peers, interface loss, faulty buses, forks, bad input, stubs", "tests/run", suite, tests_row, tests_passed)
    suite = test_suite(tests_dir + "-sja1000")
    add("the same on emulated SJA1000 CAN controllers", "tests/run --bus sja1000", suite, tests_row, tests_passed)

    text = "\n".join([
        "# Reliability",
        "",
        "Figures of the last run of each command below, written into this page by "
        "`tools/reliability/report` from the results those commands leave in `build/`. Each runs on a real "
        "SocketCAN bus (vcan, or with `--bus sja1000` the emulated SJA1000 controllers; in the qemu VM of "
        "`tools/canbus` where the kernel has no CAN support). "
        "`tools/reliability/README.md` says how each item is taken and what must hold.",
        "",
        "| item | command | last run | result |",
        "|---|---|---|---|",
        *rows,
    ])
    return text, all_passed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--results", default=os.path.join(REPO, "build", "reliability"))
    parser.add_argument("--tests", default=os.path.join(REPO, "build", "test-out"))
    parser.add_argument("--print", action="store_true", dest="print_only")
    args = parser.parse_args()
    text, all_passed = page(args.results, args.tests)
    print(text)
    if not args.print_only:
        path = write_page(PAGE, text, "tools/reliability/report")
        print(f"report: {os.path.relpath(path, REPO)} written", file=sys.stderr)
    if not all_passed:
        print("report: an item failed or has not run", file=sys.stderr)
    return 0 if all_passed else 1


if __name__ == "__main__":
    sys.exit(main())
