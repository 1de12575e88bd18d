"""What the emergency stop leaves of a program's output, and what a program hears
when it takes SIGINT or SIGTERM for itself after its first controller."""

import os
import pty
import select
import signal
import subprocess
import sys
import termios
import time

import pytest

from torvane_dev import program
from torvane_dev.canpeer import CanPeer
from torvane_dev.faultcheck import HANG_GUARD, IDLE_PAYLOAD
from torvane_dev.procfs import under_thread_sanitizer
from torvane_dev.protocol import SET_AXIS_STATE

CHILD = program("output_child.py")
PRINTED = "".join(f"line {n}\n" for n in range(200))
REPLACED = "torvane: {} no longer runs the emergency stop: {}\n"


def start(bus, scenario, stdout):
    return subprocess.Popen([sys.executable, CHILD, bus, scenario], stdout=stdout, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)


def read_stderr_until(child, wanted: bytes, seconds: float) -> bytes:
    """What the child wrote to standard error, up to `wanted` or for `seconds`."""
    seen, deadline = b"", time.monotonic() + seconds
    while wanted not in seen and time.monotonic() < deadline:
        if select.select([child.stderr], [], [], max(deadline - time.monotonic(), 0))[0]:
            chunk = os.read(child.stderr.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    return seen


def stop(child, signum):
    """Signals the child; returns its status and the rest of its standard error."""
    child.send_signal(signum)
    try:
        status = child.wait(timeout=HANG_GUARD)
        return status, child.stderr.read().decode()
    finally:
        child.kill()
        child.wait()
        child.stderr.close()


def signal_when_ready(child, signum, settle=0.0):
    said = read_stderr_until(child, b"ready\n", HANG_GUARD)
    if not said.endswith(b"ready\n"):
        child.kill()
        child.wait()
        child.stderr.close()
        raise AssertionError(f"the child did not get ready: {said[-2000:]!r}")
    time.sleep(settle)
    return stop(child, signum)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
@pytest.mark.parametrize("into", ["file", "pipe"])
def test_the_stop_keeps_what_the_program_printed(bus, tmp_path, signum, into):
    # 200 lines printed without flush sit in the interpreter's buffer: they reach the
    # file or the pipe, before the stop's own line.
    if into == "file":
        with open(tmp_path / "out.txt", "wb") as out:
            child = start(bus, "print", out)
        status, err = signal_when_ready(child, signum)
        text = (tmp_path / "out.txt").read_text()
    else:
        child = start(bus, "print", subprocess.PIPE)
        reader = subprocess.Popen(["cat"], stdin=child.stdout, stdout=subprocess.PIPE)
        child.stdout.close()
        status, err = signal_when_ready(child, signum)
        text = reader.communicate(timeout=HANG_GUARD)[0].decode()
    assert status == signum, err
    assert text == PRINTED + "Running ESTOP\n"
    assert err == ""


def test_an_interpreter_held_by_a_native_call_still_ends_with_the_stop(bus, tmp_path):
    if under_thread_sanitizer():
        pytest.skip("ThreadSanitizer holds a signal back until the thread that took it calls an intercepted "
                    "function: a thread busy in one native call never does, so the signal never arrives")
    # The interpreter's lock cannot be had to flush its buffers: the process ends
    # all the same, with the stop's line and its status.
    with open(tmp_path / "out.txt", "wb") as out:
        child = start(bus, "print-busy", out)
    status, err = signal_when_ready(child, signal.SIGTERM, settle=0.5)
    assert status == signal.SIGTERM, err
    assert (tmp_path / "out.txt").read_text().endswith("Running ESTOP\n")


@pytest.mark.parametrize("scenario, line", [
    pytest.param(scenario, REPLACED.format(name, what), id=scenario) for scenario, name, what in [
        ("handler-SIGINT", "SIGINT", "another handler was installed"),
        ("handler-SIGTERM", "SIGTERM", "another handler was installed"),
        ("ignore-SIGINT", "SIGINT", "the program ignores it"),
        ("default-SIGTERM", "SIGTERM", "it was set back to its default action"),
    ]])
def test_a_handler_installed_after_the_first_controller_is_named_once(bus, scenario, line):
    child = start(bus, scenario, subprocess.DEVNULL)
    try:
        seen = read_stderr_until(child, line.encode(), HANG_GUARD)
        seen += read_stderr_until(child, b"\n\n", 1.0)  # a while longer: nothing is repeated
    finally:
        child.kill()
        child.wait()
        child.stderr.close()
    assert seen.decode() == "ready\n" + line


def test_a_program_that_keeps_the_stop_hears_nothing_of_it(bus):
    child = start(bus, "keep", subprocess.DEVNULL)
    status, err = signal_when_ready(child, signal.SIGTERM, settle=1.0)  # several looks at the handlers
    assert status == signal.SIGTERM and err == ""


def test_a_terminal_with_its_output_suspended_holds_nothing_of_the_stop(bus):
    # Ctrl-S, or an ssh session that stalls: every write to the terminal blocks. The
    # IDLE frame goes out all the same, the stop's text is dropped where the terminal
    # cannot take it, and the process ends with the signal's number.
    terminal, program_side = pty.openpty()
    watcher = CanPeer(bus, only_command=SET_AXIS_STATE)
    child = subprocess.Popen([sys.executable, CHILD, bus, "keep"], stdout=program_side, stderr=program_side,
                             stdin=subprocess.DEVNULL)
    try:
        said = b""
        while b"ready\n" not in said.replace(b"\r\n", b"\n"):
            assert select.select([terminal], [], [], HANG_GUARD)[0], f"the child did not get ready: {said!r}"
            said += os.read(terminal, 4096)
        termios.tcflow(program_side, termios.TCOOFF)
        child.send_signal(signal.SIGTERM)
        status = child.wait(timeout=HANG_GUARD)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
        termios.tcflow(program_side, termios.TCOON)
        os.close(program_side)
        os.close(terminal)
    frames = watcher.collect()
    watcher.close()
    assert status == signal.SIGTERM
    assert [(f.node, f.payload) for f in frames] == [(0, IDLE_PAYLOAD)]
