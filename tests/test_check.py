"""The bus check (the torvane-check command) against the simulator on the bus: what it
says of each node's telemetry, of faults, of the interface and its controller, its
exit status with --expect, and its one line for bad input."""

import json
import platform
import subprocess
import sys
import threading
import time

import pytest

from torvane_dev import program
from torvane_dev.buses import BITRATE, INTERFACE, SECOND_INTERFACE, WIRE, is_virtual
from torvane_dev.canpeer import CanPeer
from torvane_dev.protocol import CAN_EFF_FLAG, SET_AXIS_STATE, SET_TORQUE, TELEMETRY_MESSAGES, arb_id
from torvane_dev.simfixture import CHECK, HANG_GUARD
from torvane_tools.check import render

VIRTUAL = is_virtual(INTERFACE)
ALL_SIX = [message.name for message in TELEMETRY_MESSAGES]
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


def by_node(report):
    return {node["node"]: node for node in report["nodes"]}


# ---- telemetry ----

def test_names_every_message_an_axis_does_not_send(bus, start_sim):
    """Node i is told not to send message i; node 6 sends them all."""
    rates = [arg for i, message in enumerate(TELEMETRY_MESSAGES)
             for arg in ("--msg-rate-ms", f"{i}:{message.setting}=0")]
    start_sim(*rates, nodes=range(7))
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


def test_silent_node_axis_error_and_reboot_as_they_happen(bus, start_sim, peer):
    """Faults at given times of the simulator, while the check listens: node 1 falls silent,
    node 0 raises the watchdog error, node 2 reboots out of closed loop."""
    with subprocess.Popen([CHECK, bus, "--json", "--seconds", "12", "--expect", "0", "1", "2"],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as check:
        try:
            assert check.stderr.readline() == LISTENING.format(bus, 12)
            start_sim("--silent-at", "1", "3", "--error-at", "0", hex(WATCHDOG), "3", "--reboot-at", "2", "3",
                      "--reboot-ms", "1500", nodes=(0, 1, 2))
            peer.send(arb_id(2, SET_AXIS_STATE), bytes([8, 0, 0, 0]))
            out, err = check.communicate(timeout=HANG_GUARD)
        finally:
            if check.poll() is None:
                check.kill()
                check.wait()
    assert err == "" and check.returncode == 1, err
    report = json.loads(out)
    nodes = by_node(report)
    assert sorted(nodes) == [0, 1, 2], report["problems"]

    silent = nodes[1]
    assert silent["fell_silent"] and silent["silent_for_s"] > 1.0
    assert f"node 1: fell silent, nothing heard for the last {silent['silent_for_s']:.2f} s" in report["problems"]

    faulted = nodes[0]
    assert (faulted["axis_error"], faulted["axis_error_names"]) == (WATCHDOG, ["WATCHDOG_TIMER_EXPIRED"])
    assert [(c["axis_state_name"], c["axis_error"]) for c in faulted["heartbeat_changes"]] == [
        ("IDLE", 0), ("IDLE", WATCHDOG)]
    assert any("WATCHDOG_TIMER_EXPIRED" in note and "clearErrors" in note for note in report["notes"])

    rebooted = nodes[2]
    assert [c["axis_state_name"] for c in rebooted["heartbeat_changes"]] == ["IDLE", "CLOSED_LOOP_CONTROL", "IDLE"]
    assert rebooted["messages"]["HEARTBEAT"]["longest_gap_s"] >= 1.4
    assert not rebooted["fell_silent"] and rebooted["axis_error"] == 0

    assert report["status"] == 1
    assert [p.split(":")[0] for p in report["problems"]] == ["node 1"]  # an axis error is a note only
    screen = render(report)
    assert "node 1: IDLE, no axis error (from this machine), SILENT for the last" in screen
    assert "node 0: IDLE, axis error 0x1000000 WATCHDOG_TIMER_EXPIRED" in screen
    assert "heartbeat: IDLE from " in screen and ", then CLOSED_LOOP_CONTROL from " in screen


@pytest.mark.parametrize("expect, status, says", [
    ([], 0, None),
    (["0", "1"], 0, "OK: nodes 0 1 send all six telemetry messages"),
    (["1"], 0, "OK: node 1 sends all six telemetry messages"),
    (["0", "1", "5"], 1, "PROBLEM: node 5: nothing heard in 1 s"),
], ids=["no-expect", "both", "one", "missing-node"])
def test_expect_decides_the_exit_status(bus, start_sim, expect, status, says):
    start_sim()
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
    start_sim()
    stop = threading.Event()
    sender = CanPeer(bus)

    def send():
        while not stop.is_set():
            sender.send(arb_id(0, SET_TORQUE), bytes(4))
            sender.send(arb_id(5, 0x03), bytes(8))
            sender.send(CAN_EFF_FLAG | 0x18FF0029, bytes(8))  # low bits: node 1, command 9
            time.sleep(0.02)

    thread = threading.Thread(target=send)
    thread.start()
    try:
        report = check_json(bus, "--seconds", "2", "--expect", "0", "1")
    finally:
        stop.set()
        thread.join()
        sender.close()
    others = {other["can_id"]: other for other in report["other_frames"]}
    assert set(others) == {"0x00e", "0x0a3", "0x18ff0029"}
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


# ---- the interface ----

# an 8-byte standard frame takes 111 bits before stuffing and at most 135 after
BITS_PER_FRAME = (111, 135)


def test_interface_and_controller_as_the_system_reports_them(bus, start_sim):
    start_sim()
    extra = ["--bitrate", "500000"] if VIRTUAL else []
    report = check_json(bus, "--seconds", "2", "--expect", "0", "1", *extra)
    interface = report["interface"]
    assert (interface["name"], interface["up"], report["status"]) == (bus, True, 0)
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
        bitrate = 500000
        assert report["bus_load_assumed"] and "(assumed with --bitrate)" in screen
    else:
        assert (interface["kind"], interface["controller"], interface["driver"]) == ("can", True, "kvaser_pci")
        bitrate = BITRATE or 1_000_000  # the bench's, or what tests/run --bitrate set
        assert (interface["bitrate"], interface["can_state"]) == (bitrate, "ERROR-ACTIVE")
        assert 0.5 < interface["sample_point"] < 1.0
        assert (interface["tx_error_counter"], interface["rx_error_counter"], interface["restarts"]) == (0, 0, 0)
        assert interface["not_applicable"] == [] and interface["not_reported"] == []
        assert f"bitrate {bitrate} bit/s" in screen and "CAN state ERROR-ACTIVE" in screen
        assert "OK: nodes 0 1 send all six telemetry messages; can0 is ERROR-ACTIVE".replace("can0", bus) in screen
        assert not report["bus_load_assumed"]
    per_frame = report["bus_load"] * bitrate * report["listened_s"] / report["frames"]
    assert BITS_PER_FRAME[0] <= per_frame <= BITS_PER_FRAME[1]
    assert report["frame_rate"] == pytest.approx(report["frames"] / report["listened_s"])


@pytest.mark.skipif(WIRE is None, reason="no wire between two controllers on vcan")
def test_nodes_across_the_wire_come_from_the_bus(start_sim):
    near, far = WIRE
    start_sim(interface=near)
    report = check_json(far, "--seconds", "2", "--expect", "0", "1")
    assert report["status"] == 0, report["problems"]
    assert [node["source"] for node in report["nodes"]] == ["the bus", "the bus"]
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
