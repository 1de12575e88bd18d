"""What the CAN controller says of the bus in its error frames: the link says each
change on standard error, never takes an error frame for telemetry, and names the
last state in the stop's lines. The error frames are written by a raw socket, as
the kernel lets user space do on vcan; a real controller's reach other sockets of
the host the same way."""

import collections
import contextlib
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from torvane_dev.buses import INTERFACE, SECOND_INTERFACE
from torvane_dev.canpeer import CanPeer, wait_until
from torvane_dev.faultcheck import (
    FAULT_CHILD,
    HANG_GUARD,
    echoes_on_transmission,
    shaped,
    start_guarded,
    stop_reports,
)
from torvane_dev.protocol import CAN_ERR_FLAG, HEARTBEAT, arb_id

# A real controller sends a user-space error frame like any other and hands it to
# the host's sockets once it has, one by one: only vcan delivers them as the
# controller's own reports would come.
pytestmark = pytest.mark.skipif(echoes_on_transmission(INTERFACE) or echoes_on_transmission(SECOND_INTERFACE),
                                reason="error frames written from user space reach other sockets only through a "
                                       "real controller's transmission")

# linux/can/error.h
CAN_ERR_TX_TIMEOUT, CAN_ERR_CRTL, CAN_ERR_ACK, CAN_ERR_BUSOFF, CAN_ERR_RESTARTED = 0x1, 0x4, 0x20, 0x40, 0x100
CRTL_RX_WARNING, CRTL_TX_PASSIVE, CRTL_ACTIVE = 0x04, 0x20, 0x40


def error_frame(flags: int, controller_status: int = 0) -> tuple[int, bytes]:
    return CAN_ERR_FLAG | flags, bytes([0, controller_status, 0, 0, 0, 0, 0, 0])


BUS_OFF = error_frame(CAN_ERR_BUSOFF)
PASSIVE = error_frame(CAN_ERR_CRTL, CRTL_TX_PASSIVE)
WARNING = error_frame(CAN_ERR_CRTL, CRTL_RX_WARNING)
ACTIVE = error_frame(CAN_ERR_CRTL, CRTL_ACTIVE)
RESTARTED = error_frame(CAN_ERR_RESTARTED)
NO_ACK = error_frame(CAN_ERR_ACK)
# The identifier of a transmit time-out, 0x20000001, ends like node 0's heartbeat.
TX_TIMEOUT = (CAN_ERR_FLAG | CAN_ERR_TX_TIMEOUT, bytes([5, 0, 0, 0, 8, 0, 0, 0]))

SAID = {
    BUS_OFF: "torvane: the CAN controller of {bus} is BUS-OFF: it sends nothing until it is restarted (by hand, or "
             "by itself with `ip link set {bus} type can restart-ms 100`)",
    PASSIVE: "torvane: the CAN controller of {bus} is ERROR-PASSIVE: many of its frames fail (wiring, termination, "
             "a node at another bitrate?)",
    WARNING: "torvane: the CAN controller of {bus} is at ERROR-WARNING: its error counters are rising",
    NO_ACK: "torvane: no node acknowledges the frames sent on {bus}: nobody else is on the bus, or it runs at "
            "another bitrate",
    TX_TIMEOUT: "torvane: {bus} timed out sending a frame: its driver gave up on it",
}


# A link alone in a process of its own, so that what its receive thread says on
# standard error is all there is: "read NODE" on its input answers with the node's
# cached axis error and state.
LINK_PROGRAM = """
import sys, torvane
link = torvane.ODriveSocket(sys.argv[1])
print("ready", flush=True)
for request in sys.stdin:
    node = int(request.split()[1])
    print(link.getAxisError(node), link.getAxisState(node), flush=True)
"""


class LoneLink:
    def __init__(self, interface):
        self.child = subprocess.Popen([sys.executable, "-c", LINK_PROGRAM, interface], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        assert self.child.stdout.readline() == "ready\n"
        self.errors = self.child.stderr.fileno()
        self.lines, self.pending = [], b""

    def said(self, at_least=0, then_wait=0.0):
        """Its lines on standard error, once there are `at_least`, and `then_wait` seconds more."""
        deadline = time.monotonic() + HANG_GUARD
        while len(self.lines) < at_least:
            assert self._take(deadline - time.monotonic()), self.lines
        quiet_until = time.monotonic() + then_wait
        while self._take(max(quiet_until - time.monotonic(), 0)):
            pass
        return self.lines

    def _take(self, seconds) -> bool:
        """Reads what standard error has within `seconds` (unbuffered: a buffered reader
        would hold lines that select() no longer sees); False when nothing came."""
        if not select.select([self.errors], [], [], seconds)[0]:
            return False
        chunk = os.read(self.errors, 65536)
        self.pending += chunk
        *complete, self.pending = self.pending.split(b"\n")
        self.lines += [line.decode() for line in complete]
        return bool(chunk)

    def read(self, node):
        self.child.stdin.write(f"read {node}\n")
        self.child.stdin.flush()
        return tuple(int(x) for x in self.child.stdout.readline().split())

    def close(self):
        self.child.stdin.close()
        self.child.wait(timeout=HANG_GUARD)
        self.child.stdout.close()
        self.child.stderr.close()


@pytest.fixture
def lone_link(bus):
    link = LoneLink(bus)
    yield link
    link.close()


@pytest.mark.parametrize("frame", list(SAID), ids=["bus-off", "passive", "warning", "no-ack", "tx-timeout"])
def test_each_report_of_the_controller_is_said_once(bus, lone_link, peer, frame):
    peer.send(*frame)
    peer.send(*frame)  # the same state again is no change; a second time-out within the second is not said
    # past the period in which a second line could come
    assert lone_link.said(1, then_wait=1.5) == [SAID[frame].format(bus=bus)]


def test_a_state_that_flaps_is_said_as_it_stands_when_the_second_is_up(bus, lone_link, peer):
    peer.send(*BUS_OFF)
    lone_link.said(1)
    for frame in (RESTARTED, PASSIVE, WARNING, ACTIVE, NO_ACK):
        peer.send(*frame)
    assert lone_link.said(3, then_wait=1.5) == [SAID[BUS_OFF].format(bus=bus),
                                               f"torvane: the CAN controller of {bus} restarted: it is ERROR-ACTIVE "
                                               f"again",
                                               SAID[NO_ACK].format(bus=bus)]


def test_an_error_frame_is_never_telemetry(bus, lone_link, peer):
    peer.send(*TX_TIMEOUT)
    peer.send(arb_id(3, HEARTBEAT), bytes([0, 0, 0, 0, 8, 0, 0, 0]))  # sent after it, so read after it
    wait_until(lambda: lone_link.read(3) == (0, 8))
    assert lone_link.read(0) == (0, 0)
    assert lone_link.said(1) == [SAID[TX_TIMEOUT].format(bus=bus)]


def test_frames_from_a_node_mean_someone_acknowledges_again(bus, lone_link, peer):
    peer.send(*NO_ACK)
    lone_link.said(1)
    peer.send(arb_id(3, HEARTBEAT), bytes([0, 0, 0, 0, 8, 0, 0, 0]))
    assert lone_link.said(2)[1] == f"torvane: frames on {bus} are acknowledged again"


def test_the_stop_names_the_last_state_of_a_bus_its_idle_frames_did_not_leave():
    # A stalled queue, and a controller that said BUS-OFF: the lines about the IDLE
    # frames still queued, and the loops' lines after it, name it.
    interface = SECOND_INTERFACE
    with shaped(interface, "stalled"), contextlib.closing(CanPeer(interface)) as peer:
        child, guard, kill = start_guarded([sys.executable, FAULT_CHILD, interface, "torque"])
        try:
            assert child.stdout.readline().startswith("calls ")
            assert child.stdout.readline() == "ready\n"
            peer.send(*BUS_OFF)
            # its line comes after the loops' first reports, which came after a second
            for line in child.stderr:
                if "is BUS-OFF" in line:
                    break
            child.send_signal(signal.SIGTERM)
            out, err = child.communicate()
        finally:
            guard.cancel()
            kill()
            child.wait()
    assert child.returncode == signal.SIGTERM and out == "Running ESTOP\n" * 2
    reports = stop_reports(err)
    assert reports.still_queued == collections.Counter({0: 1, 1: 2}), err
    assert reports.bus_states == {"CAN controller: BUS-OFF"}, err
