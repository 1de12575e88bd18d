"""The native control loop: torque law, frames per cycle by mode, start and stop."""

import struct

import pytest

import torvane
from torvane_dev.canpeer import MARKER, as_f32, f32, wait_until
from torvane_dev.protocol import arb_id

Mode = torvane.ODriveControlMode


def worked_example(ids=(0,)):
    """kp 2, kd 0.5, setpoint 1.0 against 0.5, velocity 0 against 0.2, feed-forward 0.1."""
    cmd = torvane.MotorCommand()
    cmd.kp = [2.0, 2.0]
    cmd.kd = [0.5, 0.5]
    cmd.position_setpoint = [1.0, 1.0]
    cmd.velocity_setpoint = [0.0, 0.0]
    cmd.torque_feedforward = [0.1, 0.1]
    cmd.stiffness = [20.0, 21.0]
    cmd.damping = [0.3, 0.4]
    cmd.velocity_integrator = [0.5, 0.6]
    return cmd


def expected_torque(cmd, i, pos, vel):
    """The control law evaluated step by step in single precision."""
    pos_err = as_f32(as_f32(cmd.position_setpoint[i]) - as_f32(pos))
    vel_err = as_f32(as_f32(cmd.velocity_setpoint[i]) - as_f32(vel))
    torque = as_f32(as_f32(cmd.kp[i] * pos_err) + cmd.torque_feedforward[i])
    return as_f32(as_f32(cmd.kd[i] * vel_err) + torque)


# Every test here reads the loop's frames against these estimates.
pytestmark = pytest.mark.usefixtures("estimated")


@pytest.fixture
def estimated(link, peer):
    """Encoder estimates 0.5 / 0.2 for both motors, decoded before the test runs."""
    for node in (0, 1):
        peer.send(arb_id(node, 9), f32(0.5, 0.2))
    wait_until(lambda: link.getVelocityEstimate(0) == as_f32(0.2) and link.getVelocityEstimate(1) == as_f32(0.2))
    return link


def loop_frames(peer, count):
    """The next `count` frames of the loop, skipping idle and mode frames."""
    frames = []
    while len(frames) < count:
        frame = peer.recv()
        if frame.command not in (7, 11, 24):
            frames.append(frame)
    return frames


def test_worked_example_gives_a_torque_of_one(controller, peer):
    cmd = worked_example()
    assert expected_torque(cmd, 0, 0.5, 0.2) == 1.0
    ctrl = controller([0], Mode.TORQUE, cmd)
    ctrl.initialize_control_thread()
    frame = loop_frames(peer, 1)[0]
    assert (frame.can_id, frame.dlc, frame.floats()) == (arb_id(0, 14), 4, (1.0,))


# mode -> per motor: (command id, payload builder)
PATTERNS = {
    Mode.TORQUE: lambda c, i, t: [(14, f32(t))],
    Mode.VELOCITY: lambda c, i, t: [(27, f32(c.damping[i], c.velocity_integrator[i])),
                                    (13, f32(c.velocity_setpoint[i], t))],
    Mode.POSITION: lambda c, i, t: [(26, f32(c.stiffness[i])),
                                    (27, f32(c.damping[i], c.velocity_integrator[i])),
                                    (12, f32(c.position_setpoint[i]) + struct.pack("<hh", 0, int(t * 1000)))],
}


@pytest.mark.parametrize("mode", list(PATTERNS), ids=lambda m: m.name)
@pytest.mark.parametrize("ids", [[0, 1], [1, 0], [1]])
def test_frames_per_cycle_and_their_order(controller, peer, mode, ids):
    cmd = worked_example()
    ctrl = controller(ids, mode, cmd)
    ctrl.initialize_control_thread()
    cycle = [(arb_id(i, c), payload) for i in ids for c, payload in PATTERNS[mode](cmd, i, 1.0)]
    frames = loop_frames(peer, 3 * len(cycle))
    assert [(f.can_id, f.payload) for f in frames] == cycle * 3


def test_position_mode_carries_the_torque_as_scaled_feed_forward(controller, peer):
    ctrl = controller([0], Mode.POSITION, worked_example())
    ctrl.initialize_control_thread()
    position = [f for f in loop_frames(peer, 3) if f.command == 12][0]
    assert struct.unpack("<fhh", position.payload) == (1.0, 0, 1000)


def test_zero_command_sends_zero_torque(controller, peer):
    ctrl = controller([0, 1], Mode.TORQUE, torvane.MotorCommand())
    ctrl.initialize_control_thread()
    assert {f.floats() for f in loop_frames(peer, 6)} == {(0.0,)}


@pytest.mark.parametrize("mode", [Mode.VOLTAGE, None], ids=["voltage", "never-set"])
def test_voltage_mode_and_the_initial_mode_send_nothing(controller, estimated, peer, mode):
    ctrl = controller([0, 1], mode, worked_example())
    ctrl.initialize_control_thread()
    peer.assert_silent(0.3)
    estimated.clearErrors(63)
    assert peer.recv().can_id == MARKER
    ctrl.set_control_mode(Mode.TORQUE)  # the running loop picks the mode up
    assert loop_frames(peer, 1)[0].command == 14


def test_mode_switch_while_running(controller, peer):
    cmd = worked_example()
    ctrl = controller([0, 1], Mode.TORQUE, cmd)
    ctrl.initialize_control_thread()
    assert [f.command for f in loop_frames(peer, 2)] == [14, 14]
    ctrl.set_control_mode(Mode.VELOCITY)
    wait_until(lambda: loop_frames(peer, 1)[0].can_id == arb_id(1, 13))  # end of a velocity cycle
    cycle = [(arb_id(i, c), payload) for i in (0, 1) for c, payload in PATTERNS[Mode.VELOCITY](cmd, i, 1.0)]
    assert [(f.can_id, f.payload) for f in loop_frames(peer, 8)] == cycle * 2


def test_update_command_copies_and_takes_effect_next_cycle(controller, peer):
    cmd = worked_example()
    ctrl = controller([0, 1], Mode.TORQUE, cmd)
    ctrl.initialize_control_thread()
    assert {f.floats() for f in loop_frames(peer, 4)} == {(1.0,)}
    cmd.kp = [4.0, 4.0]  # not sent to the controller yet
    assert {f.floats() for f in loop_frames(peer, 6)} == {(1.0,)}
    ctrl.update_command(cmd)
    wanted = expected_torque(cmd, 0, 0.5, 0.2)
    wait_until(lambda: loop_frames(peer, 1)[0].floats() == (wanted,))


def test_update_command_copies_only_the_controllers_motors(controller, peer):
    ctrl = controller([1], Mode.TORQUE, torvane.MotorCommand())
    cmd = worked_example()
    cmd.torque_feedforward = [5.0, 0.1]
    ctrl.update_command(cmd)
    ctrl.initialize_control_thread()
    frame = loop_frames(peer, 1)[0]
    assert (frame.can_id, frame.floats()) == (arb_id(1, 14), (1.0,))
    assert cmd.torque_feedforward == [5.0, as_f32(0.1)]  # the argument is left as it was


def drain_until_marker(link, peer):
    link.clearErrors(63)
    frames = []
    while (frame := peer.recv()).can_id != MARKER:
        frames.append(frame)
    return frames


def test_stop_restart_and_misuse(controller, estimated, peer):
    ctrl = controller([0], Mode.TORQUE, worked_example())
    with pytest.raises(RuntimeError):
        ctrl.stop_control_thread()  # nothing to join
    ctrl.initialize_control_thread()
    loop_frames(peer, 2)
    with pytest.raises(RuntimeError, match="already running"):
        ctrl.initialize_control_thread()
    loop_frames(peer, 2)  # the running loop was left alone
    ctrl.stop_control_thread()
    drain_until_marker(estimated, peer)
    peer.assert_silent(0.2)  # no frame from the loop once stop has returned
    with pytest.raises(RuntimeError):
        ctrl.stop_control_thread()
    ctrl.initialize_control_thread()  # a restart runs the loop again
    assert loop_frames(peer, 2)[1].floats() == (1.0,)
    ctrl.stop_control_thread()


def test_destroying_a_running_controller_stops_the_loop_before_idling(controller, estimated, peer):
    ctrl = torvane.MotorController(estimated, [0, 1])
    ctrl.update_command(worked_example())
    ctrl.set_control_mode(Mode.POSITION)
    ctrl.initialize_control_thread()
    loop_frames(peer, 6)
    del ctrl
    frames = drain_until_marker(estimated, peer)
    idle = [(arb_id(i, 7), bytes([1, 0, 0, 0])) for i in (0, 1)]
    assert [(f.can_id, f.payload) for f in frames[-2:]] == idle
    assert all(f.command != 7 for f in frames[:-2])  # nothing from the loop after the idle frames


def test_estimates_are_read_every_cycle(controller, estimated, peer):
    ctrl = controller([0], Mode.TORQUE, worked_example())
    ctrl.initialize_control_thread()
    assert loop_frames(peer, 1)[0].floats() == (1.0,)
    peer.send(arb_id(0, 9), f32(1.0, 0.0))  # on the setpoint, at rest: only the feed-forward remains
    wait_until(lambda: loop_frames(peer, 1)[0].floats() == (as_f32(0.1),))
