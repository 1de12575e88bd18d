"""MotorController fan-outs, commands, states and destruction, observed on the bus."""

import struct

import pytest

import torvane
from torvane_dev.canpeer import MARKER, f32, wait_until
from torvane_dev.protocol import arb_id

Axis = torvane.ODriveAxisState
Mode = torvane.ODriveControlMode
Input = torvane.ODriveInputMode


def send_marker(link, peer):
    link.clearErrors(63)
    assert peer.recv().can_id == MARKER


@pytest.mark.parametrize("ids", [[0, 1], [1, 0], [1, 0, 1], [0], []])
def test_fan_outs_visit_motors_in_list_order(link, peer, ids):
    ctrl = torvane.MotorController(link, ids)
    ctrl.set_axis_state(Axis.CLOSED_LOOP_CONTROL)
    ctrl.set_control_mode(Mode.POSITION)
    ctrl.set_control_mode(control_mode=Mode.TORQUE, input_mode=Input.TORQUE_RAMP)
    link.clearErrors(63)
    frames = []
    while (frame := peer.recv()).can_id != MARKER:
        frames.append(frame)
    expected = (
        [(arb_id(i, 7), bytes([8, 0, 0, 0])) for i in ids]
        + [(arb_id(i, 11), struct.pack("<II", 3, 1)) for i in ids]
        + [(arb_id(i, 11), struct.pack("<II", 1, 6)) for i in ids]
    )
    assert [(f.can_id, f.payload) for f in frames] == expected


def heartbeat(peer, node, state):
    peer.send(arb_id(node, 1), struct.pack("<IB", 0, state))


def test_axis_state_names_in_list_order(link, peer):
    ctrl = torvane.MotorController(link, [1, 0])
    assert ctrl.get_axis_state() == ["UNDEFINED", "UNDEFINED"]
    heartbeat(peer, 1, 8)
    heartbeat(peer, 0, 3)
    wait_until(lambda: ctrl.get_axis_state() == ["CLOSED_LOOP_CONTROL", "UNKNOWN"])
    heartbeat(peer, 0, 1)
    heartbeat(peer, 1, 255)
    wait_until(lambda: ctrl.get_axis_state() == ["UNKNOWN", "IDLE"])
    assert torvane.MotorController(link, []).get_axis_state() == []


def inject_telemetry(peer, node, base):
    peer.send(arb_id(node, 9), f32(base + 1, base + 2))
    peer.send(arb_id(node, 28), f32(base + 3, 99.0))
    peer.send(arb_id(node, 20), f32(base + 4, base + 5))


@pytest.mark.parametrize("ids, filled", [([0, 1], {0, 1}), ([1], {1}), ([0], {0}), ([], set())])
def test_motor_states_come_from_the_cache_for_its_motors_only(link, peer, ids, filled):
    inject_telemetry(peer, 0, 10.0)
    inject_telemetry(peer, 1, 20.0)
    wait_until(lambda: link.getIqMeasured(0) == 15.0 and link.getIqMeasured(1) == 25.0)
    ctrl = torvane.MotorController(link, ids)
    state = ctrl.get_motor_states()
    for i, base in ((0, 10.0), (1, 20.0)):
        values = [state.position[i], state.velocity[i], state.torque_estimate[i],
                  state.current_setpoint[i], state.current_measured[i]]
        assert values == ([base + k for k in (1, 2, 3, 4, 5)] if i in filled else [0.0] * 5)
    other = ctrl.get_motor_states()
    other.position = [-1.0, -1.0]
    assert state.position != other.position and ctrl.get_motor_states().position != other.position


@pytest.mark.parametrize("ids", [[0, 1], [1, 0], [1, 1], []])
def test_destruction_idles_each_motor_in_list_order(link, peer, ids):
    ctrl = torvane.MotorController(link, ids)
    del ctrl
    link.clearErrors(63)
    frames = []
    while (frame := peer.recv()).can_id != MARKER:
        frames.append(frame)
    assert [(f.can_id, f.payload) for f in frames] == [(arb_id(i, 7), bytes([1, 0, 0, 0])) for i in ids]


def test_controller_keeps_its_link_alive(bus, peer):
    link = torvane.ODriveSocket(bus)
    ctrl = torvane.MotorController(link, [0])
    del link
    peer.send(arb_id(0, 9), f32(4.0, 5.0))
    wait_until(lambda: ctrl.get_motor_states().position[0] == 4.0)
    ctrl.set_axis_state(Axis.CLOSED_LOOP_CONTROL)
    assert peer.recv().can_id == arb_id(0, 7)
