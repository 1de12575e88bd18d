"""torvane-bridge on the test bus: a Zenoh client over TCP loopback (multicast scouting off)
reads the simulator's telemetry, moves its axes and stops them; a quiet network, a lost
client, bad input and the emergency stop; a peer without a client certificate."""

import math
import os
import re
import select
import signal
import subprocess
import sys
import time

import pytest

from torvane_dev.canpeer import CanPeer, Frame, as_f32, wait_until
from torvane_dev.faultcheck import LOST_IDLE, PASSES_NOT_OUT, shaped
from torvane_dev.protocol import (
    CLEAR_ERRORS,
    GET_ENCODER_ESTIMATES,
    IDLE,
    SET_AXIS_STATE,
    SET_CONTROL_MODE,
    SET_TORQUE,
    arb_id,
)
from torvane_dev.zenohpeer import HANG_GUARD, BridgeProcess, Client, free_port, write_config

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = "robot/left"
SETTLE = 90.0  # seconds for the simulated axes to get somewhere in the slow VM; only catches a hang
# Long enough never to fire in a test that is not about it, however slow the VM.
NO_TIMEOUT = ["--command-timeout-ms", "3600000"]
TELEMETRY_KEYS = {"position", "velocity", "torque_estimate", "iq_setpoint", "iq_measured", "fet_temperature",
                  "motor_temperature", "bus_voltage", "bus_current", "axis_state", "axis_error", "stamp"}


@pytest.fixture
def bridge(bus, tmp_path):
    """start(*options, interface=bus, **keywords) starts torvane-bridge listening on a free
    loopback port and returns (the bridge, a client connected to it); the client is a
    commanding one, named "planner", unless name=None. At teardown a bridge still running
    gets SIGTERM, its emergency stop."""
    started = []

    def start(*options, interface=None, name="planner", **keywords):
        endpoint = f"tcp/127.0.0.1:{free_port()}"
        config = write_config(tmp_path / f"bridge{len(started)}.json5", listen=[endpoint])
        process = BridgeProcess(interface or bus, config, PREFIX, *options, **keywords)
        process.endpoint = endpoint
        client = Client(PREFIX, name=name, connect=[endpoint])
        started.append((process, client))
        try:
            client.wait_alive()
        except AssertionError:
            process.stop()
            raise AssertionError("the bridge did not come up:\n" + process.output()) from None
        return process, client

    yield start
    for process, client in started:
        client.close()
        process.stop()


def loop_frames(peer, quiet=0.3):
    """The frames on the bus until none comes for `quiet` seconds."""
    return peer.collect(quiet=quiet)


def queued(peer) -> list[Frame]:
    """Every frame the peer's socket holds right now."""
    frames = []
    while select.select([peer.sock], [], [], 0)[0]:
        frames.append(peer.recv())
    return frames


def sim_states(sim):
    return [axis["state"] for _, axis in sorted(sim.status().items())]


# ---------------------------------------------------------------- telemetry

def test_telemetry_is_one_sample_per_encoder_estimate_with_the_simulators_values(bridge, start_sim, bus):
    began = time.time()
    sim = start_sim("--encoder-period-ms", "5")  # 200 estimates a second per node
    watcher = CanPeer(bus, only_command=GET_ENCODER_ESTIMATES, timestamps=True)
    _, client = bridge(*NO_TIMEOUT)
    client.telemetry.get(timeout=HANG_GUARD)
    watcher.drain()
    frames = [watcher.recv_stamped() for _ in range(100)]
    watcher.close()
    received = {}

    def every_estimate_arrived():
        for node, sample in drain(client.telemetry):
            received[node, sample["stamp"]] = sample
        return all((f.frame.node, f.at) in received for f in frames)

    wait_until(every_estimate_arrived, timeout=HANG_GUARD, interval=0.05)
    for stamped in frames:  # the kernel's receive time of that very frame, and its values
        sample = received[stamped.frame.node, stamped.at]
        assert (sample["position"], sample["velocity"]) == stamped.frame.floats()
        assert began < sample["stamp"] < time.time()
    sent = sim.telemetry()  # what each axis last broadcast, named like the link's getters
    for node in (0, 1):
        sample = max((s for (n, _), s in received.items() if n == node), key=lambda s: s["stamp"])
        assert set(sample) == TELEMETRY_KEYS
        assert (sample["axis_state"], sample["axis_error"]) == ("IDLE", sent[node]["axis_error"]) == ("IDLE", 0)
        for key in ("torque_estimate", "iq_setpoint", "iq_measured", "fet_temperature", "motor_temperature",
                    "bus_voltage", "bus_current"):
            assert sample[key] == sent[node][key], key  # both the single-precision value of the frame
        assert sample["bus_voltage"] > 20 and sample["fet_temperature"] > 20


def drain(q) -> list:
    items = []
    while not q.empty():
        items.append(q.get())
    return items


# ---------------------------------------------------------------- commands and stops

def hold_and_move(client, targets, kp=8.0, kd=0.4):
    """Closed loop on both nodes and a command that pulls the axes to `targets`."""
    client.command(kp=[kp, kp], kd=[kd, kd], position_setpoint=targets)
    for node in (0, 1):
        client.state(node, "CLOSED_LOOP_CONTROL")


def at(sim, targets, tolerance=0.05):
    positions = [axis["position"] for _, axis in sorted(sim.status().items())]
    return all(abs(p - t) < tolerance for p, t in zip(positions, targets, strict=True))


def keep_commanding(client, sim, until, **fields):
    """Renews the command every 20 ms, as a remote program does, until `until(sim)`."""
    deadline = time.monotonic() + SETTLE
    while not until(sim):
        assert time.monotonic() < deadline, "the axes did not get there"
        client.command(**fields)
        time.sleep(0.02)


def test_a_remote_command_moves_the_axes_and_a_remote_stop_idles_them_until_closed_loop_again(
        bridge, start_sim, bus):
    sim = start_sim()
    process, client = bridge("--command-timeout-ms", "2000")
    targets = [0.5, -0.25]
    hold_and_move(client, targets)
    keep_commanding(client, sim, lambda s: at(s, targets), kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=targets)
    assert sim_states(sim) == ["CLOSED_LOOP_CONTROL"] * 2

    peer = CanPeer(bus)
    client.stop()
    event = client.next_event("stop")
    assert event["idled"] == [0, 1]
    wait_until(lambda: sim_states(sim) == ["IDLE", "IDLE"], timeout=HANG_GUARD)
    peer.drain()
    assert not [f for f in loop_frames(peer) if f.command == SET_TORQUE], "the loop still runs after the stop"
    assert any("stop on robot/left/stop" in line for line in process.stderr)

    # Closed loop again: the loop runs with a fresh command, which holds where the axes are.
    here = [axis["position"] for _, axis in sorted(sim.status().items())]
    client.command(kp=[8.0, 8.0], kd=[0.4, 0.4])
    for node in (0, 1):
        client.state(node, "CLOSED_LOOP_CONTROL")
    wait_until(lambda: sim_states(sim) == ["CLOSED_LOOP_CONTROL"] * 2, timeout=HANG_GUARD)
    keep_commanding(client, sim, lambda s: at(s, here, 0.01), kp=[8.0, 8.0], kd=[0.4, 0.4])
    peer.close()


@pytest.mark.parametrize("quiet", ["no command", "only refused commands", "client lost"])
def test_a_quiet_network_idles_every_motor_and_stops_the_loop(bridge, start_sim, bus, quiet):
    sim = start_sim()
    timeout = NO_TIMEOUT if quiet == "client lost" else ["--command-timeout-ms", "300"]
    process, client = bridge(*timeout)
    targets = [0.25, 0.25]
    hold_and_move(client, targets)
    keep_commanding(client, sim, lambda s: at(s, targets), kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=targets)
    peer = CanPeer(bus)
    if quiet == "only refused commands":
        deadline = time.monotonic() + HANG_GUARD
        while not [e for e in drain(client.events) if e["event"] == "timeout"]:
            assert time.monotonic() < deadline, "no timeout"
            client.command(kp=[8.0, math.nan])
            time.sleep(0.02)
    elif quiet == "client lost":
        observer = Client(PREFIX, connect=[process.endpoint])
        observer.wait_alive()
        client.close()  # its liveliness token goes with its session
        event = observer.next_event("client_lost")
        observer.close()
        assert event["client"] == "planner"
    else:
        event = client.next_event("timeout")
        assert event["timeout_ms"] == 300
    wait_until(lambda: sim_states(sim) == ["IDLE", "IDLE"], timeout=HANG_GUARD)
    peer.drain()
    assert not [f for f in loop_frames(peer) if f.command == SET_TORQUE], "the loop still runs"
    assert any("every motor idled" in line for line in process.stderr), process.output()
    peer.close()
