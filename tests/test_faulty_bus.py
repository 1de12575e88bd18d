"""Faulty buses: a queue that stalls, one that overflows, an interface that is down.
No call may wait for the bus; the emergency stop idles every motor it can, says
which IDLE frames it could not send, and ends the process all the same."""

import os
import shutil
import signal

import pytest

from torvane_dev.buses import SECOND_INTERFACE
from torvane_dev.faultcheck import judge_stop, run_encoder_calls, shaped, signal_running_child

needs_tc = pytest.mark.skipif(shutil.which("tc") is None or os.geteuid() != 0,
                              reason="needs root and tc (iproute2) to shape the bus")


@needs_tc
@pytest.mark.parametrize("fault", ["stalled", "overflowing"])
def test_commands_return_at_once_on_a_bus_that_takes_nothing(fault):
    with shaped(SECOND_INTERFACE, fault):
        done, seen = run_encoder_calls(SECOND_INTERFACE, 10_000)
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
    # Torque mode on the healthy bus: three frames a pass for both loops, which an
    # emulated SJA1000 in a busy VM still carries; position mode's nine can outrun it,
    # and the loops rightly say so.
    stopped = signal_running_child(interface, "torque" if fault == "healthy" else "position", signum, fault)
    assert judge_stop(stopped, interface, fault, signum) == []
