"""The receive thread's telemetry cache, fed by a peer on the bus."""

import os
import struct

import pytest

import torvane
from torvane_dev.canpeer import as_f32, f32, wait_until
from torvane_dev.protocol import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, GETTERS, arb_id


def snapshot(link, node):
    return {name: getattr(link, name)(node) for name in GETTERS}


def settle(link, peer, node=63):
    """Sends a sentinel heartbeat and waits until it is decoded: every frame sent
    before it has been handled by then."""
    settle.counter = getattr(settle, "counter", 0) % 1000 + 1
    peer.send(arb_id(node, 1), struct.pack("<IB", settle.counter, 0))
    wait_until(lambda: link.getAxisError(node) == settle.counter)


# (command id, data, {getter: expected})
MESSAGES = [
    (1, bytes.fromhex("0100000008") + b"\xaa\xbb\xcc", {"getAxisError": 1, "getAxisState": 8}),
    (1, struct.pack("<IB", 0xDEADBEEF, 3), {"getAxisError": 0xDEADBEEF, "getAxisState": 3}),
    (9, f32(1.25, -2.5), {"getPositionEstimate": 1.25, "getVelocityEstimate": -2.5}),
    (20, f32(3.5, 4.5), {"getIqSetpoint": 3.5, "getIqMeasured": 4.5}),
    (21, f32(40.0, 55.5), {"getFETTemperature": 40.0, "getMotorTemperature": 55.5}),
    (23, f32(24.0, 1.5), {"getBusVoltage": 24.0, "getBusCurrent": 1.5}),
    (28, f32(1.5, 2.5), {"getTorqueEstimate": 1.5}),  # the second float is not stored
]


@pytest.mark.parametrize("command, data, expected", MESSAGES, ids=[f"cmd{m[0]}-{i}" for i, m in enumerate(MESSAGES)])
@pytest.mark.parametrize("node", [0, 5, 62])
def test_each_message_fills_its_fields_of_its_node_only(link, peer, command, data, expected, node):
    before = {n: snapshot(link, n) for n in (node, node + 1)}
    peer.send(arb_id(node, command), data)
    wait_until(lambda: all(getattr(link, g)(node) == v for g, v in expected.items()))
    after = snapshot(link, node)
    assert after == {**before[node], **expected}
    assert snapshot(link, node + 1) == before[node + 1]


def test_cache_starts_at_zero_everywhere(link):
    for node in (0, 31, 63):
        assert set(snapshot(link, node).values()) == {0}


def test_axis_state_is_a_plain_integer_equal_to_the_member(link, peer):
    peer.send(arb_id(3, 1), struct.pack("<IB", 0, 8))
    wait_until(lambda: link.getAxisState(3) == 8)
    state = link.getAxisState(3)
    assert type(state) is int
    assert state == torvane.ODriveAxisState.CLOSED_LOOP_CONTROL


def test_floats_are_copied_bit_for_bit(link, peer):
    peer.send(arb_id(2, 9), bytes.fromhex("0000c07f") + f32(float("-inf")))
    wait_until(lambda: link.getVelocityEstimate(2) == float("-inf"))
    assert link.getPositionEstimate(2) != link.getPositionEstimate(2)  # NaN
    peer.send(arb_id(2, 9), f32(0.1, 1e-42))
    wait_until(lambda: link.getPositionEstimate(2) == as_f32(0.1))
    assert link.getVelocityEstimate(2) == as_f32(1e-42)  # a subnormal survives


def test_extended_frame_is_decoded_by_its_low_eleven_bits(link, peer):
    peer.send(CAN_EFF_FLAG | 0x69, f32(7.0, 8.0))
    wait_until(lambda: link.getPositionEstimate(3) == 7.0)
    peer.send(CAN_EFF_FLAG | (0x1ABCD << 11) | arb_id(4, 21), f32(30.0, 31.0))
    wait_until(lambda: link.getFETTemperature(4) == 30.0)
    assert link.getMotorTemperature(4) == 31.0


IGNORED = [
    ("remote request", CAN_RTR_FLAG | arb_id(7, 9), f32(9.0, 9.0), 8),
    ("remote request, extended", CAN_RTR_FLAG | CAN_EFF_FLAG | arb_id(7, 20), f32(9.0, 9.0), 8),
    ("error frame", CAN_ERR_FLAG | arb_id(7, 23), f32(9.0, 9.0), 8),
    ("short heartbeat", arb_id(7, 1), struct.pack("<IB", 9, 9), 4),
    ("short estimates", arb_id(7, 9), f32(9.0, 9.0), 4),
    ("short iq", arb_id(7, 20), f32(9.0, 9.0), 7),
    ("short temperature", arb_id(7, 21), f32(9.0, 9.0), 0),
    ("short bus", arb_id(7, 23), f32(9.0, 9.0), 5),
    ("short torques", arb_id(7, 28), f32(9.0, 9.0), 3),
    ("clear errors from another master", arb_id(7, 24), bytes(8), 8),
    ("set axis state from another master", arb_id(7, 7), bytes([8, 0, 0, 0]), 4),
    ("set torque from another master", arb_id(7, 14), f32(9.0), 4),
]


@pytest.mark.parametrize("what, can_id, data, dlc", IGNORED, ids=[i[0] for i in IGNORED])
def test_frames_that_carry_no_telemetry_change_nothing(link, peer, what, can_id, data, dlc):
    # Other masters polling with remote frames, or short frames, would otherwise
    # write bytes nobody sent into the cache.
    before = snapshot(link, 7)
    peer.send(can_id, data, dlc=dlc)
    settle(link, peer)
    assert snapshot(link, 7) == before


def test_short_frame_bytes_past_the_length_are_not_read(link, peer):
    peer.send(arb_id(6, 20), f32(1.0, 2.0))
    wait_until(lambda: link.getIqMeasured(6) == 2.0)
    peer.send(arb_id(6, 20), f32(5.0, 6.0), dlc=4)  # the second float lies past the length
    settle(link, peer)
    assert (link.getIqSetpoint(6), link.getIqMeasured(6)) == (1.0, 2.0)


def test_values_stay_until_replaced(link, peer):
    peer.send(arb_id(1, 9), f32(1.0, 2.0))
    wait_until(lambda: link.getPositionEstimate(1) == 1.0)
    link.setAxisState(1, 1)
    link.clearErrors(1)
    settle(link, peer)
    assert (link.getPositionEstimate(1), link.getVelocityEstimate(1)) == (1.0, 2.0)


def test_a_backlog_is_decoded_in_order_to_its_last_frame(bus, peer):
    # The receive thread is starved (idle priority, on the sender's CPU) while
    # frames pile up in its socket, then takes them many per system call: four
    # nodes, each valid frame followed by a remote request and a short frame to
    # skip; every node must end with the last valid value sent to it. 120 frames
    # stay well inside the socket's default receive buffer.
    threads = set(os.listdir("/proc/self/task"))
    link = torvane.ODriveSocket(bus)
    (receiver,) = set(os.listdir("/proc/self/task")) - threads
    cpu = min(os.sched_getaffinity(0))
    ours = os.sched_getaffinity(0)
    try:
        os.sched_setaffinity(0, {cpu})
        os.sched_setaffinity(int(receiver), {cpu})
        os.sched_setscheduler(int(receiver), os.SCHED_IDLE, os.sched_param(0))
        sent = 40
        for k in range(1, sent + 1):
            node = k % 4
            peer.send(arb_id(node, 9), f32(float(k), -float(k)))
            peer.send(CAN_RTR_FLAG | arb_id(node, 9), f32(0.0, 0.0))
            peer.send(arb_id(node, 9), f32(0.5, 0.5), dlc=4)
    finally:
        os.sched_setaffinity(0, ours)
    settle(link, peer)
    for node in range(4):
        last = max(k for k in range(1, sent + 1) if k % 4 == node)
        assert (link.getPositionEstimate(node), link.getVelocityEstimate(node)) == (last, -last)


@pytest.mark.parametrize("getter", GETTERS)
def test_getter_refuses_node_above_63(link, getter):
    assert getattr(link, getter)(63) == 0
    with pytest.raises(ValueError, match="id <= MAX_CANID"):
        getattr(link, getter)(64)
