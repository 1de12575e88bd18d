"""Emergency stop on SIGINT and SIGTERM, in child processes on the bus."""

import os
import signal
import subprocess
import sys
import time

import pytest

from torvane_dev import program
from torvane_dev.buses import SECOND_INTERFACE
from torvane_dev.canpeer import CanPeer
from torvane_dev.faultcheck import HANG_GUARD, set_link, stop_reports
from torvane_dev.protocol import arb_id

CHILD = program("estop_child.py")
IDLE = bytes([1, 0, 0, 0])


def run_child(bus, scenario, signum):
    """Starts the child, signals it once it is ready; returns (status, stdout, stderr, idle frames)."""
    watcher = CanPeer(bus, only_command=7)
    child = subprocess.Popen([sys.executable, CHILD, bus, scenario], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        child.send_signal(signum)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    frames = []
    while True:
        try:
            frames.append(watcher.recv(timeout=0.2))
        except TimeoutError:
            break
    watcher.close()
    return child.returncode, "ready\n" + out, err, [(f.can_id, f.payload) for f in frames]


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_signal_stops_every_controller_and_exits_with_its_number(bus, signum):
    status, out, err, frames = run_child(bus, "two-running", signum)
    assert status == signum, err
    assert out.count("Running ESTOP\n") == 2
    assert "KeyboardInterrupt" not in err and "Traceback" not in err
    # registration order: controller [0, 1] first, then controller [1]; where a
    # loop's frames were still in the adapter when the IDLE frames overtook them
    # (a real controller reports a frame sent only once it is), the same again behind them
    idle = [(arb_id(0, 7), IDLE), (arb_id(1, 7), IDLE), (arb_id(1, 7), IDLE)]
    assert frames in (idle, idle * 2)


def test_a_dropped_controller_is_not_stopped(bus):
    status, out, err, frames = run_child(bus, "one-dropped", signal.SIGTERM)
    assert status == signal.SIGTERM, err
    assert out.count("Running ESTOP") == 1
    # the destructor idled motor 0 before the signal; the stop idles motor 1 only
    assert frames == [(arb_id(0, 7), IDLE), (arb_id(1, 7), IDLE)]


def test_once_installed_the_stop_stays_even_with_no_controller_left(bus):
    status, out, err, frames = run_child(bus, "all-dropped", signal.SIGINT)
    assert status == signal.SIGINT, err
    assert "Running ESTOP" not in out and "KeyboardInterrupt" not in err
    assert frames == [(arb_id(0, 7), IDLE)]


@pytest.mark.parametrize("scenario", ["none", "failed-construction"])
def test_without_a_controller_sigint_keeps_pythons_behaviour(bus, scenario):
    status, out, err, frames = run_child(bus, scenario, signal.SIGINT)
    assert "KeyboardInterrupt" in err
    assert status == -signal.SIGINT  # Python re-raises an unhandled interrupt as the signal
    assert "Running ESTOP" not in out and frames == []


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to set the interface down and up")
@pytest.mark.parametrize("end", ["SIGINT", "SIGTERM", "drop"])
def test_an_interface_cycled_down_and_up_still_idles_every_motor(end):
    # Setting an interface down and up again (the usual recovery from BUS-OFF) leaves
    # an error pending on every socket bound to it; none of it may cost an IDLE.
    interface = SECOND_INTERFACE
    watcher = CanPeer(interface, only_command=7)
    child = subprocess.Popen([sys.executable, CHILD, interface, "one-running"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        for state in ("down", "up"):
            set_link(interface, state)
        time.sleep(0.2)  # the loop meets the pending error too
        if end == "drop":
            child.stdin.write("drop\n")
            child.stdin.flush()
            assert child.stdout.readline() == "dropped\n"
        else:
            # Its input stays open until it has ended: at the end of its input it
            # would drop the controller itself.
            child.send_signal(getattr(signal, end))
            child.wait(timeout=HANG_GUARD)
        out, err = child.communicate(timeout=HANG_GUARD)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        for pipe in (child.stdin, child.stdout, child.stderr):
            pipe.close()
    frames = watcher.collect(past_interface_down=True)
    watcher.close()
    assert child.returncode == (0 if end == "drop" else getattr(signal, end)), err
    # The loop may say that its frames were refused while the interface was down.
    reports = stop_reports(err, "MotorController" if end == "drop" else "ESTOP")
    assert (reports.lost, reports.still_queued, reports.not_last, reports.other) == ({}, {}, {}, []), err
    assert [(f.can_id, f.payload) for f in frames] == [(arb_id(0, 7), IDLE)]
