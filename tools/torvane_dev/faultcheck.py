"""Faulty buses and forking robot programs: the bus shapes, the child programs
that are signalled on them, and what must hold afterwards. Shared by the tests
(test_faulty_bus.py, test_fork.py) and the reliability runs, which repeat them.

Each judge returns the problems it found, as sentences; none means it held.
"""

import collections
import contextlib
import os
import re
import signal
import subprocess
import sys
import threading
import time
from typing import NamedTuple

from torvane_dev import program
from torvane_dev.buses import BITRATE
from torvane_dev.canpeer import CanPeer, Frame
from torvane_dev.protocol import IDLE, SET_AXIS_STATE, SET_POSITION, SET_TORQUE, SET_VELOCITY

HANG_GUARD = 120.0  # seconds; only catches a hang, never measures speed
FAULT_CHILD = program("fault_child.py")
FORK_CHILD = program("fork_child.py")
IDLE_PAYLOAD = IDLE.to_bytes(4, "little")
LOOP_COMMANDS = (SET_POSITION, SET_VELOCITY, SET_TORQUE)  # a setpoint of each mode
IFF_ECHO = 0x40000
EXPECTED_IDLE = {0: 1, 1: 2}  # fault_child.py's controllers drive [0, 1] and [1]
# What the emergency stop (ESTOP) or a controller's destructor (MotorController)
# says of an IDLE frame the kernel would not take.
LOST_IDLE = re.compile(r"(ESTOP|MotorController): IDLE for node (\d+) not sent: (.+)")
# ... of an IDLE that overtook frames still queued, where the one meant to follow
# them could not be queued.
IDLE_NOT_LAST = re.compile(r"(ESTOP|MotorController): IDLE for node (\d+) sent ahead of the frames still queued, "
                           r"but not after them: (.+)")
# ... of an IDLE the kernel took that had not left this machine when the stop gave
# up waiting for it, with what the CAN controller last said of the bus.
STILL_QUEUED = re.compile(r"(ESTOP|MotorController): IDLE for node (\d+) still queued on (\S+) after \d+ ms: "
                          r"it has not left this machine \((CAN controller: [^)]+)\)")
# What a control loop says when its passes do not get out.
PASSES_NOT_OUT = re.compile(r"torvane: the control loop on (\S+) is not getting its frames out \(in the last "
                            r"[\d.]+ s: (\d+) of (\d+) passes held back behind frames still queued"
                            r"(?:, (\d+) refused by the kernel: ([^)]+))?\): it needs (\d+) frames/s and the bus "
                            r"took (\d+) frames/s\. Every command that goes out is the newest, but the motors get "
                            r"(\d+)% of the passes\. (?:A higher bitrate(?:, TORQUE mode \(1 frame per motor a "
                            r"pass, not \d\))? or fewer motors on this bus would help|The interface is down or gone: "
                            r"bring it up \(ip link set \S+ up\)) \((CAN controller: [^)]+)\)")

QDISCS = {
    # Barely drains (a frame every 16 s): the link's socket send buffer fills and
    # the kernel refuses further frames with EAGAIN; the loops hold their passes back.
    "stalled": "tbf rate 8bit burst 100 limit 1000000",
    # A queue of six frames that never drains: the kernel refuses with ENOBUFS, as
    # with a real adapter's queue when no node acknowledges.
    "overflowing": "tbf rate 8bit burst 100 limit 100",
    # A ten-frame queue the running loops keep full, draining a frame every 2 ms.
    "congested": "tbf rate 64kbit burst 100 limit 160",
}
# What the kernel answers when a fault refuses a frame. On a stalled bus the IDLE
# frames still find room: they leave from sockets of their own.
REFUSAL = {"overflowing": "No buffer space available", "down": "Network is down"}
# Buses on which the loops cannot get every pass out, and say so.
NOT_KEEPING_UP = {"stalled", "overflowing", "congested"}


@contextlib.contextmanager
def shaped(interface, kind):
    """The interface's transmit queue replaced by one of QDISCS while the block runs."""
    subprocess.run(["tc", "qdisc", "replace", "dev", interface, "root", *QDISCS[kind].split()],
                   check=True, capture_output=True, timeout=60)
    try:
        yield
    finally:
        subprocess.run(["tc", "qdisc", "del", "dev", interface, "root"], capture_output=True, timeout=60)


def set_link(interface, state):
    subprocess.run(["ip", "link", "set", interface, state], check=True, capture_output=True, timeout=60)


@contextlib.contextmanager
def faulty(interface, fault):
    """The bus made faulty for the block: one of QDISCS, or "down" (set down by the
    caller when it is ready, set up again here), or "healthy"."""
    if fault in QDISCS:
        with shaped(interface, fault):
            yield
    elif fault == "down":
        try:
            yield
        finally:
            set_link(interface, "up")
    else:
        yield


ENCODER_CALLS = """
import sys, time, torvane
link = torvane.ODriveSocket(sys.argv[1])
calls = [lambda n: link.setAxisState(n, 8), lambda n: link.setControlMode(n, 3, 1),
         lambda n: link.position_command(n, 1.0, 0.5, 0.25), lambda n: link.velocity_command(n, 1.0, 0.5),
         lambda n: link.torque_command(n, 0.5), lambda n: link.setLimits(n, 10.0, 20.0),
         lambda n: link.set_stiffness(n, 20.0), lambda n: link.set_damping(n, 0.1, 0.2),
         lambda n: link.clearErrors(n)]
count = int(sys.argv[2])
started = time.perf_counter()
for i in range(count):
    calls[i % len(calls)](i % 64)
print(f"{time.perf_counter() - started:.6f}")
"""


def run_encoder_calls(interface, count=10_000) -> tuple[subprocess.CompletedProcess, list[Frame]]:
    """`count` calls of the nine encoders, in turn, from a fresh process (a call that
    blocked would hold the interpreter lock and freeze any guard in this one). Returns
    the process, whose output is the seconds the calls took, and the frames seen."""
    watcher = CanPeer(interface)
    done = subprocess.run([sys.executable, "-c", ENCODER_CALLS, interface, str(count)],
                          capture_output=True, text=True, timeout=HANG_GUARD)
    seen = watcher.collect()
    watcher.close()
    return done, seen


def echoes_on_transmission(interface) -> bool:
    """True for real CAN controllers, whose driver echoes a frame once it is on the
    bus; vcan hands other sockets a frame as soon as the queue has taken it."""
    with open(f"/sys/class/net/{interface}/flags") as flags:
        return bool(int(flags.read(), 16) & IFF_ECHO)


def start_guarded(args):
    """Starts a child program in a session of its own, with a guard that kills the
    whole session once HANG_GUARD has passed: a hung grandchild (a forked child)
    would otherwise hold its parent's output pipes open for ever."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)

    def kill_session():
        try:
            os.killpg(child.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    guard = threading.Timer(HANG_GUARD, kill_session)
    guard.start()
    return child, guard, kill_session


class Stopped(NamedTuple):
    status: int
    calls: int
    out: str
    err: str
    frames: list[Frame]
    watcher_drops: int
    exit_seconds: float  # from the signal to the end of the process
    on_wire: bool  # the frames are those that left the sender's queue, not those its kernel took


def signal_running_child(interface, mode, signum, fault="healthy", far_end=None) -> Stopped:
    """Runs fault_child.py on `interface` made `fault`, signals it once it is ready,
    and returns how it ended with every frame seen meanwhile: on the interface, or
    at `far_end` (the other end of a vxcan pair), which sees only what has left the
    interface's queue."""
    listen_on = far_end or interface
    with faulty(interface, fault), contextlib.closing(CanPeer(listen_on, buffer_bytes=64 << 20)) as watcher:
        child, guard, kill = start_guarded([sys.executable, FAULT_CHILD, interface, mode,
                                            *(["--fill"] if fault == "stalled" else [])])
        try:
            calls_line, ready = child.stdout.readline(), child.stdout.readline()
            if ready != "ready\n":
                kill()
                raise AssertionError(f"child not ready: {calls_line!r} {ready!r} {child.stderr.read()[-2000:]}")
            if fault == "down":
                set_link(interface, "down")
            signalled = time.monotonic()
            child.send_signal(signum)
            out, err = child.communicate()
            exit_seconds = time.monotonic() - signalled
        finally:
            guard.cancel()
            kill()
            child.wait()
        frames = watcher.collect(past_interface_down=True)
        drops = watcher.dropped()
    on_wire = far_end is not None or echoes_on_transmission(interface)
    return Stopped(child.returncode, int(calls_line.split()[1]), out, err, frames, drops, exit_seconds, on_wire)


class StopReports(NamedTuple):
    lost: collections.Counter  # node: IDLE frames of the stop reported not sent
    reasons: set
    not_last: collections.Counter  # node: IDLE frames that overtook a queue nothing could follow
    still_queued: collections.Counter  # node: IDLE frames taken but reported as not having left
    bus_states: set  # what the still-queued lines say of the CAN controller
    not_out: list  # the loops' lines about passes that did not get out
    other: list


def stop_reports(err, who="ESTOP") -> StopReports:
    """What the emergency stop (or, with who="MotorController", a destructor) and
    the control loops said on standard error, and any other line found there."""
    lost, reasons, not_last, still_queued, bus_states = (collections.Counter(), set(), collections.Counter(),
                                                         collections.Counter(), set())
    not_out, other = [], []
    for line in err.splitlines():
        if (match := LOST_IDLE.fullmatch(line)) and match[1] == who:
            lost[int(match[2])] += 1
            reasons.add(match[3])
        elif (match := IDLE_NOT_LAST.fullmatch(line)) and match[1] == who:
            not_last[int(match[2])] += 1
        elif (match := STILL_QUEUED.fullmatch(line)) and match[1] == who:
            still_queued[int(match[2])] += 1
            bus_states.add(match[4])
        elif PASSES_NOT_OUT.fullmatch(line):
            not_out.append(line)
        else:
            other.append(line)
    return StopReports(lost, reasons, not_last, still_queued, bus_states, not_out, other)


def idle_frames(frames):
    return collections.Counter(f.node for f in frames if f.command == SET_AXIS_STATE and f.payload == IDLE_PAYLOAD)


def idle_is_last_word(frames, nodes, on_wire) -> list[str]:
    """Each node's last frame is an IDLE frame. Where the frames are seen as the
    kernel takes them (vcan), each node also got nothing but IDLE frames from its
    first IDLE frame on: nothing was sent once the stop had begun. On the wire, a
    command queued before the stop may follow the IDLE that overtook it, and then
    has an IDLE behind it."""
    problems = []
    for node in nodes:
        mine = [f for f in frames if f.node == node]
        first_idle = next((i for i, f in enumerate(mine) if f.command == SET_AXIS_STATE and f.payload == IDLE_PAYLOAD),
                          None)
        if first_idle is None:
            problems.append(f"no IDLE frame for node {node} reached the bus")
            continue
        if (mine[-1].command, mine[-1].payload) != (SET_AXIS_STATE, IDLE_PAYLOAD):
            problems.append(f"node {node}'s last frame is {mine[-1]}, not IDLE")
        tail = [(f.command, f.payload.hex()) for f in mine[first_idle:]
                if not (f.command == SET_AXIS_STATE and f.payload == IDLE_PAYLOAD)]
        if tail and not on_wire:
            problems.append(f"after its first IDLE frame node {node} was sent {tail[:12]}")
    return problems


def judge_stop(stopped: Stopped, interface, fault, signum) -> list[str]:
    """What must hold after fault_child.py was signalled on a bus with `fault`."""
    problems = []
    if stopped.status != signum:
        problems.append(f"exit status {stopped.status}, not {signum}")
    if stopped.out != "Running ESTOP\n" * 2:
        problems.append(f"standard output {stopped.out!r}, not two \"Running ESTOP\" lines")
    if stopped.calls < 20:  # one blocked call would leave a handful at most
        problems.append(f"only {stopped.calls} rounds of calls returned in the first second")
    reports = stop_reports(stopped.err)
    if reports.other:
        problems.append(f"unexpected standard error: {reports.other[:5]}")
    if fault in NOT_KEEPING_UP and not reports.not_out:
        problems.append("the loops did not say that their passes were not getting out")
    # A bus shaped to a robot's bitrate may not carry two position loops at all.
    keeps_up = fault == "healthy" and not BITRATE
    if keeps_up and reports.not_out:
        problems.append(f"on a bus that keeps up the loops said {reports.not_out[:2]}")
    if reports.not_last and fault != "overflowing":  # only a full queue refuses the IDLE behind it
        problems.append(f"IDLE frames that could not follow the queue: {dict(reports.not_last)}")
    seen = idle_frames(stopped.frames)
    # A watcher on the sender's vcan sees a frame when the kernel takes it, before the
    # queue; one at the far end of a vxcan pair, or on a real controller (its echo),
    # once it has left.
    echo = stopped.on_wire
    if fault in REFUSAL:
        if reports.reasons - {REFUSAL[fault]}:
            problems.append(f"lost IDLE frames reported with {reports.reasons}, not {REFUSAL[fault]!r}")
        # Each motor of each controller got its IDLE frame taken, or is reported
        # lost, never both; a taken one is still queued on a queue that never
        # drains, and said to be so.
        for node, expected in EXPECTED_IDLE.items():
            accounted = reports.lost[node] + reports.still_queued[node]
            if accounted != expected:
                problems.append(f"node {node}: {reports.lost[node]} IDLE frames reported lost and "
                                f"{reports.still_queued[node]} still queued, for {expected} controllers")
            if not echo and seen[node] < reports.still_queued[node]:
                problems.append(f"node {node}: {reports.still_queued[node]} IDLE frames reported still queued, "
                                f"but only {seen[node]} were taken")
        if fault == "down" and reports.lost != EXPECTED_IDLE:
            problems.append(f"with the interface down every IDLE frame is lost, but {dict(reports.lost)} were reported")
        return problems
    if reports.lost:
        problems.append(f"IDLE frames reported lost: {dict(reports.lost)}")
    if fault == "stalled":
        # The IDLE frames were taken (one ahead of the link's full queue, one behind
        # it), but nothing leaves a stalled queue: each is said to be still queued.
        if reports.still_queued != EXPECTED_IDLE:
            problems.append(f"IDLE frames reported still queued: {dict(reports.still_queued)}, "
                            f"not {EXPECTED_IDLE}")
        if echo and sum(seen.values()):
            problems.append(f"IDLE frames left a stalled queue: {dict(seen)}")
        for node, expected in EXPECTED_IDLE.items():
            if not echo and not expected <= seen[node] <= 2 * expected:
                problems.append(f"node {node}: {seen[node]} IDLE frames taken for {expected} controllers")
        return problems
    if reports.still_queued:
        problems.append(f"IDLE frames reported still queued: {dict(reports.still_queued)}")
    # Healthy, or a queue that drains: every IDLE frame goes out, after every
    # command of every loop: one per motor and controller, and a second behind the
    # frames still queued when it overtook them (on vcan, a healthy bus takes each
    # frame at once; a real controller holds one until it has sent it).
    if stopped.watcher_drops:
        problems.append(f"the watcher's socket dropped {stopped.watcher_drops} frames; nothing can be judged")
    if not any(f.command in LOOP_COMMANDS for f in stopped.frames if f.node in EXPECTED_IDLE):
        problems.append("the loops never sent a setpoint")
    problems += idle_is_last_word(stopped.frames, EXPECTED_IDLE, echo)
    for node, expected in EXPECTED_IDLE.items():
        most = expected if keeps_up and not echo else 2 * expected
        if not expected <= seen[node] <= most:
            problems.append(f"node {node}: {seen[node]} IDLE frames for {expected} controllers")
    return problems


# Fork scenarios of fork_child.py: what the parent reports once its child is done,
# and the nodes that get IDLE frames, in order, by the time the parent's own stop
# has run.
NOT_STARTED = "RuntimeError: cannot start a control loop in a process forked after its ODriveSocket was opened"
FORK_SCENARIOS = {
    "child-exits": ({"child": "0"}, [0]),
    "child-drops-everything": ({"child": "0", "telemetry": "True"}, [0]),
    "child-builds-its-own-stop": ({"child": "15", "Running ESTOP": 1}, [1, 0]),
    "child-gets-SIGINT": ({"child": str(-signal.SIGINT)}, [0]),
    "child-gets-SIGTERM": ({"child": str(-signal.SIGTERM)}, [0]),
    # the child's own controller, built on the inherited link, idles motor 1 when dropped
    "child-tries-the-inherited-loop": ({"child": "0", "child-stop": "RuntimeError: Invalid argument",
                                        "loop-frames-after": "True"}, [1, 0]),
    "multiprocessing": ({"child": "0", "pool": "True"}, [0]),
}


# Scenarios whose child is ended by a signal.
SIGNALLED_CHILD = {"child-builds-its-own-stop", "child-gets-SIGINT", "child-gets-SIGTERM"}


class Forked(NamedTuple):
    status: int
    reports: dict
    out: str
    err: str
    frames: list[Frame]


def run_fork_scenario(interface, scenario) -> Forked:
    """Runs fork_child.py until its parent is ready, then ends the parent with SIGTERM."""
    watcher = CanPeer(interface, only_command=SET_AXIS_STATE)
    parent, guard, kill = start_guarded([sys.executable, FORK_CHILD, interface, scenario])
    reports, ready, out = {}, False, ""
    try:
        for line in parent.stdout:
            if line == "ready\n":
                ready = True
                break
            if line == "Running ESTOP\n":  # from a child's own emergency stop
                reports["Running ESTOP"] = reports.get("Running ESTOP", 0) + 1
            else:
                key, _, value = line.rstrip("\n").partition(" ")
                reports[key] = value
        if ready:
            parent.send_signal(signal.SIGTERM)
            out, err = parent.communicate()
        else:  # it ended before it was ready; judge_fork says so
            parent.wait()
            err = parent.stderr.read()
    finally:
        guard.cancel()
        kill()  # and whatever the scenario left behind
        parent.wait()
        frames = watcher.collect()
        watcher.close()
    return Forked(parent.returncode, reports, out, err, frames)


def judge_fork(forked: Forked, scenario) -> list[str]:
    expected, idle_nodes = FORK_SCENARIOS[scenario]
    problems = []
    if forked.status != signal.SIGTERM:
        problems.append(f"the parent's status is {forked.status}, not {int(signal.SIGTERM)} after its stop")
    if forked.out != "Running ESTOP\n":
        problems.append(f"the parent's standard output ended {forked.out!r}, not with one \"Running ESTOP\"")
    if forked.err.strip():
        problems.append(f"standard error: {forked.err[-1000:]!r}")
    for key, value in expected.items():
        if forked.reports.get(key) != value:
            problems.append(f"{key}: {forked.reports.get(key)!r}, not {value!r}")
    if float(forked.reports.get("cpu", 0)) >= 0.5:  # a thread of the parent spins
        problems.append(f"the idle parent used {forked.reports['cpu']} of a CPU")
    if scenario in ("child-drops-everything", "child-tries-the-inherited-loop") \
            and "child-drop-seconds" not in forked.reports:
        problems.append("dropping the objects did not return in the child")
    if scenario == "child-tries-the-inherited-loop":
        for key in ("child-start", "child-new-on-inherited-link"):
            if not forked.reports.get(key, "").startswith(NOT_STARTED):
                problems.append(f"{key}: {forked.reports.get(key)!r}")
    frames = [(f.node, f.payload) for f in forked.frames]
    if frames != [(node, IDLE_PAYLOAD) for node in idle_nodes]:
        problems.append(f"axis-state frames {frames}, not IDLE for {idle_nodes}")
    return problems
