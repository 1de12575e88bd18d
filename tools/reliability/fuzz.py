"""Fuzzed frames: a seeded flood of random CAN frames into a live link while Python
reads its getters and a controller on nodes 0 and 1 runs its loop in position
mode on the same link; afterwards every cached value of every node must equal
what a model of the decoding rules computes from the frames that were sent.

Usage: fuzz.py --iface IF --count N --seed S --sender PATH --result PATH
"""

import argparse
import faulthandler
import json
import os
import random
import socket
import struct
import subprocess
import sys
import threading
import time

import torvane
from torvane_dev.canpeer import SK_MEMINFO_DROPS, socket_meminfo
from torvane_dev.procfs import fd_targets, new_can_socket_fd
from torvane_dev.protocol import (
    CAN_EFF_FLAG,
    CAN_ERR_FLAG,
    CAN_FRAME,
    CAN_RTR_FLAG,
    GET_BUS_VOLTAGE_CURRENT,
    GET_ENCODER_ESTIMATES,
    GET_IQ,
    GET_TEMPERATURE,
    GET_TORQUES,
    GETTERS,
    HEARTBEAT,
    command_of,
    node_of,
)
from torvane_dev.results import write_result

PAIRS = {
    GET_ENCODER_ESTIMATES: ("getPositionEstimate", "getVelocityEstimate"),
    GET_IQ: ("getIqSetpoint", "getIqMeasured"),
    GET_TEMPERATURE: ("getFETTemperature", "getMotorTemperature"),
    GET_BUS_VOLTAGE_CURRENT: ("getBusVoltage", "getBusCurrent"),
}
U32 = struct.Struct("<I")
F32 = struct.Struct("<f")
F32_PAIR = struct.Struct("<ff")
SENDER_TIMEOUT = 900.0   # seconds; only catches a hang
SENTINEL_TIMEOUT = 60.0


def model(frames: bytes, remote_as_data=False, ignore_length=False, ignore_extended=False) -> tuple[list[dict], dict]:
    """The cache as the decoding rules say it must be after `frames`, in order.
    The keyword arguments break one rule each, to show what the comparison catches."""
    cache = [{name: (0 if name in ("getAxisError", "getAxisState") else 0.0) for name in GETTERS} for _ in range(64)]
    tally = dict(applied=0, remote=0, error=0, short=0, not_telemetry=0)
    for can_id, length, data in CAN_FRAME.iter_unpack(frames):
        if can_id & CAN_ERR_FLAG:
            tally["error"] += 1
            continue
        if can_id & CAN_RTR_FLAG and not remote_as_data:
            tally["remote"] += 1
            continue
        if ignore_extended and can_id & CAN_EFF_FLAG:
            continue
        if ignore_length:
            length = 8
        record = cache[node_of(can_id)]
        command = command_of(can_id)
        if command == HEARTBEAT:
            if length < 5:
                tally["short"] += 1
                continue
            record["getAxisError"] = U32.unpack_from(data)[0]
            record["getAxisState"] = data[4]
        elif command == GET_TORQUES:
            if length < 4:
                tally["short"] += 1
                continue
            record["getTorqueEstimate"] = F32.unpack_from(data)[0]
        elif command in PAIRS:
            if length < 8:
                tally["short"] += 1
                continue
            first, second = PAIRS[command]
            record[first], record[second] = F32_PAIR.unpack(data)
        else:
            tally["not_telemetry"] += 1
            continue
        tally["applied"] += 1
    return cache, tally


def same(a, b) -> bool:
    """Equal as delivered: integers by value, floats bit for bit (NaN payloads included)."""
    if isinstance(a, float) or isinstance(b, float):
        return isinstance(a, float) and isinstance(b, float) and struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


class GetterReader(threading.Thread):
    """Reads every getter of random nodes, and the controller's state, in a loop."""

    def __init__(self, link, ctrl, seed):
        super().__init__(daemon=True)
        self.link, self.ctrl, self.rng = link, ctrl, random.Random(seed)
        self.stop = threading.Event()
        self.calls = 0
        self.errors = []

    def run(self):
        getters = [getattr(self.link, name) for name in GETTERS]
        command = torvane.MotorCommand()
        try:
            while not self.stop.is_set():
                node = self.rng.randrange(64)
                values = [getter(node) for getter in getters]
                if not (type(values[0]) is int and type(values[1]) is int and
                        all(type(v) is float for v in values[2:])):
                    self.errors.append(f"getter types for node {node}: {[type(v).__name__ for v in values]}")
                    return
                self.ctrl.get_motor_states()
                self.ctrl.get_axis_state()
                self.calls += len(getters) + 2
                if self.calls % 1300 == 0:  # now and then a new command for the running loop
                    command.position_setpoint = [self.rng.uniform(-2, 2), self.rng.uniform(-2, 2)]
                    self.ctrl.update_command(command)
        except BaseException as error:  # reported by the main thread
            self.errors.append(repr(error))


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--iface", default="vcan0")
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--sender", required=True)
    parser.add_argument("--result", required=True)
    parser.add_argument("--frames", default="/tmp/fuzz-frames.bin")
    args = parser.parse_args()
    faulthandler.dump_traceback_later(SENDER_TIMEOUT + 300, exit=True)  # a hang ends in a traceback, not silence

    result = dict(item="fuzz", seed=args.seed, frames_requested=args.count, iface=args.iface, failures=[])
    failures = result["failures"]
    rng = random.Random(args.seed)
    sentinel = struct.pack("<ff", rng.uniform(1000.0, 2000.0), rng.uniform(-2000.0, -1000.0))
    sentinel_values = F32_PAIR.unpack(sentinel)

    before = fd_targets()
    link = torvane.ODriveSocket(args.iface)
    link_fd = new_can_socket_fd(before)
    link_view = socket.socket(fileno=os.dup(link_fd))  # read-only use: SO_MEMINFO
    drops_start = socket_meminfo(link_view)[SK_MEMINFO_DROPS]

    ctrl = torvane.MotorController(link, [0, 1])
    ctrl.set_control_mode(torvane.ODriveControlMode.POSITION)
    command = torvane.MotorCommand()
    command.position_setpoint = [0.5, -0.5]
    command.kp, command.kd = [2.0, 2.0], [0.1, 0.1]
    command.stiffness, command.damping, command.velocity_integrator = [20.0, 20.0], [0.2, 0.2], [0.1, 0.1]
    ctrl.update_command(command)
    ctrl.initialize_control_thread()

    reader = GetterReader(link, ctrl, args.seed)
    reader.start()

    started = time.monotonic()
    calls_at_start = reader.calls
    sender = subprocess.Popen(
        [args.sender, "--iface", args.iface, "--count", str(args.count), "--seed", str(args.seed),
         "--link-fd", str(link_view.fileno()), "--sentinel", sentinel.hex(), "--frames-out", args.frames],
        stdout=subprocess.PIPE, pass_fds=(link_view.fileno(),), text=True)
    try:
        out, _ = sender.communicate(timeout=SENDER_TIMEOUT)
    except subprocess.TimeoutExpired:
        sender.kill()
        sender.communicate()
        failures.append(f"the sender did not finish within {SENDER_TIMEOUT:.0f} s")
        out = ""
    calls_during_flood = reader.calls - calls_at_start
    if sender.returncode != 0:
        failures.append(f"the sender failed with status {sender.returncode}")
    sent = json.loads(out) if out.strip() else {}
    result["sender"] = sent

    # The sentinel is the last frame written: once the cache shows it, the receive
    # thread has handled every frame before it.
    deadline = time.monotonic() + SENTINEL_TIMEOUT
    while (link.getBusVoltage(63), link.getBusCurrent(63)) != sentinel_values:
        if time.monotonic() > deadline:
            failures.append(f"the link did not show the final sentinel frame within {SENTINEL_TIMEOUT:.0f} s")
            break
        time.sleep(0.01)
    flood_seconds = time.monotonic() - started
    drops_end = socket_meminfo(link_view)[SK_MEMINFO_DROPS]
    link_view.close()

    reader.stop.set()
    reader.join(60)
    if reader.is_alive():
        failures.append("the getter thread hung")
    failures.extend(f"getter thread: {e}" for e in reader.errors)
    if calls_during_flood == 0:
        failures.append("the getters made no progress while frames poured in")
    ctrl.stop_control_thread()

    try:
        with open(args.frames, "rb") as f:
            frames = f.read()
    except OSError as error:
        failures.append(f"no record of the frames sent: {error}")
        result["passed"] = False
        write_result(args.result, result)
        return 1
    model_started = time.monotonic()
    expected, tally = model(frames)
    model_seconds = time.monotonic() - model_started
    # How many cached values a link breaking one decoding rule would have got wrong
    # on these frames: what the comparison below is able to catch.
    sensitivity = {}
    for rule, broken in (("remote frames decoded as data", dict(remote_as_data=True)),
                         ("length not checked", dict(ignore_length=True)),
                         ("extended frames dropped", dict(ignore_extended=True))):
        other, _ = model(frames, **broken)
        sensitivity[rule] = sum(1 for node in range(64) for name in GETTERS
                                if not same(other[node][name], expected[node][name]))

    compared = mismatched = 0
    examples = []
    for node in range(64):
        for name in GETTERS:
            got = getattr(link, name)(node)
            want = expected[node][name]
            compared += 1
            if not same(got, want):
                mismatched += 1
                if len(examples) < 20:
                    examples.append(f"node {node} {name}: cached {got!r}, model {want!r}")
    state = ctrl.get_motor_states()
    for field, name in (("position", "getPositionEstimate"), ("velocity", "getVelocityEstimate"),
                        ("torque_estimate", "getTorqueEstimate"), ("current_setpoint", "getIqSetpoint"),
                        ("current_measured", "getIqMeasured")):
        for node in (0, 1):
            compared += 1
            if not same(getattr(state, field)[node], expected[node][name]):
                mismatched += 1
                examples.append(f"controller state {field}[{node}]: {getattr(state, field)[node]!r}, "
                                f"model {expected[node][name]!r}")
    names = {0: "UNDEFINED", 1: "IDLE", 8: "CLOSED_LOOP_CONTROL"}
    want_states = [names.get(expected[n]["getAxisState"], "UNKNOWN") for n in (0, 1)]
    compared += 1
    if ctrl.get_axis_state() != want_states:
        mismatched += 1
        examples.append(f"controller axis states {ctrl.get_axis_state()}, model {want_states}")
    set_values = sum(1 for node in range(64) for name in GETTERS
                     if not same(expected[node][name], 0 if name in ("getAxisError", "getAxisState") else 0.0))

    del ctrl
    del link

    written = len(frames) // CAN_FRAME.size
    if sent:
        if sent["written"] != written:
            failures.append(f"the sender reported {sent['written']} frames but recorded {written}")
        if sent["rejected"]:
            failures.append(f"the kernel refused {sent['rejected']} frames (errno {sent['rejected_errno']})")
        if sent["observed"] + sent["undeliverable"] != written or sent["observer_missing"]:
            failures.append(f"only {sent['observed']} of {written} frames came back on the bus "
                            f"({sent['observer_missing']} missing, {sent['undeliverable']} error frames "
                            "without an error class, which no socket receives)")
        if sent["observer_late"]:
            failures.append(f"{sent['observer_late']} frames came back on the bus out of order")
        if sent["other_frames"]:
            failures.append(f"{sent['other_frames']} frames on the bus came from neither the sender nor the controller")
        if sent["stalled"]:
            failures.append("the bus or the link's socket made no progress for a minute")
        if sent["observer_overflows"]:
            failures.append(f"the observer socket overflowed ({sent['observer_overflows']} drops)")
        if sent["link_drops_after"] != sent["link_drops_before"]:
            failures.append("the kernel dropped frames on the link's socket: "
                            f"{sent['link_drops_after'] - sent['link_drops_before']}")
        for node, counts in sent["controller_frames"].items():
            if min(counts) == 0:
                failures.append(f"the controller's loop sent no position-mode frames to node {node}: {counts}")
    if drops_end != drops_start:
        failures.append(f"the link's socket drop counter went from {drops_start} to {drops_end}")
    if written < args.count + 1:
        failures.append(f"only {written} of {args.count + 1} frames were written")
    if mismatched:
        failures.append(f"{mismatched} of {compared} cached values differ from the model")
        failures.extend(examples)

    result.update(
        frames_sent=written,
        random_frames=written - 1,
        extended=sent.get("extended"), remote=sent.get("remote"), error_flag=sent.get("error_flag"),
        model=tally,
        values_compared=compared, values_mismatched=mismatched, cached_values_set_by_frames=set_values,
        values_wrong_if=sensitivity,
        model_seconds=round(model_seconds, 3),
        link_socket_drops=drops_end - drops_start,
        getter_calls=reader.calls, getter_calls_during_flood=calls_during_flood,
        controller_frames_during_flood=sum(sum(c) for c in sent.get("controller_frames", {}).values()),
        flood_seconds=round(flood_seconds, 3),
        frames_per_second=round(written / flood_seconds) if flood_seconds > 0 else None,
        passed=not failures,
    )
    write_result(args.result, result)
    return 0 if not failures else 1


if __name__ == "__main__":
    sys.exit(main())
