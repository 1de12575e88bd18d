"""Signal storm: runs storm_child.py again and again and ends each run with
SIGINT or SIGTERM at a random moment (while Python starts, while controllers
are built, run or dropped), then checks how the run ended against what the
child logged:

- it ends by itself within a bound after the signal;
- before any controller existed: Python's own behaviour (SIGINT raises
  KeyboardInterrupt and the process dies of SIGINT; SIGTERM kills it);
- once a controller existed: exit status = the signal number, "Running ESTOP"
  once per controller registered at that moment, and an idle frame on the bus
  for each of their motors;
- never a crash: no other signal, no fatal error, no core dump.

Lanes run side by side, one per interface, so each run's bus is its own. With
--stalled-iface, one more lane runs on an interface whose bus has stalled (made
and shaped here): a six-frame transmit queue that stays full, as a real
adapter's does when no node acknowledges. There the kernel refuses nearly every
frame (ENOBUFS), IDLE frames included, and every IDLE frame must either be on
the bus or be reported lost on standard error ("... IDLE for node N not sent:
..."); on the other lanes none may be reported lost.

Usage: storm.py --runs N --seed S --result PATH [--ifaces vcan0 vcan1] [--stalled-iface vcan2]
"""

import argparse
import collections
import faulthandler
import os
import random
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

from torvane_dev.faultcheck import IDLE_PAYLOAD, LOST_IDLE, QDISCS
from torvane_dev.protocol import CAN_FRAME, SET_AXIS_STATE, command_filter, node_of
from torvane_dev.results import write_result

CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "storm_child.py")
EXIT_BOUND = 30.0      # seconds from the signal to the end of the run: past it the run hung
TRIGGER_TIMEOUT = 60.0  # seconds to wait for the chosen log line before signalling anyway
QUIET = 0.3            # seconds without a frame that close a run's capture
LATE = 3.0             # ... and that close it for good when the run looked wrong
LAST_EVENT = 40        # signals come after one of the first LAST_EVENT log lines


class Run:
    def __init__(self, index, iface, seed, signum, trigger, delay, stalled=False):
        self.index, self.iface, self.seed, self.signum, self.stalled = index, iface, seed, signum, stalled
        self.trigger, self.delay = trigger, delay  # after log line `trigger` (0: at once), wait `delay` s
        self.log = []            # the child's "@" lines, in order
        self.seen_at_signal = 0  # how many of them had arrived when the signal went out
        self.other_err = []      # the rest of its standard error
        self.out = ""
        self.status = None
        self.exit_seconds = None  # from the signal to the end of the process
        self.frames = []          # SET_AXIS_STATE frames on the bus: (node, payload)
        self.lost = []            # IDLE frames reported lost on standard error: (who, node, reason)
        self.verdict = None
        self.problems = []
        self.run_problems = []   # from running it (hang, early end); judge() adds the rest
        self.late_frames = 0     # frames that came after the first quiet spell
        self.phase = None


def watcher_socket(iface):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, command_filter(SET_AXIS_STATE))
    sock.bind((iface,))
    return sock


def drain(sock, quiet):
    frames = []
    while select.select([sock], [], [], quiet)[0]:
        can_id, length, data = CAN_FRAME.unpack(sock.recv(CAN_FRAME.size))
        frames.append((node_of(can_id), data[:length]))
    return frames


def execute(run: Run, python: str, sock) -> None:
    drain(sock, 0.0)
    child = subprocess.Popen([python, CHILD, run.iface, str(run.seed)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err_buf = b""

    def read_err(timeout):
        nonlocal err_buf
        ready = select.select([child.stderr], [], [], max(timeout, 0.0))[0]
        if not ready:
            return True
        chunk = os.read(child.stderr.fileno(), 65536)
        if not chunk:
            return False
        err_buf += chunk
        *lines, err_buf = err_buf.split(b"\n")
        for line in lines:
            text = line.decode(errors="replace")
            lost = LOST_IDLE.fullmatch(text)
            if text.startswith("@ "):
                run.log.append(text[2:])
            elif lost:
                run.lost.append((lost[1], int(lost[2]), lost[3]))
            else:
                run.other_err.append(text)
        return True

    # Wait for the trigger line (or the end of the child, or the time-out), then the delay.
    open_ = True
    deadline = time.monotonic() + TRIGGER_TIMEOUT
    while open_ and len(run.log) < run.trigger and time.monotonic() < deadline:
        open_ = read_err(deadline - time.monotonic())
    if run.delay > 0:
        until = time.monotonic() + run.delay
        while open_ and time.monotonic() < until:
            open_ = read_err(until - time.monotonic())
    run.seen_at_signal = len(run.log)
    already_ended = child.poll() is not None
    signalled = time.monotonic()
    if not already_ended:
        child.send_signal(run.signum)
    while open_:
        open_ = read_err(max(signalled + EXIT_BOUND - time.monotonic(), 0.0))
        if time.monotonic() > signalled + EXIT_BOUND:
            break
    try:
        child.wait(timeout=max(signalled + EXIT_BOUND - time.monotonic(), 0.1))
        run.exit_seconds = time.monotonic() - signalled
    except subprocess.TimeoutExpired:
        run.run_problems.append(f"did not end within {EXIT_BOUND:.0f} s of the signal")
        child.kill()
        child.wait()
    if err_buf:
        run.other_err.append(err_buf.decode(errors="replace"))
    run.out = child.stdout.read().decode(errors="replace")
    child.stdout.close()
    child.stderr.close()
    run.status = child.returncode
    if already_ended:
        run.run_problems.append("ended before it was signalled")
    run.frames = drain(sock, QUIET)


def motors(ids_text):
    counts = collections.Counter(int(c) for c in ids_text)
    return [counts.get(0, 0), counts.get(1, 0)]


def judge(run: Run) -> None:
    """Checks one finished run against what its log allows."""
    problems = run.problems = list(run.run_problems)
    signum = run.signum
    built, made, dropping, gone = {}, set(), set(), set()
    for line in run.log:
        parts = line.split()
        if parts[0] == "B":
            built[int(parts[1])] = motors(parts[2])
        elif parts[0] == "C":
            made.add(int(parts[1]))
        elif parts[0] == "D":
            dropping.add(int(parts[1]))
        elif parts[0] == "X":
            gone.add(int(parts[1]))
    seen = run.log[:run.seen_at_signal]
    installed_before_signal = any(line.startswith("C ") for line in seen)

    # Controllers surely registered when the stop ran, and those that may or may not have been.
    definite = [n for n in built if n in made and n not in dropping]
    ambiguous = [n for n in built if (n not in made) or (n in dropping and n not in gone)]
    finished = [n for n in built if n in gone]  # their destructor idled their motors, before the stop
    estops = run.out.count("Running ESTOP\n")
    stray_out = run.out.replace("Running ESTOP\n", "")
    counts = [0, 0]  # IDLE frames on the bus, and those reported lost: each IDLE sent is one of the two
    for node, payload in run.frames:
        if node not in (0, 1) or payload != IDLE_PAYLOAD:
            problems.append(f"unexpected axis-state frame: node {node} data {payload.hex()}")
        else:
            counts[node] += 1
    for who, node, reason in run.lost:
        if not run.stalled:
            problems.append(f"an IDLE frame reported lost on a healthy bus: {who}, node {node}: {reason}")
        if node in (0, 1):
            counts[node] += 1

    crash = [line for line in run.other_err
             if re.search(r"Fatal Python error|terminate called|Segmentation|Aborted|core dumped|"
                          r"AddressSanitizer|runtime error", line)]
    tracebacks = "\n".join(run.other_err)
    if crash:
        problems.append("crash signature on standard error: " + "; ".join(crash[:3]))
    if stray_out:
        problems.append(f"unexpected standard output: {stray_out[:200]!r}")

    if run.status == signum:
        run.verdict = f"exit {signum} after ESTOP"
        # Stop path: choose which ambiguous controllers were registered; one choice must fit.
        fits = False
        for mask in range(1 << len(ambiguous)):
            chosen = [n for i, n in enumerate(ambiguous) if mask >> i & 1]
            if estops != len(definite) + len(chosen):
                continue
            if not made and not chosen:
                continue  # the handler is installed with the first registration, under the same lock
            low, high = [0, 0], [0, 0]
            for node in (0, 1):
                base = sum(built[n][node] for n in finished) + sum(built[n][node] for n in definite)
                low[node] = high[node] = base
                for n in ambiguous:
                    m = built[n][node]
                    in_destructor = n in dropping
                    if n in chosen:  # stopped: all its idles, plus whatever its destructor had sent
                        low[node] += m
                        high[node] += m + (m if in_destructor else 0)
                    elif in_destructor:  # left the registry first: its destructor idled every motor
                        low[node] += m
                        high[node] += m
            if all(low[i] <= counts[i] <= high[i] for i in (0, 1)):
                fits = True
                break
        if not fits:
            problems.append(f"{estops} ESTOP lines and idle frames {counts} do not fit the controllers alive: "
                            f"surely {definite}, maybe {ambiguous}, dropped before {finished}, motors {built}")
        if not built:
            problems.append("exited with the signal number although no controller was ever built")
        if "KeyboardInterrupt" in tracebacks:
            problems.append("KeyboardInterrupt after the stop took over SIGINT")
    elif run.status == -signum:
        run.verdict = "KeyboardInterrupt, died of SIGINT" if signum == signal.SIGINT else "killed by SIGTERM"
        if not any(line.startswith("B ") for line in run.log):
            run.verdict += " (no controller yet)"
        else:
            run.verdict += " (signal beat the first registration)"
        if installed_before_signal:
            problems.append("Python's default behaviour although a controller existed before the signal")
        if estops:
            problems.append(f"{estops} ESTOP lines without the stop's exit status")
        if signum == signal.SIGINT and run.log and "KeyboardInterrupt" not in tracebacks:
            problems.append("died of SIGINT with Python running but without a KeyboardInterrupt")
        for node in (0, 1):  # only destructors can have idled, each at most once per motor
            if counts[node] > sum(built[n][node] for n in built):
                problems.append(f"{counts[node]} idle frames for node {node}, more than the controllers built")
    elif (run.status == 1 and signum == signal.SIGINT and "imported" not in run.log
          and re.search(r"^KeyboardInterrupt\s*$", tracebacks, re.M)
          and "ImportError: initialization failed" in tracebacks):
        # The module's entry turns any Python exception raised while it registers
        # its types into ImportError "initialization failed", with the exception as
        # its cause: a Ctrl-C that lands in the import ends that way.
        run.verdict = "KeyboardInterrupt inside the import, raised as ImportError (exit 1)"
        if estops or run.frames:
            problems.append("ESTOP lines or idle frames although the import never finished")
    else:
        run.verdict = f"status {run.status}"
        problems.append(f"ended with status {run.status}, neither {signum} nor -{signum}")
    if "Traceback" in tracebacks and not re.search(r"^KeyboardInterrupt\s*$", tracebacks, re.M):
        problems.append("a Python traceback other than KeyboardInterrupt")
    if problems and run.other_err:
        problems.append("its standard error ended: " + " | ".join(run.other_err[-6:])[-400:])

    # Where the child was when it was signalled, as far as the parent saw.
    last = seen[-1].split()[0] if seen else None
    run.phase = {None: "Python starting", "start": "import of torvane", "imported": "link opening",
                 "link": "link open, no controller", "B": "controller construction", "C": "controllers running",
                 "D": "controller destruction", "X": "between destructions"}[last]


def make_stalled(iface):
    """The interface (created when missing) with a transmit queue that stays full."""
    if subprocess.run(["ip", "link", "show", iface], capture_output=True).returncode != 0:
        subprocess.run(["ip", "link", "add", "dev", iface, "type", "vcan"], check=True)
    subprocess.run(["ip", "link", "set", iface, "up"], check=True)
    subprocess.run(["tc", "qdisc", "replace", "dev", iface, "root", *QDISCS["overflowing"].split()], check=True)


def lane(runs, iface, python, progress):
    sock = watcher_socket(iface)
    try:
        for run in runs:
            execute(run, python, sock)
            judge(run)
            if run.problems:
                # A busy machine can hold frames back longer than the quiet spell
                # that ended the capture: give them more time before judging again.
                late = drain(sock, LATE)
                if late:
                    run.frames += late
                    run.late_frames = len(late)
                    judge(run)
            progress(run)
    finally:
        sock.close()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--result", required=True)
    parser.add_argument("--ifaces", nargs="+", default=["vcan0", "vcan1"])
    parser.add_argument("--stalled-iface")
    args = parser.parse_args()
    lanes = list(args.ifaces)
    if args.stalled_iface:
        make_stalled(args.stalled_iface)
        lanes.append(args.stalled_iface)
    faulthandler.dump_traceback_later(args.runs * (EXIT_BOUND + TRIGGER_TIMEOUT), exit=True)
    rng = random.Random(args.seed)
    runs = []
    for index in range(args.runs):
        signum = rng.choice([signal.SIGINT, signal.SIGTERM])
        # One run in five is signalled while Python starts, imports or opens the link.
        trigger = rng.randrange(4) if rng.random() < 0.2 else rng.randrange(4, LAST_EVENT)
        delay = rng.uniform(0.0, 0.002) if rng.random() < 0.5 else rng.uniform(0.0, 0.03)
        iface = lanes[index % len(lanes)]
        runs.append(Run(index, iface, rng.getrandbits(32), signum, trigger, delay, iface == args.stalled_iface))

    done = []
    lock = threading.Lock()
    started = time.monotonic()

    def progress(run):
        with lock:
            done.append(run)
            if run.problems:
                print(f"storm: run {run.index} ({run.signum.name} in {run.phase}): {run.verdict}: "
                      + "; ".join(run.problems), file=sys.stderr, flush=True)
            if len(done) % 25 == 0:
                print(f"storm: {len(done)}/{len(runs)} runs, {time.monotonic() - started:.0f} s",
                      file=sys.stderr, flush=True)

    workers = [threading.Thread(target=lane, args=([r for r in runs if r.iface == iface], iface, sys.executable,
                                                   progress)) for iface in lanes]
    for t in workers:
        t.start()
    for t in workers:
        t.join()

    failed = [r for r in runs if r.problems]
    ends = collections.Counter(f"{r.signum.name}: {r.verdict}" for r in runs)
    phases = collections.Counter(f"{r.signum.name} in {r.phase}" for r in runs)
    estop_lines = sum(r.out.count("Running ESTOP\n") for r in runs)
    exit_times = [r.exit_seconds for r in runs if r.exit_seconds is not None]
    result = dict(
        item="storm", seed=args.seed, runs=len(runs),
        signals={s.name: sum(1 for r in runs if r.signum == s) for s in (signal.SIGINT, signal.SIGTERM)},
        ended=dict(sorted(ends.items())),
        signalled_in=dict(sorted(phases.items())),
        runs_failed=len(failed),
        estop_lines=estop_lines,
        idle_frames=sum(len(r.frames) for r in runs),
        idle_lost=sum(len(r.lost) for r in runs),
        stalled_runs=sum(1 for r in runs if r.stalled),
        stalled_runs_failed=sum(1 for r in failed if r.stalled),
        late_frames=sum(r.late_frames for r in runs),
        controllers_built=sum(sum(1 for line in r.log if line.startswith("B ")) for r in runs),
        exit_bound_seconds=EXIT_BOUND,
        max_seconds_signal_to_exit=round(max(exit_times), 3) if exit_times else None,
        failures=[f"run {r.index} (seed {r.seed}, {r.signum.name} after log line {r.trigger} + "
                  f"{r.delay * 1000:.1f} ms, in {r.phase}): {r.verdict}: " + "; ".join(r.problems)
                  for r in failed][:50],
        passed=not failed,
    )
    write_result(args.result, result)
    return 0 if not failed else 1


if __name__ == "__main__":
    sys.exit(main())
