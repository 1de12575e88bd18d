"""Faulty buses: a queue that stalls, one that overflows, an interface that is down.
No call may wait for the bus; the emergency stop idles every motor it can, says
which IDLE frames it could not send, and ends the process all the same."""

import os
import shutil
import signal
import subprocess
import sys

import pytest

from canpeer import CanPeer
from conftest import SECOND_INTERFACE
from faultcheck import HANG_GUARD, judge_stop, shaped, signal_running_child

needs_tc = pytest.mark.skipif(shutil.which("tc") is None or os.geteuid() != 0,
                              reason="needs root and tc (iproute2) to shape the bus")

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


@needs_tc
@pytest.mark.parametrize("fault, mode, signum", [
    ("stalled", "torque", signal.SIGINT),
    ("stalled", "position", signal.SIGTERM),
    ("overflowing", "position", signal.SIGINT),
    ("overflowing", "velocity", signal.SIGTERM),
    ("down", "torque", signal.SIGTERM),
], ids=str)
def test_stop_on_a_faulty_bus_reports_lost_idle_frames_and_ends(fault, mode, signum):
    # While the loops run, update_command, get_motor_states and the getters keep
    # returning; on the signal the process ends with its number, "Running ESTOP" on
    # standard output and every IDLE frame the kernel refused on standard error.
    stopped = signal_running_child(SECOND_INTERFACE, mode, signum, fault)
    assert judge_stop(stopped, SECOND_INTERFACE, fault, signum) == []


@pytest.mark.parametrize("fault, signum", [("healthy", signal.SIGINT), ("congested", signal.SIGTERM)], ids=str)
def test_the_stops_idle_frames_are_every_controllers_last(bus, fault, signum):
    # On a healthy bus, and on one whose queue the loops keep full until the stop
    # halts them: there the IDLE frames are refused at first and retried.
    interface = bus
    if fault == "congested":
        if shutil.which("tc") is None or os.geteuid() != 0:
            pytest.skip("needs root and tc (iproute2) to shape the bus")
        interface = SECOND_INTERFACE
    stopped = signal_running_child(interface, "position", signum, fault)
    assert judge_stop(stopped, interface, fault, signum) == []
