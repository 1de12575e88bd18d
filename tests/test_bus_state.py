"""What the CAN controller says of the bus in its error frames: the link says each
change on standard error, never takes an error frame for telemetry, and names the
last state in the stop's lines. The error frames are written by a raw socket, as
the kernel lets user space do on vcan; a real controller's reach other sockets of
the host the same way."""

import collections
import contextlib
import signal
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


def lines_until(capfd, seen, wanted, timeout=HANG_GUARD):
    """Standard error's lines so far (added to `seen`), once `wanted` lines are there."""
    def enough():
        seen.extend(capfd.readouterr().err.splitlines())
        return len(seen) >= wanted
    wait_until(enough, timeout=timeout, interval=0.02)
    return seen


@pytest.mark.parametrize("frame", list(SAID), ids=["bus-off", "passive", "warning", "no-ack", "tx-timeout"])
def test_each_report_of_the_controller_is_said_once(bus, link, peer, capfd, frame):
    peer.send(*frame)
    peer.send(*frame)  # the same state again is no change; a second time-out within the second is not said
    said = lines_until(capfd, [], 1)
    time.sleep(1.5)  # past the period in which a second line could come
    said += capfd.readouterr().err.splitlines()
    assert said == [SAID[frame].format(bus=bus)]


def test_a_state_that_flaps_is_said_as_it_stands_when_the_second_is_up(bus, link, peer, capfd):
    peer.send(*BUS_OFF)
    said = lines_until(capfd, [], 1)
    for frame in (RESTARTED, PASSIVE, WARNING, ACTIVE, NO_ACK):
        peer.send(*frame)
    said = lines_until(capfd, said, 3)
    time.sleep(1.5)
    said += capfd.readouterr().err.splitlines()
    assert said == [SAID[BUS_OFF].format(bus=bus),
                    f"torvane: the CAN controller of {bus} restarted: it is ERROR-ACTIVE again",
                    SAID[NO_ACK].format(bus=bus)]


def test_an_error_frame_is_never_telemetry(bus, link, peer, capfd):
    peer.send(*TX_TIMEOUT)
    peer.send(arb_id(3, HEARTBEAT), bytes([0, 0, 0, 0, 8, 0, 0, 0]))  # sent after it, so read after it
    wait_until(lambda: link.getAxisState(3) == 8)
    assert (link.getAxisError(0), link.getAxisState(0)) == (0, 0)
    assert lines_until(capfd, [], 1) == [SAID[TX_TIMEOUT].format(bus=bus)]


def test_frames_from_a_node_mean_someone_acknowledges_again(bus, link, peer, capfd):
    peer.send(*NO_ACK)
    said = lines_until(capfd, [], 1)
    peer.send(arb_id(3, HEARTBEAT), bytes([0, 0, 0, 0, 8, 0, 0, 0]))
    assert lines_until(capfd, said, 2)[1] == f"torvane: frames on {bus} are acknowledged again"


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
