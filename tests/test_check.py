"""The bus check (the torvane-check command) against the simulator on the bus: what it
says of each node's telemetry, of faults, of the interface and its controller, its
exit status with --expect, and its one line for bad input."""

import json
import platform
import re
import struct
import subprocess
import sys
import threading
import time

import pytest

import torvane
from torvane_dev import program
from torvane_dev.buses import BITRATE, INTERFACE, SECOND_INTERFACE, WIRE, is_virtual
from torvane_dev.canpeer import CanPeer, f32, wait_until
from torvane_dev.protocol import (
    CAN_EFF_FLAG,
    CAN_RTR_FLAG,
    GET_BUS_VOLTAGE_CURRENT,
    GET_ENCODER_ESTIMATES,
    GET_IQ,
    GET_TEMPERATURE,
    GET_TORQUES,
    GETTERS,
    HEARTBEAT,
    SET_AXIS_STATE,
    SET_TORQUE,
    TELEMETRY_BY_COMMAND,
    TELEMETRY_MESSAGES,
    arb_id,
)
from torvane_dev.simfixture import CHECK, HANG_GUARD, SimulatedODrive
from torvane_tools.check import render

VIRTUAL = is_virtual(INTERFACE)
# CAN FD frames need vcan: an SJA1000 is a classic controller, and a queue shaped to a
# classic bus's frame rate (tests/run --bitrate) refuses frames longer than a classic one.
NO_FD = ("an SJA1000 is a classic CAN controller: no CAN FD" if not VIRTUAL else
         "the queue is shaped to a classic bus's frame rate: no CAN FD" if BITRATE else None)
ALL_SIX = [message.name for message in TELEMETRY_MESSAGES]
# Heartbeats 4 a second: a pause worth a problem is then 1 s long, so that the simulator
# stalling for a moment in a busy VM does not read as one.
STEADY = ("--status-period-ms", "250")
WATCHDOG = 0x1000000  # WATCHDOG_TIMER_EXPIRED


LISTENING = "torvane-check: listening on {} for {:g} s\n"


def run_check(interface, *args, env=None, wrapper=()):
    done = subprocess.run([*wrapper, CHECK, interface, *args], capture_output=True, text=True,
                          timeout=HANG_GUARD + 60, env=env, stdin=subprocess.DEVNULL)
    assert "Traceback" not in done.stderr, done.stderr
    return done


def check_json(interface, *args):
    done = run_check(interface, "--json", *args)
    assert done.returncode in (0, 1), done.stderr
    report = json.loads(done.stdout)
    assert report["status"] == done.returncode
    return report


def check_json_while(send_once, interface, *args):
    """check_json while another thread calls `send_once` every 20 ms; what it raised is
    raised here."""
    stop = threading.Event()
    failed = []

    def send():
        try:
            while not stop.is_set():
                send_once()
                time.sleep(0.02)
        except Exception as exc:  # re-raised on the test's thread
            failed.append(exc)

    thread = threading.Thread(target=send)
    thread.start()
    try:
        report = check_json(interface, *args)
    finally:
        stop.set()
        thread.join()
    if failed:
        raise failed[0]
    return report


def by_node(report):
    return {node["node"]: node for node in report["nodes"]}


# ---- telemetry ----

def test_names_every_message_an_axis_does_not_send(bus, start_sim):
    """Node i is told not to send message i; node 6 sends them all."""
    rates = [arg for i, message in enumerate(TELEMETRY_MESSAGES)
             for arg in ("--msg-rate-ms", f"{i}:{message.setting}=0")]
    start_sim(*STEADY, *rates, nodes=range(7))
    expected = [str(n) for n in range(7)]
    report = check_json(bus, "--seconds", "2", "--expect", *expected)
    nodes = by_node(report)
    assert sorted(nodes) == list(range(7))
    for i, message in enumerate(TELEMETRY_MESSAGES):
        node = nodes[i]
        assert node["missing"] == [message.name]
        assert node["reads_zero"] == list(message.getters)
        assert node["rate_settings"] == [f"<axis>.config.can.{message.setting}_msg_rate_ms"]
        assert node["messages"][message.name] is None
        assert all(node["messages"][name]["rate"] > 0 for name in ALL_SIX if name != message.name)
    assert nodes[6]["missing"] == [] and nodes[6]["reads_zero"] == []
    assert report["status"] == 1
    assert len(report["problems"]) == 6
    for i, message in enumerate(TELEMETRY_MESSAGES):
        line = next(p for p in report["problems"] if p.startswith(f"node {i}:"))
        assert message.name in line and f"{message.setting}_msg_rate_ms" in line
        assert all(getter in line for getter in message.getters)
    # The heartbeat tells state and error; without it neither is known.
    assert nodes[0]["axis_state"] is None and nodes[1]["axis_state_name"] == "IDLE"
    screen = render(report)
    for i, message in enumerate(TELEMETRY_MESSAGES):
        block = screen.split(f"node {i}:")[1].split("\nnode ")[0]
        assert f"{message.name} " in block and "never" in block.split(message.name)[1].splitlines()[0]
        assert f"PROBLEM: node {i}: {message.name} never came" in screen


def test_faults_as_they_happen_name_the_node_when_and_how_long(bus, start_sim, peer):
    """While the check listens: node 0 pauses its heartbeat alone, then raises the watchdog
    error in IDLE (a note only); node 1 falls silent; node 2 reboots out of closed loop;
    node 3 leaves closed loop with the watchdog error."""
    with subprocess.Popen([CHECK, bus, "--json", "--seconds", "12", "--expect", "0", "1", "2", "3"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as check:
        try:
            assert check.stderr.readline() == LISTENING.format(bus, 12)
            sim = start_sim(*STEADY, "--silent-at", "1", "3", "--error-at", "0", hex(WATCHDOG), "3", "--reboot-at", "2",
                            "3", "--reboot-ms", "1500", "--error-at", "3", hex(WATCHDOG), "3", nodes=(0, 1, 2, 3))
            for node in (2, 3):
                peer.send(arb_id(node, SET_AXIS_STATE), bytes([8, 0, 0, 0]))
            sim.ok("rate 0 heartbeat 0")
            time.sleep(1.5)
            sim.ok("rate 0 heartbeat 250")
            out, err = check.communicate(timeout=HANG_GUARD)
        finally:
            if check.poll() is None:
                check.kill()
                check.wait()
    assert err == "" and check.returncode == 1, err
    report = json.loads(out)
    nodes = by_node(report)
    assert sorted(nodes) == [0, 1, 2, 3], report["problems"]
    problems = {n: [p for p in report["problems"] if p.startswith(f"node {n}: ")] for n in nodes}
    assert sum(map(len, problems.values())) == len(report["problems"]) == 4, report["problems"]

    paused = nodes[0]
    (gap,) = paused["heartbeat_gaps"]
    assert not gap["silent"] and gap["lasted_s"] >= 1.4 and paused["heartbeat_period_s"] == pytest.approx(0.25, rel=0.5)
    assert problems[0] == [f"node 0: no heartbeat for {gap['lasted_s']:.2f} s from {gap['at_s']:.2f} s into the "
                           f"listen (it comes every {paused['heartbeat_period_s']:.3f} s), while its other messages "
                           f"kept coming"]
    # An axis error in IDLE is a note; the axis refuses closed loop until it is cleared.
    assert (paused["axis_error"], paused["axis_error_names"]) == (WATCHDOG, ["WATCHDOG_TIMER_EXPIRED"])
    assert [(c["axis_state_name"], c["axis_error"]) for c in paused["heartbeat_changes"]] == [
        ("IDLE", 0), ("IDLE", WATCHDOG)]
    assert any(note.startswith("node 0: axis error 0x1000000 (WATCHDOG_TIMER_EXPIRED)") and "clearErrors" in note
               for note in report["notes"])

    silent = nodes[1]
    assert silent["fell_silent"] and silent["silent_for_s"] > 1.0 and silent["heartbeat_gaps"] == []
    assert problems[1] == [f"node 1: fell silent, nothing heard for the last {silent['silent_for_s']:.2f} s"]

    rebooted = nodes[2]
    assert [c["axis_state_name"] for c in rebooted["heartbeat_changes"]] == ["IDLE", "CLOSED_LOOP_CONTROL", "IDLE"]
    (gap,) = rebooted["heartbeat_gaps"]
    assert gap["silent"] and gap["rebooted"] and gap["lasted_s"] >= 1.4
    (left,) = rebooted["closed_loop_exits"]
    assert left["after_gap"] and left["until_end"] and left["to_state"] == "IDLE"
    assert 0.0 < gap["at_s"] < left["at_s"] < 12.0
    assert problems[2] == [f"node 2: nothing heard from it for {gap['lasted_s']:.2f} s from {gap['at_s']:.2f} s into "
                           f"the listen (its heartbeat comes every {rebooted['heartbeat_period_s']:.3f} s), and came "
                           f"back in IDLE, out of CLOSED_LOOP_CONTROL for the remaining {left['out_for_s']:.2f} s of "
                           f"the listen: it rebooted or lost power"]

    dropped = nodes[3]
    assert dropped["heartbeat_gaps"] == []
    (left,) = dropped["closed_loop_exits"]
    assert (left["to_state"], left["axis_error"], left["after_gap"], left["until_end"]) == ("IDLE", WATCHDOG, False,
                                                                                           True)
    assert problems[3] == [f"node 3: left CLOSED_LOOP_CONTROL for IDLE with axis error 0x1000000 "
                           f"(WATCHDOG_TIMER_EXPIRED) at {left['at_s']:.2f} s into the listen, for the remaining "
                           f"{left['out_for_s']:.2f} s of the listen"]

    assert report["status"] == 1
    screen = render(report)
    assert "node 1: IDLE, no axis error, sent by a program on this computer, SILENT for the last" in screen
    assert "node 0: IDLE, axis error 0x1000000 WATCHDOG_TIMER_EXPIRED" in screen
    assert "heartbeat: IDLE from " in screen and ", then CLOSED_LOOP_CONTROL from " in screen
    assert all(f"PROBLEM: {problem}" in screen for problem in report["problems"])


@pytest.mark.parametrize("expect, status, says", [
    ([], 0, None),
    (["0", "1"], 0, "OK: nodes 0 1 send all six telemetry messages"),
    (["1"], 0, "OK: node 1 sends all six telemetry messages"),
    (["0", "1", "5"], 1, "PROBLEM: node 5: nothing heard in 1 s"),
], ids=["no-expect", "both", "one", "missing-node"])
def test_expect_decides_the_exit_status(bus, start_sim, expect, status, says):
    start_sim(*STEADY)
    done = run_check(bus, "--seconds", "1", *(["--expect", *expect] if expect else []))
    assert (done.returncode, done.stderr) == (status, LISTENING.format(bus, 1)), done.stdout
    if says:
        assert says in done.stdout
    if expect == ["1"]:
        assert "note: node 0 is on the bus but not expected" in done.stdout
    assert "PROBLEM" not in done.stdout or status == 1


def test_frames_that_are_not_telemetry(bus, start_sim):
    """Commands from another program, an id no ODrive uses, and another device's extended
    frames whose low bits the link reads as encoder estimates of node 1."""
    start_sim(*STEADY)
    sender = CanPeer(bus)

    def send():
        sender.send(arb_id(0, SET_TORQUE), bytes(4))
        sender.send(arb_id(5, 0x03), bytes(8))
        sender.send(CAN_EFF_FLAG | 0x18FF0029, bytes(8))  # low bits: node 1, command 9

    try:
        report = check_json_while(send, bus, "--seconds", "2", "--expect", "0", "1")
    finally:
        sender.close()
    others = {other["can_id"]: other for other in report["other_frames"]}
    assert set(others) == {"0x00e", "0x0a3", "0x18ff0029"}, (report["frames"], report["problems"])
    assert others["0x00e"]["what"] == "SET_TORQUE to node 0" and others["0x00e"]["link_decodes_as"] is None
    assert others["0x0a3"]["what"].startswith("command 0x03 to node 5")
    assert others["0x18ff0029"]["link_decodes_as"] == "GET_ENCODER_ESTIMATES of node 1"
    assert all(other["source"] == "this machine" and other["count"] > 5 for other in others.values())
    assert any("the link decodes them as GET_ENCODER_ESTIMATES of node 1" in p for p in report["problems"])
    assert "commands go to node 5, which sends no telemetry" in report["notes"]
    assert report["status"] == 1
    # They count towards the bus's frames; the nodes' own telemetry is unaffected.
    assert report["frames"] == sum(n["frames"] for n in report["nodes"]) + sum(o["count"] for o in others.values())
    assert all(node["missing"] == [] for node in report["nodes"])


# What the link takes and what it ignores, as the check says it and as the link's getters
# show it: each node sends one message the one way. node, message, frame: its length and
# whether it is a remote request or a CAN FD frame, and whether the link takes it.
LINK_RULES = [
    pytest.param(10, HEARTBEAT, 5, "", True, id="heartbeat-5-bytes"),
    pytest.param(11, HEARTBEAT, 4, "", False, id="heartbeat-4-bytes"),
    pytest.param(12, GET_IQ, 8, "", True, id="iq-8-bytes"),
    pytest.param(13, GET_IQ, 4, "", False, id="iq-4-bytes"),
    pytest.param(14, GET_TEMPERATURE, 7, "", False, id="temperature-7-bytes"),
    pytest.param(15, GET_TORQUES, 4, "", True, id="torques-4-bytes"),
    pytest.param(16, GET_TORQUES, 3, "", False, id="torques-3-bytes"),
    pytest.param(17, GET_ENCODER_ESTIMATES, 8, "remote", False, id="estimates-remote-request"),
    pytest.param(18, GET_BUS_VOLTAGE_CURRENT, 8, "fd", False, id="bus-can-fd",
                 marks=pytest.mark.skipif(NO_FD is not None, reason=str(NO_FD))),
]
PAYLOAD = struct.pack("<IB3x", 0x40, 8)  # as floats and as a heartbeat: nothing here is 0
SETTLED = arb_id(30, GET_ENCODER_ESTIMATES)  # sent last: once the link has it, it has read everything before


@pytest.fixture(scope="module")
def heard_both_ways(bus):
    """One listen of the check (--expect 0 1, the simulator's nodes) while a peer sends the
    frames of LINK_RULES and remote requests for the simulator's telemetry, and a link on
    the same bus: (the check's report, node -> the link's getters' values)."""
    sim = SimulatedODrive(bus, *STEADY)
    sender = CanPeer(bus)
    link = torvane.ODriveSocket(bus)

    def send():
        for case in LINK_RULES:
            node, command, length, kind, _ = case.values
            if kind == "fd":
                if NO_FD is None:
                    sender.send_fd(arb_id(node, command), PAYLOAD)
            else:
                sender.send((CAN_RTR_FLAG if kind == "remote" else 0) | arb_id(node, command), PAYLOAD, length)
        for node in (0, 1):  # polling the simulator's Iq, as some programs do
            sender.send(CAN_RTR_FLAG | arb_id(node, GET_IQ), bytes(8), 8)

    report = check_json_while(send, bus, "--seconds", "2", "--expect", "0", "1")
    sender.send(SETTLED, f32(1.0, 1.0))
    wait_until(lambda: link.getPositionEstimate(30) == 1.0)
    getters = {case.values[0]: {getter: getattr(link, getter)(case.values[0]) for getter in GETTERS}
               for case in LINK_RULES}
    sender.close()
    assert sim.stop() == 0, sim.stderr
    return report, getters


@pytest.mark.parametrize("node, command, length, kind, taken", LINK_RULES)
def test_the_check_reads_zero_where_the_link_does(heard_both_ways, node, command, length, kind, taken):
    report, getters = heard_both_ways
    message = TELEMETRY_BY_COMMAND[command]
    link_zero = [getter for getter in message.getters if getters[node][getter] == 0]
    heard = by_node(report).get(node)
    check_zero = [getter for getter in message.getters if heard is None or getter in heard["reads_zero"]]
    assert check_zero == link_zero == ([] if taken else list(message.getters))
    if kind == "remote":
        assert heard is None  # a request is not the node speaking
        (request,) = [o for o in report["other_frames"] if o["can_id"] == f"0x{arb_id(node, command):03x}"]
        assert request["remote"] and request["link_ignores"] and request["link_decodes_as"] is None
        return
    seen = heard["messages"][message.name]
    if taken:
        assert seen["count"] > 10 and seen["short_frames"] == seen["fd_frames"] == 0
        return
    assert seen["count"] == 0 and (seen["fd_frames"] if kind == "fd" else seen["short_frames"]) > 10
    if kind != "fd":
        assert seen["short_lengths"] == [length]
    block = render(report).split(f"\nnode {node}:")[1].split("\n\n")[0]
    line = next(line for line in block.splitlines() if line.strip().startswith(message.name))
    assert f"{', '.join(message.getters)} read 0: the link ignores what came (" in line


def test_remote_requests_are_shown_and_are_no_problem(heard_both_ways):
    report, _ = heard_both_ways
    assert (report["status"], report["problems"]) == (0, [])
    requests = {o["can_id"]: o for o in report["other_frames"] if o["remote"]}
    for node in (0, 1):
        request = requests[f"0x{arb_id(node, GET_IQ):03x}"]
        assert request["what"] == f"remote request for GET_IQ of node {node}" and request["link_ignores"]
    # The simulator does not answer requests; its own Iq frames are what the link takes.
    assert all(by_node(report)[node]["messages"]["GET_IQ"]["rate"] > 0 for node in (0, 1))
    assert any(note.endswith("remote requests: the link ignores them; an ODrive answers each with a data frame, "
                             "which it takes like any other") for note in report["notes"])
    screen = render(report)
    assert "remote request for GET_IQ of node 0" in screen and "; the link ignores them" in screen
    assert "OK: nodes 0 1 send all six telemetry messages" in screen


@pytest.mark.skipif(NO_FD is not None, reason=str(NO_FD))
def test_can_fd_frames_count_in_rate_and_load(bus):
    sender = CanPeer(SECOND_INTERFACE)
    try:
        report = check_json_while(lambda: sender.send_fd(0x7F0, bytes(range(64))), SECOND_INTERFACE,
                                  "--seconds", "1", "--bitrate", "500000")
    finally:
        sender.close()
    (other,) = report["other_frames"]
    assert other["fd"] and other["lengths"] == [64] and other["what"].startswith("CAN FD ")
    assert report["frames"] == report["fd_frames"] == other["count"] > 10
    assert report["frame_rate"] == pytest.approx(report["frames"] / report["listened_s"])
    # 512 data bits, and at least 62 more: identifier and flags, the CRC field, the end.
    per_frame = report["bus_load"] * 500000 * report["listened_s"] / report["frames"]
    assert 574 <= per_frame <= 760
    assert f"bus: {report['frames']} frames ({report['frames']} of them CAN FD)" in render(report)


def test_an_interface_that_vanishes_while_listening_gets_one_line_and_status_1(unpluggable_bus):
    name, unplugged = unpluggable_bus
    with subprocess.Popen([CHECK, name, "--seconds", "60", "--expect", "0"], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as check:
        try:
            assert check.stderr.readline() == LISTENING.format(name, 60)
            with unplugged():
                out, err = check.communicate(timeout=HANG_GUARD)
        finally:
            if check.poll() is None:
                check.kill()
                check.wait()
    assert (check.returncode, out) == (1, "")
    assert re.fullmatch(rf"torvane-check: {name} disappeared \d+\.\d s into the listen \(an adapter unplugged, or its "
                        rf"driver unloaded\): nothing more to listen to\n", err), err


# ---- the interface ----

# an 8-byte standard frame takes 111 bits before stuffing and at most 135 after
BITS_PER_FRAME = (111, 135)


def test_interface_and_controller_as_the_system_reports_them(bus, start_sim):
    start_sim(*STEADY)
    extra = ["--bitrate", "500000"] if VIRTUAL else []
    report = check_json(bus, "--seconds", "2", "--expect", "0", "1", *extra)
    interface = report["interface"]
    assert (interface["name"], interface["up"], report["status"]) == (bus, True, 0), report["problems"]
    assert interface["txqueuelen"] is not None and interface["qdisc"]
    screen = render(report)
    controller_fields = ["bitrate", "sample_point", "can_state", "tx_error_counter", "rx_error_counter", "restarts"]
    if VIRTUAL:
        assert (interface["kind"], interface["controller"]) == ("vcan", False)
        assert all(interface[field] is None for field in controller_fields)
        assert set(controller_fields) <= set(interface["not_applicable"])
        assert "bitrate, sample point, CAN state, error counters, restarts: not applicable (vcan has no CAN " \
               "controller)" in screen
        assert "ERROR-ACTIVE" not in screen and "bit/s, sample point" not in screen
        assert f"  txqueuelen {interface['txqueuelen']} frames, qdisc " in screen
        bitrate = 500000
        assert report["bus_load_assumed"] and "(assumed with --bitrate)" in screen
    else:
        assert (interface["kind"], interface["controller"], interface["driver"]) == ("can", True, "kvaser_pci")
        bitrate = BITRATE or 1_000_000  # the bench's, or what tests/run --bitrate set
        assert (interface["bitrate"], interface["can_state"]) == (bitrate, "ERROR-ACTIVE")
        assert 0.5 < interface["sample_point"] < 1.0
        assert (interface["tx_error_counter"], interface["rx_error_counter"], interface["restarts"]) == (0, 0, 0)
        assert interface["not_applicable"] == [] and interface["not_reported"] == []
        assert f"bitrate {bitrate} bit/s, sample point {100.0 * interface['sample_point']:.1f} %" in screen
        assert "CAN state ERROR-ACTIVE" in screen and f"  txqueuelen {interface['txqueuelen']} frames, " in screen
        assert "OK: nodes 0 1 send all six telemetry messages; can0 is ERROR-ACTIVE".replace("can0", bus) in screen
        assert not report["bus_load_assumed"]
    per_frame = report["bus_load"] * bitrate * report["listened_s"] / report["frames"]
    assert BITS_PER_FRAME[0] <= per_frame <= BITS_PER_FRAME[1]
    assert report["frame_rate"] == pytest.approx(report["frames"] / report["listened_s"])
    assert [node["source"] for node in report["nodes"]] == ["this machine"] * 2
    assert "node 0: IDLE, no axis error, sent by a program on this computer" in screen
    if BITRATE:
        # The queue shaped to the bitrate's frame rate (busrate.py), its rate in tc's unit and in frames.
        (shaper,) = [q for q in interface["qdiscs"] if q.startswith("tbf ")]
        rate_bytes, frames = re.fullmatch(r"tbf \(rate (\d+) bytes/s, (\d+) frames/s\)", shaper).groups()
        assert int(frames) == round(int(rate_bytes) / 16) == pytest.approx(BITRATE / BITS_PER_FRAME[1], abs=2)
        assert f"qdisc {shaper}, prio" in screen


@pytest.mark.skipif(WIRE is None, reason="no wire between two controllers on vcan")
def test_nodes_across_the_wire_come_from_the_bus(start_sim):
    near, far = WIRE
    start_sim(*STEADY, interface=near)
    report = check_json(far, "--seconds", "2", "--expect", "0", "1")
    assert report["status"] == 0, report["problems"]
    assert [node["source"] for node in report["nodes"]] == ["the bus", "the bus"]
    assert "node 1: IDLE, no axis error, sent by a device on the bus" in render(report)
    assert report["during_check"]["rx_frames"] >= report["frames"] > 0


def test_an_interface_brought_down_reads_as_down():
    subprocess.run(["ip", "link", "set", SECOND_INTERFACE, "down"], check=True)
    try:
        report = check_json(SECOND_INTERFACE, "--expect", "0")
        screen = run_check(SECOND_INTERFACE).stdout
    finally:
        subprocess.run(["ip", "link", "set", SECOND_INTERFACE, "up"], check=True)
    assert (report["interface"]["up"], report["status"], report["listened_s"]) == (False, 1, 0.0)
    assert report["problems"] == [f"{SECOND_INTERFACE} is down: nothing to listen to; bring it up: "
                                  f"sudo ip link set {SECOND_INTERFACE} up"]
    assert f"interface {SECOND_INTERFACE}: DOWN" in screen and "PROBLEM: " in screen
    if not VIRTUAL:
        assert report["interface"]["can_state"] == "STOPPED"
        assert "CAN state STOPPED" in screen
    assert check_json(SECOND_INTERFACE, "--seconds", "0.5")["interface"]["up"]


# ---- bad input ----

def no_can_sockets():
    if platform.machine() != "x86_64":
        pytest.skip("the seccomp filter of no_can_sockets.py is written for x86_64")
    return [sys.executable, program("no_can_sockets.py")]


@pytest.mark.parametrize("interface, args, env, message", [
    ("nosuch0", [], None, "torvane-check: no interface nosuch0 here (`ip link` lists the interfaces)"),
    ("lo", [], None, "torvane-check: lo is not a CAN interface (its link type is loopback)"),
    (INTERFACE, [], "no-can-sockets", f"torvane-check: no permission to open a CAN socket on {INTERFACE}: "
                                      "Permission denied"),
    (INTERFACE, [], {"PATH": "/nonexistent"}, "torvane-check: ip (iproute2) is not installed: it reports the "
                                              "interface"),
    (INTERFACE, ["--seconds", "0"], None, "torvane-check: error: argument --seconds: 0 s: listen for more than 0"),
    (INTERFACE, ["--expect", "64"], None, "torvane-check: error: argument --expect: node id 64 is outside 0 to 63"),
    (INTERFACE, ["--bitrate", "fast"], None, "torvane-check: error: argument --bitrate: 'fast' is not a bitrate"),
], ids=["no-such-interface", "not-can", "no-permission", "no-iproute2", "seconds", "node-id", "bitrate"])
def test_bad_input_gets_one_line_and_status_2(bus, interface, args, env, message):
    wrapper = ()
    if env == "no-can-sockets":
        wrapper, env = no_can_sockets(), None
    done = run_check(interface, *args, env=env, wrapper=wrapper)
    assert (done.returncode, done.stdout) == (2, "")
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith(message), done.stderr
    if not message.startswith("torvane-check: error:"):  # argparse's usage line comes before its error
        assert done.stderr.count("\n") == 1
