"""Faulty buses: a queue that stalls, one that overflows, an interface that is down.
No call may wait for the bus; the emergency stop idles every motor it can, says
which IDLE frames it could not send, and ends the process all the same."""

import collections
import contextlib
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from typing import NamedTuple

import pytest

from canpeer import CanPeer, Frame
from conftest import SECOND_INTERFACE

HANG_GUARD = 120.0  # seconds; only catches a hang, never measures speed
CHILD = os.path.join(os.path.dirname(__file__), "fault_child.py")
SET_AXIS_STATE = 7
IDLE = bytes([1, 0, 0, 0])
IFF_ECHO = 0x40000
EXPECTED_IDLE = {0: 1, 1: 2}  # the child's controllers drive [0, 1] and [1]
LOST_IDLE = re.compile(r"ESTOP: IDLE for node (\d+) not sent: (.+)")

QDISCS = {
    # Barely drains (a frame every 16 s): the link's socket send buffer fills and
    # the kernel refuses further frames with EAGAIN.
    "stalled": "tbf rate 8bit burst 100 limit 1000000",
    # A queue of six frames that never drains: the kernel refuses with ENOBUFS, as
    # with a real adapter's queue when no node acknowledges.
    "overflowing": "tbf rate 8bit burst 100 limit 100",
    # A ten-frame queue the running loops keep full, draining a frame every 2 ms.
    "congested": "tbf rate 64kbit burst 100 limit 160",
}

needs_tc = pytest.mark.skipif(shutil.which("tc") is None or os.geteuid() != 0,
                              reason="needs root and tc (iproute2) to shape the bus")


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


def echoes_on_transmission(interface) -> bool:
    """True for real CAN controllers, whose driver echoes a frame once it is on the
    bus; vcan hands other sockets a frame as soon as the queue has taken it."""
    with open(f"/sys/class/net/{interface}/flags") as flags:
        return bool(int(flags.read(), 16) & IFF_ECHO)


ENCODER_CALLS = """
import sys, torvane
link = torvane.ODriveSocket(sys.argv[1])
calls = [lambda n: link.setAxisState(n, 8), lambda n: link.setControlMode(n, 3, 1),
         lambda n: link.position_command(n, 1.0, 0.5, 0.25), lambda n: link.velocity_command(n, 1.0, 0.5),
         lambda n: link.torque_command(n, 0.5), lambda n: link.setLimits(n, 10.0, 20.0),
         lambda n: link.set_stiffness(n, 20.0), lambda n: link.set_damping(n, 0.1, 0.2),
         lambda n: link.clearErrors(n)]
for i in range(10_000):
    calls[i % len(calls)](i % 64)
"""


@needs_tc
@pytest.mark.parametrize("fault", ["stalled", "overflowing"])
def test_commands_return_at_once_on_a_bus_that_takes_nothing(fault):
    # In a child process: a call that blocked would hold the interpreter lock and
    # freeze any guard in this one.
    with shaped(SECOND_INTERFACE, fault):
        watcher = CanPeer(SECOND_INTERFACE)
        done = subprocess.run([sys.executable, "-c", ENCODER_CALLS, SECOND_INTERFACE],
                              capture_output=True, text=True, timeout=HANG_GUARD)
        seen = watcher.collect()
        watcher.close()
    assert done.returncode == 0 and done.stderr == "", done.stderr
    # the queue filled up: the frames it refused were dropped, not waited for
    assert 0 < len(seen) < 10_000


class Stopped(NamedTuple):
    status: int
    calls: int
    out: str
    err: str
    frames: list[Frame]
    watcher_drops: int


def signal_running_child(interface, mode, signum, fill=False, before_signal=None) -> Stopped:
    """Runs fault_child.py until it is ready, signals it, and returns how it ended
    with every frame seen on the interface meanwhile."""
    watcher = CanPeer(interface, buffer_bytes=64 << 20)
    child = subprocess.Popen([sys.executable, CHILD, interface, mode, *(["--fill"] if fill else [])],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    guard = threading.Timer(HANG_GUARD, child.kill)
    guard.start()
    try:
        calls_line, ready = child.stdout.readline(), child.stdout.readline()
        assert ready == "ready\n", f"child not ready: {calls_line!r} {ready!r} {child.stderr.read()[-2000:]}"
        if before_signal:
            before_signal()
        child.send_signal(signum)
        out, err = child.communicate()
    finally:
        guard.cancel()
        if child.poll() is None:
            child.kill()
            child.wait()
    frames = []
    while True:
        try:
            frames += watcher.collect()
            break
        except OSError as error:  # an interface set down reports ENETDOWN once
            if error.errno != errno.ENETDOWN:
                raise
    drops = watcher.dropped()
    watcher.close()
    return Stopped(child.returncode, int(calls_line.split()[1]), out, err, frames, drops)


def lost_idle_reports(err):
    """The child's standard error, which must hold only lost-IDLE reports: {node: count}, reasons."""
    reported, reasons = collections.Counter(), set()
    for line in err.splitlines():
        match = LOST_IDLE.fullmatch(line)
        assert match, f"unexpected line on standard error: {line!r}\n{err[-2000:]}"
        reported[int(match[1])] += 1
        reasons.add(match[2])
    return reported, reasons


def idle_frames(frames):
    return collections.Counter(f.node for f in frames if f.command == SET_AXIS_STATE and f.payload == IDLE)


@needs_tc
@pytest.mark.parametrize("fault, mode, signum, reason", [
    ("stalled", "torque", signal.SIGINT, "Resource temporarily unavailable"),
    ("stalled", "position", signal.SIGTERM, "Resource temporarily unavailable"),
    ("overflowing", "position", signal.SIGINT, "No buffer space available"),
    ("overflowing", "velocity", signal.SIGTERM, "No buffer space available"),
    ("down", "torque", signal.SIGTERM, "Network is down"),
], ids=lambda v: getattr(v, "name", v) if isinstance(v, signal.Signals) else None)
def test_stop_on_a_faulty_bus_reports_lost_idle_frames_and_ends(fault, mode, signum, reason):
    interface = SECOND_INTERFACE
    with contextlib.ExitStack() as restore:
        if fault == "down":
            restore.callback(set_link, interface, "up")
            stopped = signal_running_child(interface, mode, signum, before_signal=lambda: set_link(interface, "down"))
        else:
            restore.enter_context(shaped(interface, fault))
            stopped = signal_running_child(interface, mode, signum, fill=fault == "stalled")

    assert stopped.status == signum, stopped.err[-2000:]
    assert stopped.out == "Running ESTOP\n" * 2
    # update_command, get_motor_states and the getters kept returning while the loops ran
    assert stopped.calls >= 20
    reported, reasons = lost_idle_reports(stopped.err)
    assert reasons == {reason}
    # Each motor of each controller got its IDLE frame out, or is reported, never
    # both. A frame queued on a real controller's stalled bus is neither seen (it
    # never leaves) nor reported (the kernel took it).
    seen = idle_frames(stopped.frames)
    for node, expected in EXPECTED_IDLE.items():
        if echoes_on_transmission(interface):
            assert seen[node] + reported[node] <= expected
        else:
            assert seen[node] + reported[node] == expected, (node, seen, reported)
    if fault == "down":
        assert reported == EXPECTED_IDLE


@pytest.mark.parametrize("fault, signum", [("healthy", signal.SIGINT), ("congested", signal.SIGTERM)])
def test_the_stops_idle_frames_are_every_controllers_last(bus, fault, signum):
    # On a healthy bus, and on one whose queue the loops keep full until the stop
    # halts them: there the IDLE frames are refused at first and retried.
    with contextlib.ExitStack() as restore:
        interface = bus
        if fault == "congested":
            if shutil.which("tc") is None or os.geteuid() != 0:
                pytest.skip("needs root and tc (iproute2) to shape the bus")
            interface = SECOND_INTERFACE
            restore.enter_context(shaped(interface, fault))
        stopped = signal_running_child(interface, "position", signum)

    assert stopped.status == signum, stopped.err[-2000:]
    assert stopped.out == "Running ESTOP\n" * 2 and stopped.err == ""
    assert stopped.watcher_drops == 0
    motors = [f for f in stopped.frames if f.node in EXPECTED_IDLE]
    assert any(f.command == 12 for f in motors), "the loops never ran"
    first_idle = next(i for i, f in enumerate(motors) if f.command == SET_AXIS_STATE)
    # registration order, and nothing from any loop after the first IDLE frame
    assert [(f.node, f.command, f.payload) for f in motors[first_idle:]] == [
        (0, SET_AXIS_STATE, IDLE), (1, SET_AXIS_STATE, IDLE), (1, SET_AXIS_STATE, IDLE)]
