"""The simulated ODrive (the torvane-sim command) on the bus: its own protocol handling, and
torvane's link and controller driving it in closed loop."""

import contextlib
import math
import os
import re
import signal
import struct
import subprocess
import sys
import time
from collections import Counter

import pytest

import torvane
from torvane_dev import program
from torvane_dev.buses import SECOND_INTERFACE
from torvane_dev.canpeer import CanPeer, as_f32, f32, wait_until
from torvane_dev.faultcheck import set_link
from torvane_dev.protocol import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG, arb_id
from torvane_dev.simfixture import HANG_GUARD, SIM, SimulatedODrive

Axis = torvane.ODriveAxisState
Mode = torvane.ODriveControlMode
SETTLE = 90.0  # seconds to reach a setpoint: a hang guard, the slow VM needs a few
FRICTION = 0.05  # Nm per turn/s
KT = 0.08  # Nm/A
MODEL = ["--friction", str(FRICTION), "--torque-constant", str(KT)]
HOLD = dict(kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=[0.25, -0.25])
CLOSED = ["CLOSED_LOOP_CONTROL", "CLOSED_LOOP_CONTROL"]
CHILD = program("sim_robot_child.py")
WATCHDOG = 0x1000000  # WATCHDOG_TIMER_EXPIRED, as an ODrive reports it in the heartbeat

# link getter -> field of the simulator's `telemetry` line
GETTERS = {
    "getAxisError": "axis_error", "getAxisState": "axis_state",
    "getPositionEstimate": "position_estimate", "getVelocityEstimate": "velocity_estimate",
    "getTorqueEstimate": "torque_estimate", "getIqSetpoint": "iq_setpoint", "getIqMeasured": "iq_measured",
    "getFETTemperature": "fet_temperature", "getMotorTemperature": "motor_temperature",
    "getBusVoltage": "bus_voltage", "getBusCurrent": "bus_current",
}
# MotorState field -> field of the `telemetry` line
STATE_FIELDS = {"position": "position_estimate", "velocity": "velocity_estimate",
                "torque_estimate": "torque_estimate", "current_setpoint": "iq_setpoint",
                "current_measured": "iq_measured"}


@pytest.fixture
def sim(start_sim):
    return start_sim(*MODEL)


def states(sim):
    return [axis["state"] for _, axis in sorted(sim.status().items())]


# ---- the simulator's own handling of the protocol ----

MARKER = (24, bytes(4))  # CLEAR_ERRORS: counted, changes nothing on a healthy axis
PROTOCOL_OPTIONS = ["--vel-limit", "4.0", "--current-limit", "6.0"]


def near(value):
    return pytest.approx(value, rel=1e-6) if isinstance(value, float) else value


def cmd(command, data, dlc=None, flags=0):
    return (command, data, dlc, flags)


# frames to one axis (command id, data, length, identifier flags), the status fields that
# change, and how many of the frames the axis counts as addressed to it
PROTOCOL = [
    pytest.param([cmd(12, struct.pack("<fhh", 1.25, 500, -250))],
                 {"input_position": 1.25, "input_velocity": 0.5, "input_torque": -0.25}, 1,
                 id="position-with-feed-forwards"),
    pytest.param([cmd(12, struct.pack("<fhh", -2.0, -1, 32767))],
                 {"input_position": -2.0, "input_velocity": -0.001, "input_torque": 32.767}, 1,
                 id="position-feed-forward-steps"),
    pytest.param([cmd(13, f32(1.5, 0.25))], {"input_velocity": 1.5, "input_torque": 0.25}, 1, id="velocity"),
    pytest.param([cmd(14, f32(0.3))], {"input_torque": as_f32(0.3)}, 1, id="torque"),
    pytest.param([cmd(15, f32(3.0, 7.5))], {"vel_limit": 3.0, "current_limit": 7.5}, 1, id="limits"),
    pytest.param([cmd(26, f32(12.5))], {"pos_gain": 12.5}, 1, id="position-gain"),
    pytest.param([cmd(27, f32(0.25, 0.75))], {"vel_gain": 0.25, "vel_integrator_gain": 0.75}, 1,
                 id="velocity-gains"),
    pytest.param([cmd(11, struct.pack("<II", 2, 6))], {"control_mode": "VELOCITY", "input_mode": 6}, 1,
                 id="control-mode"),
    pytest.param([cmd(11, struct.pack("<II", 1, 1)), cmd(11, struct.pack("<II", 4, 2))],
                 {"control_mode": "TORQUE", "ignored": 1}, 2, id="unknown-control-mode-refused"),
    pytest.param([cmd(7, bytes([8, 0, 0, 0]))], {"state": "CLOSED_LOOP_CONTROL"}, 1, id="closed-loop"),
    pytest.param([cmd(7, bytes([8, 0, 0, 0])), cmd(7, bytes([1, 0, 0, 0]))], {}, 2, id="closed-loop-then-idle"),
    *[pytest.param([cmd(7, bytes([8, 0, 0, 0])), cmd(7, bytes([state, 0, 0, 0]))],
                   {"state": "CLOSED_LOOP_CONTROL", "ignored": 1}, 2, id=f"state-{state}-refused-in-closed-loop")
      for state in (0, 2, 3, 4, 255)],
    pytest.param([cmd(7, bytes([3, 0, 0, 0]))], {"ignored": 1}, 1, id="state-3-refused-in-idle"),
    pytest.param([cmd(14, f32(0.3), dlc=3), cmd(13, f32(1.5, 0.25), dlc=4), cmd(15, f32(1.0, 1.0), dlc=7)],
                 {"ignored": 3}, 3, id="short-frames-ignored"),
    pytest.param([cmd(13, f32(math.nan, 0.5)), cmd(14, f32(math.inf)), cmd(15, f32(-1.0, 5.0)),
                  cmd(12, struct.pack("<fhh", math.nan, 100, 100))],
                 {"ignored": 4}, 4, id="non-finite-and-negative-ignored"),
    pytest.param([cmd(14, f32(0.3), flags=CAN_EFF_FLAG), cmd(14, f32(0.3), flags=CAN_RTR_FLAG)], {}, 0,
                 id="extended-and-remote-frames-not-for-it"),
    pytest.param([cmd(1, struct.pack("<IB3x", 5, 8)), cmd(9, f32(3.0, 1.0))], {}, 0,
                 id="telemetry-from-another-device-not-for-it"),
    pytest.param([cmd(3, bytes(8))], {"ignored": 1}, 1, id="unknown-command-counted-not-acted-on"),
]


@pytest.fixture(scope="module")
def fleet(bus):
    """One simulator with an axis for each protocol case: each case takes a fresh axis
    and every other axis must stay as it was. It lives on the second bus, out of the
    way of the simulators that the other tests start and stop on the first."""
    sim = SimulatedODrive(SECOND_INTERFACE, *PROTOCOL_OPTIONS, nodes=range(len(PROTOCOL) + 1))
    peer = CanPeer(SECOND_INTERFACE)
    yield sim, peer, iter(sim.nodes[1:])
    peer.close()
    assert sim.stop() == 0, sim.stderr
    assert sorted(sim.summaries()) == sim.nodes


@pytest.mark.parametrize("frames, changes, counted", PROTOCOL)
def test_commands_change_the_addressed_axis_only(fleet, frames, changes, counted):
    sim, peer, free = fleet
    node = next(free)
    before = sim.status()
    for command, data, dlc, flags in frames + [cmd(*MARKER)]:
        peer.send(flags | arb_id(node, command), data, dlc)
    wait_until(lambda: sim.status()[node]["commands"] == counted + 1)  # the marker was handled
    after = sim.status()
    assert {n: axis for n, axis in after.items() if n != node} == {n: axis for n, axis in before.items() if n != node}
    expected = {**before[node], **changes, "commands": counted + 1}
    assert after[node] == {key: near(value) for key, value in expected.items()}


# node 1, limits (velocity, current), control mode, frames, what the axis reaches
CASCADE = [
    pytest.param((10.0, 2.0), 1, [cmd(14, f32(5.0))],
                 lambda s: s["iq_setpoint"] == pytest.approx(2.0) and s["velocity"] > 1.0, id="torque-clamped"),
    pytest.param((10.0, 2.0), 1, [cmd(14, f32(-5.0))],
                 lambda s: s["iq_setpoint"] == pytest.approx(-2.0) and s["velocity"] < -1.0,
                 id="negative-torque-clamped"),
    pytest.param((3.0, 10.0), 2, [cmd(27, f32(0.5, 1.0)), cmd(13, f32(50.0, 0.0))],
                 lambda s: abs(s["velocity"] - 3.0) < 0.01, id="velocity-clamped"),
    pytest.param((10.0, 10.0), 2, [cmd(27, f32(0.5, 1.0)), cmd(13, f32(-1.5, 0.0))],
                 lambda s: (abs(s["velocity"] + 1.5) < 0.01
                            and s["torque"] == pytest.approx(-1.5 * FRICTION, abs=2e-3)),
                 id="velocity-against-friction"),
    pytest.param((10.0, 10.0), 3,
                 [cmd(26, f32(20.0)), cmd(27, f32(1.25, 2.5)), cmd(12, struct.pack("<fhh", 0.5, 0, 0))],
                 lambda s: abs(s["position"] - 0.5) < 0.005 and abs(s["velocity"]) < 0.01, id="position-step"),
    pytest.param((1.0, 10.0), 3,
                 [cmd(26, f32(20.0)), cmd(27, f32(1.25, 2.5)), cmd(12, struct.pack("<fhh", 5.0, 0, 0))],
                 lambda s: abs(s["velocity"] - 1.0) < 0.01 and 0.5 < s["position"] < 4.0,
                 id="position-move-at-velocity-limit"),
]


@pytest.mark.parametrize("limits, mode, frames, reached", CASCADE)
def test_closed_loop_cascade_then_coasting_in_idle(start_sim, peer, limits, mode, frames, reached):
    sim = start_sim(*MODEL)
    setup = [cmd(15, f32(*limits)), cmd(11, struct.pack("<II", mode, 1)), cmd(7, bytes([8, 0, 0, 0]))]
    for command, data, _, _ in setup + frames:
        peer.send(arb_id(1, command), data)
    wait_until(lambda: reached(sim.status()[1]), timeout=SETTLE, interval=0.05)
    assert sim.status()[0]["position"] == 0.0  # the other axis never moved
    sim.ok("idle 1")
    coasting = sim.status()[1]
    assert (coasting["state"], coasting["iq_measured"], coasting["torque"]) == ("IDLE", 0.0, 0.0)
    wait_until(lambda: abs(sim.status()[1]["velocity"]) < 1e-3, timeout=SETTLE, interval=0.05)


def test_iq_and_torque_messages_carry_setpoint_and_measurement_apart(start_sim, peer):
    """With a sluggish current loop the measured current visibly trails its setpoint, so
    each message must show the two in their own places: setpoint first in GET_IQ, the
    estimate first and the target second in GET_TORQUES."""
    sim = start_sim(*MODEL, "--current-lag-ms", "2000", "--current-limit", "20")
    for command, data in [(11, struct.pack("<II", 1, 1)), (7, bytes([8, 0, 0, 0])), (14, f32(0.4))]:
        peer.send(arb_id(0, command), data)
    seen = set()
    deadline = time.monotonic() + HANG_GUARD
    while seen != {20, 28}:
        assert time.monotonic() < deadline, f"only {seen} showed the current trailing"
        frame = peer.recv()
        if frame.node != 0 or frame.command not in (20, 28):
            continue
        if frame.command == 20:
            (setpoint, measured), wanted = frame.floats(), 0.4 / KT
        else:
            (measured, setpoint), wanted = frame.floats(), 0.4
        if setpoint == pytest.approx(wanted, rel=1e-6) and 0.0 < measured < 0.9 * wanted:
            seen.add(frame.command)
    assert sim.status()[0]["iq_setpoint"] == pytest.approx(0.4 / KT)


# nodes, options, the nodes that talk, encoder frames per heartbeat
BROADCASTS = [
    pytest.param((0, 1), [], (0, 1), 10, id="defaults"),
    pytest.param((3,), ["--encoder-period-ms", "20", "--status-period-ms", "40"], (3,), 2, id="periods"),
    pytest.param((0, 1), ["--silent", "1"], (0,), 10, id="silent-from-start"),
]
TELEMETRY_IDS = {1, 9, 20, 21, 23, 28}


@pytest.mark.parametrize("nodes, options, talking, ratio", BROADCASTS)
def test_each_axis_broadcasts_its_telemetry_unasked(start_sim, peer, nodes, options, talking, ratio):
    start_sim(*options, nodes=nodes)
    counts = Counter()
    while min(counts[(node, 1)] for node in talking) < 12:
        frame = peer.recv()
        assert frame.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG) == 0 and frame.dlc == 8
        if frame.command == 1:
            assert struct.unpack("<IB3s", frame.data) == (0, 1, bytes(3))  # no error, IDLE
        counts[(frame.node, frame.command)] += 1
    assert set(counts) == {(node, command) for node in talking for command in TELEMETRY_IDS}
    for node in talking:
        heartbeats = counts[(node, 1)]
        assert all(abs(counts[(node, command)] - heartbeats) <= 1 for command in (20, 21, 23, 28))
        assert 0.5 * ratio <= counts[(node, 9)] / heartbeats <= 1.5 * ratio


def test_each_message_has_its_own_rate_per_node(start_sim, peer):
    start_sim("--msg-rate-ms", "iq=0", "--msg-rate-ms", "1:heartbeat=50", "--msg-rate-ms", "0:encoder=0")
    counts = Counter()
    while counts[(1, 1)] < 20:
        frame = peer.recv()
        counts[(frame.node, frame.command)] += 1
    assert {command for node, command in counts if node == 0} == {1, 21, 23, 28}
    assert {command for node, command in counts if node == 1} == {1, 9, 21, 23, 28}
    assert 1.5 <= counts[(1, 1)] / counts[(1, 21)] <= 2.5  # heartbeat every 50 ms, temperature every 100 ms


def test_a_reboot_goes_quiet_then_comes_back_idle_as_configured(start_sim, peer):
    sim = start_sim(*MODEL, "--reboot-ms", "600")
    peer.send(arb_id(1, 26), f32(5.0))
    peer.send(arb_id(1, 7), bytes([8, 0, 0, 0]))
    wait_until(lambda: (sim.status()[1]["state"], sim.status()[1]["pos_gain"]) == ("CLOSED_LOOP_CONTROL", 5.0))
    sim.ok("rate 1 iq 0")
    sim.ok("error 1 0x40")
    sim.ok("reboot 1")
    booting = sim.status()[1]
    assert (booting["state"], booting["error"], booting["pos_gain"], booting["telemetry"]) == ("IDLE", 0, 20.0,
                                                                                               "booting")
    ignored = booting["ignored"]
    peer.send(arb_id(1, 7), bytes([8, 0, 0, 0]))  # a rebooting axis does not listen
    wait_until(lambda: sim.status()[1]["ignored"] == ignored + 1)
    peer.drain()
    seen = set()
    while seen != {1, 20}:  # a heartbeat, and Iq at its configured rate again
        frame = peer.recv(timeout=HANG_GUARD)
        if frame.node == 1 and frame.command in (1, 20):
            seen.add(frame.command)
            if frame.command == 1:
                assert struct.unpack("<IB", frame.data[:5]) == (0, 1)  # no error, IDLE
    assert sim.status()[1]["telemetry"] == "on"


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGINT, "quit"], ids=["SIGTERM", "SIGINT", "quit"])
def test_on_stop_it_reports_each_axis_and_exits_0(start_sim, peer, how):
    sim = start_sim()
    for _ in range(25):
        peer.send(arb_id(0, 14), f32(0.0))
    peer.send(arb_id(5, 14), f32(0.0))  # no such axis
    peer.send(arb_id(1, 7), bytes([8, 0, 0, 0]))
    wait_until(lambda: [axis["commands"] for _, axis in sorted(sim.status().items())] == [25, 1])
    sim.ok("error 0 0x20")
    assert sim.stop(how) == 0
    assert sim.summaries() == {0: ("IDLE", 0x20, 0.0, 25), 1: ("CLOSED_LOOP_CONTROL", 0, 0.0, 1)}


def test_run_time_commands_refuse_what_they_do_not_know(sim):
    for line in ["bogus", "error 7 1", "error 0 zz", "error 0 0x100000000", "watchdog 0 -5", "watchdog 0 nan",
                 "silence", "status 0", "idle 0 1", "resume 0x", "rate 0 speed 5", "rate 0 iq -1", "rate 0 iq inf",
                 "reboot 9", "reboot"]:
        reply = sim.command(line)[0]
        assert reply.startswith("invalid: "), (line, reply)
    states = [(axis["state"], axis["error"], axis["telemetry"]) for axis in sim.status().values()]
    assert states == [("IDLE", 0, "on")] * 2


@pytest.mark.parametrize("options, status, message", [
    (["--interface", "nosuchcan0"], 1, "cannot open CAN interface nosuchcan0: no such interface here"),
    (["--interface", "lo"], 1, "lo is not a CAN interface"),
    (["--nodes", "64"], 2, "outside 0 to 63"),
    (["--silent", "5"], 2, "node 5 is not among --nodes"),
    (["--physics-hz", "500"], 2, "at least 1000"),
    (["--msg-rate-ms", "speed=5"], 2, "no telemetry message 'speed'"),
    (["--msg-rate-ms", "7:iq=0"], 2, "node 7 is not among --nodes"),
    (["--msg-rate-ms", "iq=-1"], 2, "-1 is not 0 or a positive number"),
    (["--reboot-at", "7", "1"], 2, "node 7 is not among --nodes"),
    (["--error-at", "0", "0x100000000", "1"], 2, "error code 0x100000000 does not fit 32 bits"),
    (["--silent-at", "0", "soon"], 2, "'soon' is not a number"),
], ids=["no-interface", "not-can", "node-range", "unknown-node", "coarse-physics", "unknown-message",
        "rate-of-unknown-node", "negative-rate", "reboot-of-unknown-node", "error-code-range", "time-not-a-number"])
def test_refuses_to_start_with_a_clear_message(bus, options, status, message):
    run = subprocess.run([SIM, "--interface", bus, *options], capture_output=True, text=True,
                         timeout=HANG_GUARD, stdin=subprocess.DEVNULL)
    assert (run.returncode, run.stdout) == (status, "")
    assert message in run.stderr


# ---- its interface ----

@contextlib.contextmanager
def set_down(name):
    set_link(name, "down")
    try:
        yield
    finally:
        set_link(name, "up")


def telemetry_flows(name):
    """Waits for the simulator's heartbeats on the interface."""
    listener = CanPeer(name, only_command=1)
    try:
        listener.recv_n(2, timeout=HANG_GUARD)
    finally:
        listener.close()


def test_on_a_down_interface_it_waits_and_says_so(start_sim):
    name = SECOND_INTERFACE
    with set_down(name):
        sim = start_sim(interface=name, ready=False)
        wait_until(lambda: sim.stderr, timeout=HANG_GUARD)
        assert sim.stderr == f"torvane-sim: {name} is down: waiting for it to come up (sudo ip link set {name} up)"
        assert sim.proc.poll() is None
    assert sim.readline() == "ready"
    assert sim.stderr.splitlines()[1] == f"torvane-sim: {name} is up: starting"
    telemetry_flows(name)


@pytest.mark.parametrize("how", ["down", "unplugged"])
def test_an_interface_lost_during_a_run_is_said_and_survived(start_sim, request, how):
    """Set down and up again, or removed and created again as an unplugged adapter is."""
    if how == "unplugged":
        name, unplugged = request.getfixturevalue("unpluggable_bus")
    else:
        name, unplugged = SECOND_INTERFACE, lambda: set_down(SECOND_INTERFACE)
    sim = start_sim(interface=name)
    telemetry_flows(name)
    with unplugged():
        lost = "went down" if how == "down" else "disappeared"
        wait_until(lambda: lost in sim.stderr, timeout=HANG_GUARD)
        assert sim.proc.poll() is None
    wait_until(lambda: "is up again" in sim.stderr, timeout=HANG_GUARD)
    said = "torvane-sim: {} {}: the axes run on, but nothing reaches the bus until it is back\n"
    expected = re.escape(said.format(name, "went down"))
    if how == "unplugged":  # it goes down on its way out, which the simulator may see first
        expected = f"(?:{expected})?" + re.escape(said.format(name, "disappeared"))
    assert re.fullmatch(expected + rf"torvane-sim: {name} is up again after \d+\.\d s: broadcasting",
                        sim.stderr), sim.stderr
    telemetry_flows(name)
    sim.ok("idle all")  # and it still takes commands


def test_standard_input_is_left_as_it_was_found(bus):
    """Its flags belong to the open file it shares with the shell (or a terminal)."""
    read_end, write_end = os.pipe()
    try:
        with subprocess.Popen([SIM, "--interface", bus], stdin=read_end, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as sim:
            try:
                assert sim.stdout.readline() == "ready\n"
                os.write(write_end, b"status\n")
                assert sim.stdout.readline().startswith("axis 0: state IDLE")
                assert os.get_blocking(read_end)
                sim.send_signal(signal.SIGTERM)
                assert sim.wait(timeout=HANG_GUARD) == 0
            finally:
                if sim.poll() is None:
                    sim.kill()
                    sim.wait()
        assert os.get_blocking(read_end)
    finally:
        os.close(read_end)
        os.close(write_end)


# ---- torvane driving the simulator ----

# mode, command fields, what settles ("position" or "velocity") and where, for motors 0 and 1
SETTLING = [
    pytest.param(Mode.TORQUE, dict(kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=[0.5, -0.3]),
                 "position", [0.5, -0.3], id="torque-impedance"),
    pytest.param(Mode.VELOCITY, dict(damping=[0.5, 0.5], velocity_integrator=[1.0, 1.0], velocity_setpoint=[2.0, -1.0]),
                 "velocity", [2.0, -1.0], id="velocity"),
    pytest.param(Mode.POSITION, dict(stiffness=[20.0, 20.0], damping=[1.25, 1.25], velocity_integrator=[2.5, 2.5],
                                     position_setpoint=[1.0, -0.75]),
                 "position", [1.0, -0.75], id="position"),
]
TOLERANCE = 0.02  # turns or turns/s


@pytest.mark.parametrize("mode, fields, quantity, targets", SETTLING)
def test_the_control_loop_settles_on_the_setpoint(sim, controller, mode, fields, quantity, targets):
    ctrl = controller([0, 1], mode, fields, closed_loop=True, start=True)

    def settled():
        state = ctrl.get_motor_states()
        return (all(abs(got - want) < TOLERANCE for got, want in zip(getattr(state, quantity), targets, strict=True))
                and (quantity == "velocity" or all(abs(v) < TOLERANCE for v in state.velocity)))

    wait_until(settled, timeout=SETTLE, interval=0.02)
    status = sim.status()
    assert [status[node][quantity] for node in (0, 1)] == pytest.approx(targets, abs=TOLERANCE)
    assert ctrl.get_axis_state() == CLOSED
    # Settled, an axis holds the torque its rotor needs: friction at speed, nothing at rest.
    needed = [FRICTION * target if quantity == "velocity" else 0.0 for target in targets]

    def holding():
        state = ctrl.get_motor_states()
        return (state.torque_estimate == pytest.approx(needed, abs=0.01)
                and state.current_measured == pytest.approx([t / KT for t in needed], abs=0.15))

    wait_until(holding, timeout=SETTLE, interval=0.02)


def test_the_link_reads_what_the_axes_broadcast_and_keeps_it_when_they_fall_silent(sim, controller, link, peer):
    ctrl = controller([0, 1], Mode.TORQUE, HOLD, closed_loop=True, start=True)
    wait_until(lambda: ctrl.get_axis_state() == CLOSED, timeout=SETTLE)
    assert states(sim) == CLOSED
    sim.ok("silence all")
    sent = sim.telemetry()

    def link_holds_what_was_sent():
        state = ctrl.get_motor_states()
        return all(
            [getattr(link, getter)(node) for getter in GETTERS] == [sent[node][f] for f in GETTERS.values()]
            and [getattr(state, name)[node] for name in STATE_FIELDS] == [sent[node][f] for f in STATE_FIELDS.values()]
            for node in (0, 1))

    wait_until(link_holds_what_was_sent)
    for node in (0, 1):
        values = sent[node]
        assert (values["axis_error"], values["axis_state"]) == (0, 8)
        assert 25.0 <= values["fet_temperature"] < 100.0 and 25.0 <= values["motor_temperature"] < 100.0
        assert 20.0 < values["bus_voltage"] <= 24.0 and values["bus_current"] > 0.0

    # The axes change state; the silent bus leaves the link with what it last heard.
    ctrl.stop_control_thread()
    ctrl.set_axis_state(Axis.IDLE)
    wait_until(lambda: states(sim) == ["IDLE", "IDLE"])
    peer.drain()
    peer.assert_silent(0.5)  # longer than the status period: heartbeats would have come
    assert link_holds_what_was_sent()
    assert ctrl.get_axis_state() == CLOSED
    sim.ok("resume all")
    wait_until(lambda: ctrl.get_axis_state() == ["IDLE", "IDLE"])


@pytest.mark.parametrize("how", ["destroyed", signal.SIGINT, signal.SIGTERM], ids=["destroyed", "SIGINT", "SIGTERM"])
def test_axes_go_idle_when_their_controller_goes(sim, bus, how):
    with subprocess.Popen([sys.executable, CHILD, bus], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as child:
        try:
            assert child.stdout.readline() == "ready\n"
            wait_until(lambda: states(sim) == CLOSED, timeout=SETTLE)
            fed = sim.status()[0]["commands"]
            wait_until(lambda: sim.status()[0]["commands"] > fed + 50)  # the loop is driving the axes
            if how == "destroyed":
                child.stdin.write("drop\n")
                child.stdin.flush()
                assert child.stdout.readline() == "dropped\n"
                wait_until(lambda: states(sim) == ["IDLE", "IDLE"], timeout=SETTLE)
                child.stdin.close()
                assert child.wait(timeout=HANG_GUARD) == 0
            else:
                child.send_signal(how)
                out, err = child.communicate(timeout=HANG_GUARD)
                assert child.returncode == how, err
                assert out == "Running ESTOP\n"
                wait_until(lambda: states(sim) == ["IDLE", "IDLE"], timeout=SETTLE)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
    assert [axis["error"] for axis in sim.status().values()] == [0, 0]


@pytest.mark.parametrize("options, command", [
    (["--error", "1=0x40"], None),
    ([], "error 1 0x40"),
], ids=["at-start", "at-run-time"])
def test_an_axis_error_idles_the_axis_until_cleared(start_sim, controller, link, options, command):
    sim = start_sim(*MODEL, *options)
    if command:
        ctrl = controller([0, 1], Mode.TORQUE, HOLD, closed_loop=True, start=True)
        wait_until(lambda: ctrl.get_axis_state() == CLOSED, timeout=SETTLE)
        sim.ok(command)
    else:
        ctrl = controller([0, 1], Mode.TORQUE, HOLD, closed_loop=True, start=True)
    faulted = ["CLOSED_LOOP_CONTROL", "IDLE"]
    wait_until(lambda: ctrl.get_axis_state() == faulted and [link.getAxisError(n) for n in (0, 1)] == [0, 0x40],
               timeout=SETTLE)
    # Closed loop is refused while the error stands ...
    refused = sim.status()[1]["ignored"]
    ctrl.set_axis_state(Axis.CLOSED_LOOP_CONTROL)
    wait_until(lambda: sim.status()[1]["ignored"] == refused + 1)
    assert [(axis["state"], axis["error"]) for _, axis in sorted(sim.status().items())] == [
        ("CLOSED_LOOP_CONTROL", 0), ("IDLE", 0x40)]
    # ... and taken once it is cleared.
    link.clearErrors(1)
    wait_until(lambda: sim.status()[1]["error"] == 0)
    ctrl.set_axis_state(Axis.CLOSED_LOOP_CONTROL)
    wait_until(lambda: ctrl.get_axis_state() == CLOSED and link.getAxisError(1) == 0, timeout=SETTLE)


@pytest.mark.parametrize("options, command", [
    (["--watchdog-ms", "500"], None),
    ([], "watchdog all 500"),
], ids=["option", "run-time"])
def test_the_watchdog_idles_axes_whose_commands_stop(start_sim, controller, link, bus, options, command):
    sim = start_sim(*MODEL, *options)
    if command:
        sim.ok(command)
    heartbeats = CanPeer(bus, only_command=1)
    try:
        ctrl = controller([0, 1], Mode.TORQUE, HOLD, closed_loop=True, start=True)
        wait_until(lambda: ctrl.get_axis_state() == CLOSED, timeout=SETTLE)
        heartbeats.drain()
        heartbeats.recv_n(2 * 8)  # some 0.8 s of the simulator's life with the loop feeding it
    finally:
        heartbeats.close()
    assert [(axis["state"], axis["error"]) for axis in sim.status().values()] == [("CLOSED_LOOP_CONTROL", 0)] * 2
    ctrl.stop_control_thread()
    wait_until(lambda: ctrl.get_axis_state() == ["IDLE", "IDLE"]
               and [link.getAxisError(n) for n in (0, 1)] == [WATCHDOG] * 2, timeout=SETTLE)
    assert [(axis["state"], axis["error"]) for axis in sim.status().values()] == [("IDLE", WATCHDOG)] * 2
