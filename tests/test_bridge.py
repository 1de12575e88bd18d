"""torvane-bridge on the test bus: a Zenoh client over TCP loopback (multicast scouting off)
reads the simulator's telemetry, moves its axes and stops them; a quiet network, a lost
client, bad input and the emergency stop; a peer without a client certificate."""

import ast
import contextlib
import itertools
import json
import math
import os
import queue
import re
import select
import signal
import struct
import subprocess
import sys
import time

import pytest

from torvane_dev.buses import SECOND_INTERFACE, WIRE, can_open
from torvane_dev.canpeer import CanPeer, Frame, wait_until
from torvane_dev.faultcheck import LOST_IDLE, PASSES_NOT_OUT, faulty, set_link, shaped
from torvane_dev.protocol import (
    CLEAR_ERRORS,
    GET_ENCODER_ESTIMATES,
    IDLE,
    SET_AXIS_STATE,
    SET_TORQUE,
    arb_id,
)
from torvane_dev.zenohpeer import HANG_GUARD, BridgeProcess, Client, free_port, open_session, write_config
from torvane_tools.bridge import main as bridge_main

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PREFIX = "robot/left"
SETTLE = 90.0  # seconds for the simulated axes to get somewhere in the slow VM; only catches a hang
# Long enough never to fire in a test that is not about it, however slow the VM.
NO_TIMEOUT = ["--command-timeout-ms", "3600000"]
SANITIZED = any(runtime in os.environ.get("LD_PRELOAD", "") for runtime in ("libasan", "libtsan"))
# Under a sanitizer, and on real CAN controllers, the suite runs only the bridge's tests
# where the native library meets what the bridge adds around it (Zenoh's threads when a
# signal comes, standard error through the bridge's tee): the rest is the bridge's Python,
# which sees no difference between buses, and whose calls into the library the other tests
# already run sanitized and on those controllers; it would add minutes to every run.
bridge_logic_only = pytest.mark.skipif(SANITIZED or WIRE is not None,
                                       reason="the bridge's Python logic: run on vcan with the plain build")
TELEMETRY_KEYS = {"position", "velocity", "torque_estimate", "iq_setpoint", "iq_measured", "fet_temperature",
                  "motor_temperature", "bus_voltage", "bus_current", "axis_state", "axis_error", "stamp"}


@pytest.fixture
def bridge(bus, tmp_path):
    """start(*options, interface=bus, **keywords) starts torvane-bridge listening on a free
    loopback port and returns (the bridge, a client connected to it); the client is a
    commanding one, named "planner", unless name=None. At teardown a bridge still running
    gets SIGTERM, its emergency stop."""
    started = []

    def start(*options, interface=None, name="planner", telemetry=False, **keywords):
        endpoint = f"tcp/127.0.0.1:{free_port()}"
        config = write_config(tmp_path / f"bridge{len(started)}.json5", listen=[endpoint])
        process = BridgeProcess(interface or bus, config, PREFIX, *options, **keywords)
        process.endpoint = endpoint
        client = Client(PREFIX, name=name, telemetry=telemetry, connect=[endpoint])
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


def children(pid) -> list[int]:
    with open(f"/proc/{pid}/task/{pid}/children") as f:
        return [int(child) for child in f.read().split()]


def sim_states(sim):
    return [axis["state"] for _, axis in sorted(sim.status().items())]


# ---------------------------------------------------------------- telemetry

@bridge_logic_only
def test_telemetry_is_one_sample_per_encoder_estimate_with_the_simulators_values(bridge, start_sim, bus):
    began = time.time()
    sim = start_sim("--encoder-period-ms", "5")  # 200 estimates a second per node
    watcher = CanPeer(bus, only_command=GET_ENCODER_ESTIMATES, timestamps=True)
    _, client = bridge(*NO_TIMEOUT, telemetry=True)
    client.telemetry.get(timeout=HANG_GUARD)
    watcher.drain()
    frames = [watcher.recv_stamped() for _ in range(100)]
    watcher.close()
    received = {}

    def every_estimate_arrived():
        for node, sample in drain(client.telemetry):
            received[node, sample["stamp"]] = sample
        return all((f.frame.node, f.at) in received for f in frames)

    try:
        wait_until(every_estimate_arrived, timeout=HANG_GUARD, interval=0.05)
    except AssertionError:
        missing = [(f.frame.node, f.at) for f in frames if (f.frame.node, f.at) not in received]
        near = sorted(k for k in received if abs(k[1] - missing[0][1]) < 0.05)
        raise AssertionError(f"{len(missing)} of {len(frames)} estimates without telemetry, first {missing[:3]}, "
                             f"received near it {near}") from None
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


@bridge_logic_only
def test_two_bridges_on_two_buses_are_one_view_under_robot(bus, tmp_path):
    """robot/left on one bus, robot/right on the other, and one client connected to both
    that subscribes to robot/**: it sees each bus's telemetry under its own prefix, and a
    stop put under one prefix idles that bus's motors only."""
    if not can_open(SECOND_INTERFACE):
        pytest.skip(f"no second interface {SECOND_INTERFACE}")
    sides = {"robot/left": (bus, 1.5), "robot/right": (SECOND_INTERFACE, -2.25)}  # prefix: (bus, position sent)
    bridges, endpoints = [], []
    samples = queue.Queue()
    alive = set()
    try:
        for prefix, (interface, _) in sides.items():
            endpoint = f"tcp/127.0.0.1:{free_port()}"
            config = write_config(tmp_path / f"{prefix.replace('/', '-')}.json5", listen=[endpoint])
            bridges.append(BridgeProcess(interface, config, prefix, *NO_TIMEOUT))
            endpoints.append(endpoint)
        client = open_session(connect=endpoints)
        client.declare_subscriber("robot/**", lambda sample: samples.put(
            (str(sample.key_expr), json.loads(sample.payload.to_string()))))
        client.liveliness().declare_subscriber("robot/*/alive", lambda sample: alive.add(str(sample.key_expr)),
                                               history=True)
        wait_until(lambda: alive == {"robot/left/alive", "robot/right/alive"}, timeout=HANG_GUARD)
        peers = {prefix: CanPeer(interface) for prefix, (interface, _) in sides.items()}
        seen = {}

        def each_bus_seen():
            for prefix, (_, position) in sides.items():  # an estimate of node 0 on each bus
                peers[prefix].send(arb_id(0, GET_ENCODER_ESTIMATES), struct.pack("<ff", position, 0.0))
            time.sleep(0.1)
            while not samples.empty():
                key, value = samples.get()
                seen.setdefault(key, value)
            return {"robot/left/0/telemetry", "robot/right/0/telemetry"} <= set(seen)

        wait_until(each_bus_seen, timeout=HANG_GUARD, interval=0)
        assert seen["robot/left/0/telemetry"]["position"] == 1.5
        assert seen["robot/right/0/telemetry"]["position"] == -2.25
        for bus_peer in peers.values():
            bus_peer.drain()
        client.put("robot/right/stop", "")
        wait_until(lambda: any(k == "robot/right/events" and v["event"] == "stop" for k, v in drain(samples)),
                   timeout=HANG_GUARD)
        idle = IDLE.to_bytes(4, "little")

        def idled(prefix):
            return sorted(f.node for f in peers[prefix].collect() if f.command == SET_AXIS_STATE and f.payload == idle)

        assert idled("robot/right") == [0, 1]
        assert idled("robot/left") == []
        assert not any(k.startswith("robot/left/events") for k, _ in drain(samples))
        for bus_peer in peers.values():
            bus_peer.close()
        client.close()
    finally:
        for process in bridges:
            process.stop()


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
    """Renews the command every 20 ms, as a remote program does, until `until(sim)`
    (asked every 0.1 s)."""
    deadline = time.monotonic() + SETTLE
    for renewal in itertools.count():
        if renewal % 5 == 0 and until(sim):
            return
        assert time.monotonic() < deadline, "the axes did not get there"
        client.command(**fields)
        time.sleep(0.02)


@bridge_logic_only
def test_a_remote_command_moves_the_axes_and_a_remote_stop_idles_them_until_closed_loop_again(
        bridge, start_sim, bus):
    sim = start_sim()
    process, client = bridge("--command-timeout-ms", "2000")
    targets = [0.5, -0.25]
    hold_and_move(client, targets)
    keep_commanding(client, sim, lambda s: at(s, targets), kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=targets)
    assert sim_states(sim) == ["CLOSED_LOOP_CONTROL"] * 2

    # A command to ten turns further on, and at once a stop: whatever of the move began, the
    # axes come to rest far short of it.
    peer = CanPeer(bus, only_command=SET_TORQUE)
    client.command(position_setpoint=[t + 10.0 for t in targets])
    client.stop()
    event = client.next_event("stop")
    assert event["idled"] == [0, 1]
    wait_until(lambda: sim_states(sim) == ["IDLE", "IDLE"], timeout=HANG_GUARD)
    peer.drain()
    assert loop_frames(peer) == [], "the loop still runs after the stop"
    assert any("stop on robot/left/stop" in line for line in process.stderr)
    wait_until(lambda: all(abs(axis["velocity"]) < 0.01 for axis in sim.status().values()), timeout=SETTLE)

    # Closed loop again with a stiffness alone: the loop runs a fresh command, whose position
    # setpoint is where the axes are now, not the one of before the stop, turns away.
    here = [axis["position"] for _, axis in sorted(sim.status().items())]
    client.command(kp=[8.0, 8.0])
    for node in (0, 1):
        client.state(node, "CLOSED_LOOP_CONTROL")
    torques = [frame.floats()[0] for frame in peer.recv_n(40, timeout=HANG_GUARD)]
    assert max(map(abs, torques)) < 1.0, torques  # 8 Nm/turn times well under a turn
    wait_until(lambda: sim_states(sim) == ["CLOSED_LOOP_CONTROL"] * 2, timeout=HANG_GUARD)
    assert at(sim, here)
    peer.close()


@bridge_logic_only
@pytest.mark.parametrize("quiet", ["no command", "only refused commands", "client lost"])
def test_a_quiet_network_idles_every_motor_and_stops_the_loop(bridge, start_sim, bus, quiet):
    sim = start_sim()
    # Long enough for this test's own renewals every 20 ms in a busy VM under a sanitizer.
    timeout = NO_TIMEOUT if quiet == "client lost" else ["--command-timeout-ms", "1000"]
    process, client = bridge(*timeout)
    targets = [0.25, 0.25]
    hold_and_move(client, targets)
    keep_commanding(client, sim, lambda s: at(s, targets), kp=[8.0, 8.0], kd=[0.4, 0.4], position_setpoint=targets)
    peer = CanPeer(bus, only_command=SET_TORQUE)
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
        # A command of that client's still on its way is refused.
        observer.session.put(f"{PREFIX}/command", b"{}", attachment="planner")
        assert "lost its liveliness" in observer.next_event("refused")["reason"]
        observer.close()
        assert event["client"] == "planner"
    else:
        event = client.next_event("timeout")
        assert event["timeout_ms"] == 1000
    wait_until(lambda: sim_states(sim) == ["IDLE", "IDLE"], timeout=HANG_GUARD)
    peer.drain()
    assert loop_frames(peer) == [], "the loop still runs"
    assert any("every motor idled" in line for line in process.stderr), process.output()
    peer.close()


# ---------------------------------------------------------------- bad input

BASELINE = [0.25, -0.25]  # the running command's torque: what every SET_TORQUE of the loop carries

# (key under PREFIX, payload, what the refusal says). Each refused command also holds a
# valid part that would change the loop's torque if it were applied on its own.
BAD_INPUT = [
    ("command", b'{"torque_feedforward": [1.0, 1.0]', "not JSON"),
    ("command", b'{"torque_feedforward": [1.0, 1.0], "kp": [\xff, 1]}', "not UTF-8"),
    ("command", [1.0, 1.0], "a JSON object"),
    ("command", {"torque_feedforward": [1.0, 1.0], "torque_feed_forward": [1.0, 1.0]}, "unknown keys"),
    ("command", {"torque_feedforward": [1.0]}, "a list of 2 numbers"),
    ("command", {"torque_feedforward": [1.0, 1.0, 1.0]}, "a list of 2 numbers"),
    ("command", {"torque_feedforward": 1.0}, "a list of 2 numbers"),
    ("command", {"kd": [0.0, 0.0], "torque_feedforward": [1.0, "1.0"]}, "not a number"),
    ("command", {"torque_feedforward": [1.0, True]}, "not a number"),
    ("command", {"torque_feedforward": [1.0, None]}, "not a number"),
    ("command", b'{"torque_feedforward": [1.0, NaN]}', "finite"),
    ("command", b'{"torque_feedforward": [1.0, -Infinity]}', "finite"),
    ("command", b'{"torque_feedforward": [1.0, 1e999]}', "finite"),
    ("command", {"torque_feedforward": [1.0, 1e39]}, "single-precision"),
    ("2/state", "CLOSED_LOOP_CONTROL", "not among --motors"),
    ("63/state", "IDLE", "not among --motors"),
    ("left/state", "CLEAR_ERRORS", "not among --motors"),
    ("0/state", "FULL_CALIBRATION_SEQUENCE", "unknown state"),
    ("0/state", 8, "unknown state"),
    ("0/state", b"idle", "unknown state"),
]


@pytest.fixture(scope="module")
def torque_loop(bus, tmp_path_factory):
    """A bridge whose loop runs in torque mode on a quiet bus (no simulator) with the
    command BASELINE, a client of it and a peer that reads the bus."""
    endpoint = f"tcp/127.0.0.1:{free_port()}"
    config = write_config(tmp_path_factory.mktemp("torque-loop") / "bridge.json5", listen=[endpoint])
    process = BridgeProcess(bus, config, PREFIX, *NO_TIMEOUT)
    client = Client(PREFIX, name="planner", connect=[endpoint])
    peer = CanPeer(bus)
    try:
        client.wait_alive()
        client.command(torque_feedforward=BASELINE)
        for node in (0, 1):
            client.state(node, "CLOSED_LOOP_CONTROL")
        assert {client.next_event("state")["node"] for _ in range(2)} == {0, 1}
        wait_until(lambda: loop_torques(queued(peer)) == {(0, 0.25), (1, -0.25)}, timeout=HANG_GUARD, interval=0.05)
        yield process, client, peer
    finally:
        client.close()
        process.stop()
        peer.close()


def loop_torques(frames) -> set:
    return {(f.node, f.floats()[0]) for f in frames if f.command == SET_TORQUE}


@bridge_logic_only
@pytest.mark.parametrize("key, payload, reason", BAD_INPUT,
                         ids=[f"{key}:{str(payload)[:40]}" for key, payload, _ in BAD_INPUT])
def test_bad_input_is_refused_with_its_reason_and_changes_nothing(torque_loop, key, payload, reason):
    process, client, peer = torque_loop
    drain(client.events)
    peer.drain()
    client.put(key, payload)
    event = client.next_event("refused")
    assert event["key"] == f"{PREFIX}/{key}" and reason in event["reason"], event
    # What the bus carried from the put until some passes after the refusal: the loop's
    # torques as before, and nothing else.
    frames = queued(peer) + peer.recv_n(20)
    assert [f for f in frames if f.command != SET_TORQUE] == []
    assert loop_torques(frames) == {(0, 0.25), (1, -0.25)}
    assert process.proc.poll() is None
    assert any(f"{PREFIX}/{key} refused: " in line for line in process.stderr)


# ---------------------------------------------------------------- the emergency stop

def closed_loop_frames(peer):
    return {f.node for f in queued(peer) if f.command == SET_AXIS_STATE and f.payload[:4] == b"\x08\0\0\0"}


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_is_the_emergency_stop_every_motor_idle_and_the_signals_number(bridge, bus, signum):
    process, client = bridge(*NO_TIMEOUT)
    peer = CanPeer(bus, only_command=SET_AXIS_STATE)
    client.command(torque_feedforward=BASELINE)
    for node in (0, 1):
        client.state(node, "CLOSED_LOOP_CONTROL")
    seen = set()
    wait_until(lambda: seen.update(closed_loop_frames(peer)) or seen == {0, 1}, timeout=HANG_GUARD, interval=0.05)
    assert process.stop(signum) == signum
    idle = [f.node for f in peer.collect() if f.payload == IDLE.to_bytes(4, "little")]
    assert sorted(set(idle)) == [0, 1]
    assert "Running ESTOP" in process.stdout
    assert client.gone.wait(HANG_GUARD), "the bridge's liveliness token outlived it"
    peer.close()


def test_the_librarys_lines_reach_the_events_and_the_real_stderr_and_so_do_the_stops(bridge, bus):
    """The stop writes its lines just before the process ends: they must still reach the
    real standard error."""
    process, client = bridge(*NO_TIMEOUT)
    client.command(torque_feedforward=BASELINE)
    for node in (0, 1):
        client.state(node, "CLOSED_LOOP_CONTROL")
    with faulty(bus, "down"):
        with shaped(bus, "overflowing"):  # the loop's frames stop getting out
            event = client.next_event("library")
            assert PASSES_NOT_OUT.fullmatch(event["message"]), event
            wait_until(lambda: any(PASSES_NOT_OUT.fullmatch(line) for line in process.stderr), timeout=HANG_GUARD)
        set_link(bus, "down")  # and now no IDLE frame can get out either
        # As a service manager stops a service: every process of it gets the signal.
        for child in children(process.proc.pid):
            for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
                os.kill(child, signum)
        assert process.stop(signal.SIGTERM) == signal.SIGTERM
    lost = {(m[1], int(m[2]), m[3]) for m in map(LOST_IDLE.fullmatch, process.stderr) if m}
    assert lost == {("ESTOP", 0, "Network is down"), ("ESTOP", 1, "Network is down")}, process.output()


@bridge_logic_only
def test_a_standard_error_that_takes_nothing_holds_up_no_input(bridge, bus):
    """A full pipe (a stalled log collector) or a suspended terminal on standard error:
    the bridge's lines wait or are dropped, its inputs are still taken."""
    read_end, write_end = os.pipe()
    try:
        os.set_blocking(write_end, False)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(write_end, b"x" * 65536)
        os.set_blocking(write_end, True)  # a full pipe, as its writer finds it
        process, client = bridge(*NO_TIMEOUT, stderr=write_end)
        peer = CanPeer(bus, only_command=SET_AXIS_STATE)
        for _ in range(3):  # each refusal is a line for standard error, which takes none
            client.put("0/state", "FULL_CALIBRATION_SEQUENCE")
            client.next_event("refused")
        client.stop()
        assert client.next_event("stop")["idled"] == [0, 1]
        assert sorted({f.node for f in peer.collect() if f.payload == IDLE.to_bytes(4, "little")}) == [0, 1]
        peer.close()
    finally:
        os.close(read_end)  # the stderr tee, stuck in its write to the full pipe, can end
        os.close(write_end)


# ---------------------------------------------------------------- credentials

def openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, timeout=HANG_GUARD)


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """Made for this run, never kept: a CA with the bridge's and an operator's certificate,
    and another CA with a stranger's. Every key is EC P-256 in PKCS#8."""
    folder = tmp_path_factory.mktemp("certificates")

    def key(name):
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", folder / f"{name}.key")

    def authority(name):
        key(name)
        openssl("req", "-x509", "-new", "-key", folder / f"{name}.key", "-out", folder / f"{name}.pem", "-days", "2",
                "-subj", f"/CN={name}")

    def holder(name, issuer):
        key(name)
        openssl("req", "-new", "-key", folder / f"{name}.key", "-out", folder / f"{name}.csr", "-subj", f"/CN={name}")
        (folder / f"{name}.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                            "extendedKeyUsage=serverAuth,clientAuth\nbasicConstraints=CA:FALSE\n")
        openssl("x509", "-req", "-in", folder / f"{name}.csr", "-CA", folder / f"{issuer}.pem", "-CAkey",
                folder / f"{issuer}.key", "-CAcreateserial", "-out", folder / f"{name}.pem", "-days", "2",
                "-extfile", folder / f"{name}.ext")

    authority("robot-ca")
    authority("other-ca")
    holder("bridge", "robot-ca")
    holder("operator", "robot-ca")
    holder("stranger", "other-ca")
    return lambda name: str(folder / name)


def client_tls(certificates, holder=None) -> dict:
    """A connecting side's TLS section: it trusts the robot's CA, and shows `holder`'s certificate."""
    tls = {"root_ca_certificate": certificates("robot-ca.pem")}
    if holder:
        tls.update(enable_mtls=True, connect_private_key=certificates(f"{holder}.key"),
                   connect_certificate=certificates(f"{holder}.pem"))
    return tls


@pytest.fixture(scope="module")
def tls_bridge(bus, certificates, tmp_path_factory):
    """A bridge that takes only peers with a certificate of the robot's CA, and an
    operator who has one."""
    port = free_port()
    config = write_config(tmp_path_factory.mktemp("tls") / "bridge.json5", listen=[f"tls/127.0.0.1:{port}"],
                          tls={"root_ca_certificate": certificates("robot-ca.pem"), "enable_mtls": True,
                               "listen_private_key": certificates("bridge.key"),
                               "listen_certificate": certificates("bridge.pem")})
    process = BridgeProcess(bus, config, PREFIX, *NO_TIMEOUT)
    operator = Client(PREFIX, connect=[f"tls/localhost:{port}"], tls=client_tls(certificates, "operator"))
    try:
        operator.wait_alive()
        yield process, operator, port
    finally:
        operator.close()
        process.stop()


@bridge_logic_only
@pytest.mark.parametrize("credentials", ["no certificate", "another CA's certificate", "plain TCP"])
def test_a_peer_without_a_client_certificate_of_the_robots_ca_cannot_command(tls_bridge, certificates, bus,
                                                                              credentials):
    process, operator, port = tls_bridge
    if credentials == "plain TCP":
        stranger = Client(PREFIX, connect=[f"tcp/127.0.0.1:{port}"])
    else:
        holder = "stranger" if credentials == "another CA's certificate" else None
        stranger = Client(PREFIX, connect=[f"tls/localhost:{port}"], tls=client_tls(certificates, holder))
    peer = CanPeer(bus, only_command=CLEAR_ERRORS)
    drain(operator.events)
    try:
        for _ in range(10):  # while the stranger's session keeps trying to get in
            stranger.state(0, "CLEAR_ERRORS")
            stranger.stop()
            time.sleep(0.2)
        assert not stranger.alive.is_set(), "the stranger sees the bridge"
        operator.state(1, "CLEAR_ERRORS")  # the bridge still takes the operator's requests
        assert operator.next_event("state")["node"] == 1
        assert [f.node for f in peer.collect()] == [1]
        assert [e["event"] for e in drain(operator.events)] == []
    finally:
        stranger.close()
        peer.close()


# ---------------------------------------------------------------- the page

@pytest.mark.skipif(SANITIZED, reason="the page's example runs for five seconds of wall time, in which a simulator "
                                      "under a sanitizer in the VM moved the axes less than halfway (0.23 and -0.21 "
                                      "turns of 1 and -0.5)")
def test_the_remote_twin_of_the_demo_on_the_bridges_page_moves_the_simulated_axes(start_sim, bus, tmp_path):
    with open(os.path.join(REPO, "docs", "bridge.md"), encoding="utf-8") as f:
        blocks = re.findall(r"^```python\n(.*?)^```$", f.read(), re.M | re.S)
    assert len(blocks) == 1
    example = blocks[0]
    endpoint = "tcp/127.0.0.1:7447"
    scouting_off = ('config.insert_json5("scouting/multicast/enabled", "false")\n'
                    'config.insert_json5("scouting/gossip/enabled", "false")\n')
    assert example.count(endpoint) == 1 and example.count("config = zenoh.Config()\n") == 1
    port = free_port()
    program = tmp_path / "remote.py"
    program.write_text(example.replace(endpoint, f"tcp/127.0.0.1:{port}")
                       .replace("config = zenoh.Config()\n", "config = zenoh.Config()\n" + scouting_off))
    # Encoder estimates at 50 Hz, and the page's bridge with more time between commands: the
    # VM runs Python some 20 times slower (more under a sanitizer), where a bridge that
    # publishes 200 estimates a second falls behind and the example's renewals every 20 ms
    # can come 100 ms apart.
    sim = start_sim("--encoder-period-ms", "20")
    config = write_config(tmp_path / "bridge.json5", listen=[f"tcp/127.0.0.1:{port}"])
    process = BridgeProcess(bus, config, "robot/left", "--command-timeout-ms", "1000", mode="torque")
    try:
        observer = Client("robot/left", connect=[f"tcp/127.0.0.1:{port}"])
        observer.wait_alive()
        observer.close()
        result = subprocess.run([sys.executable, str(program)], capture_output=True, text=True, timeout=SETTLE,
                                stdin=subprocess.DEVNULL)
        assert result.returncode == 0, result.stdout + result.stderr
        printed = ast.literal_eval(result.stdout.strip().splitlines()[-1])
        # On its way to the step from rest at 0 turns, if not settled yet (where a sanitizer slows
        # the simulator down, five seconds of wall time are less of its own).
        assert printed["0"] > 0.5 and printed["1"] < -0.25, result.stdout + process.output()
        wait_until(lambda: sim_states(sim) == ["IDLE", "IDLE"], timeout=HANG_GUARD)  # its stop at the end
    finally:
        assert process.stop() == signal.SIGTERM, process.output()


# ---------------------------------------------------------------- the command line

@pytest.mark.parametrize("arguments, message", [
    (["--motors", "0", "2"], "node 2 cannot be a motor"),
    (["--motors", "1", "1"], "--motors names a node twice"),
    (["--motors", "0", "--prefix", "robot/*"], "is not a prefix"),
    (["--motors", "0", "--prefix", "robot//left"], "is not a prefix"),
    (["--motors", "0", "--command-timeout-ms", "0"], "is not a timeout"),
    (["--motors", "0", "--command-timeout-ms", "nan"], "is not a timeout"),
    (["--motors", "0", "--telemetry-hz", "-1"], "is not 0 or a positive rate"),
    (["--motors", "0", "--mode", "current"], "invalid choice"),
])
def test_a_bad_command_line_is_refused_before_anything_opens(bus, capsys, arguments, message):
    options = {"--mode": "torque", "--prefix": PREFIX}
    rest = [item for key, value in options.items() if key not in arguments for item in (key, value)]
    with pytest.raises(SystemExit) as ended:
        bridge_main([bus, *arguments, *rest])  # argparse ends it, before Zenoh or the bus is opened
    assert ended.value.code == 2
    assert message in capsys.readouterr().err


def test_without_zenoh_the_bridge_says_how_to_install_it(bus):
    program = ("import sys; sys.modules['zenoh'] = None; from torvane_tools.bridge import main; "
               f"sys.exit(main([{bus!r}, '--motors', '0', '1', '--mode', 'torque', '--prefix', 'robot/left']))")
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=HANG_GUARD)
    assert result.returncode == 1
    assert "pip install '.[bridge]'" in result.stderr and "eclipse-zenoh==" in result.stderr, result.stderr
