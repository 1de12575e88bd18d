"""torvane-check: what torvane will see on a CAN bus.

Reads the interface from iproute2 (`ip -details -statistics -json link show`, `tc -json
qdisc show`), listens for a few seconds and prints one screen: the interface and its
controller, every ODrive node heard with the telemetry messages it sends and the link's
getters that would read 0 because their message never came in a frame the link takes,
the node's pauses, reboots and exits from closed loop, the frames that are not telemetry,
the frame rate and bus load. Frames are judged by the link's own rules (see `taken_by_link`).
`--expect NODE...` turns what is wrong into a non-zero exit; `--json` gives the same report
to programs.
"""

import argparse
import bisect
import errno
import json
import math
import os
import select
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import time
from itertools import pairwise
from typing import NamedTuple

from torvane_tools.protocol import (
    CAN_EFF_FLAG,
    CAN_EFF_MASK,
    CAN_ERR_FLAG,
    CAN_FRAME,
    CAN_RAW_ERR_FILTER,
    CAN_RAW_FD_FRAMES,
    CAN_RTR_FLAG,
    CAN_SFF_MASK,
    CANFD_BRS,
    CANFD_FRAME,
    CLOSED_LOOP_CONTROL,
    COMMAND_NAMES,
    IDLE,
    SO_RCVBUFFORCE,
    SO_RXQ_OVFL,
    SO_TIMESTAMPNS,
    TELEMETRY_BY_COMMAND,
    TELEMETRY_MESSAGES,
    UNDEFINED,
    axis_error_names,
    axis_state_name,
    command_of,
    node_id,
    node_of,
)
from torvane_tools.wire import fd_frame_bits, frame_bits, most_frame_bits

OK, PROBLEMS, BAD_INPUT = 0, 1, 2

CAN_ERR_MASK = 0x1FFFFFFF
MSG_DONTROUTE = socket.MSG_DONTROUTE  # set by SocketCAN on frames sent from this machine
TIMESPEC = struct.Struct("=qq")
U32 = struct.Struct("=I")
CAN_MTU = 16  # what the kernel's queues count for a classic frame
MESSAGE_NAMED = {message.name: message for message in TELEMETRY_MESSAGES}

# Error frame classes (linux/can/error.h), as a person names them.
ERROR_CLASSES = {
    0x001: "transmit timeout", 0x002: "arbitration lost", 0x004: "controller problem",
    0x008: "protocol violation", 0x010: "transceiver problem", 0x020: "no ACK on transmission",
    0x040: "bus off", 0x080: "bus error", 0x100: "controller restarted",
}
CAN_ERR_CRTL = 0x004
# What a controller problem was (data byte 1 of its error frame).
CONTROLLER_PROBLEMS = {
    0x01: "receive overflow", 0x02: "transmit overflow", 0x04: "receive warning", 0x08: "transmit warning",
    0x10: "receive passive", 0x20: "transmit passive", 0x40: "back to error-active",
}
# Controller states in which the bus works; the others are reported with what they mean.
CAN_STATE_MEANING = {
    "ERROR-WARNING": "errors on the bus (counter at 96 or more): check that every node uses this bitrate, "
                     "the termination (120 ohm at both ends of the bus) and the wiring",
    "ERROR-PASSIVE": "many errors on the bus (counter at 128 or more; a node alone on the bus, with nobody to "
                     "acknowledge its frames, ends here too): check the other nodes' power and bitrate, "
                     "the termination and the wiring",
    "BUS-OFF": "the controller left the bus after too many errors: fix the cause, then restart it "
               "(ip link set IFACE type can restart, or set restart-ms)",
    "STOPPED": "the interface is down",
    "SLEEPING": "the controller sleeps",
}
DEFAULT_QDISCS = {"pfifo_fast", "fq_codel", "noqueue", "pfifo", "mq"}
# Queueing disciplines whose limit counts bytes; the others count packets (frames).
LIMIT_IN_BYTES = {"bfifo", "tbf"}
FALL_SILENT_MIN_S = 0.5  # a node quiet for less than this has not fallen silent or paused
GAP_PERIODS = 4  # a heartbeat gap longer than this many of the node's own periods is an interruption
# The states an ODrive comes back in after a reboot.
BOOT_STATES = {UNDEFINED, IDLE, 2}  # 2: STARTUP_SEQUENCE
# Who sent a node's frames, in words: SocketCAN marks frames sent from this machine.
SENDERS = {"this machine": "a program on this computer", "the bus": "a device on the bus",
           "this machine and the bus": "a program on this computer and a device on the bus"}


class BadInput(Exception):
    """Input the check cannot work with: one line for the user, exit status 2."""


class Vanished(Exception):
    """The interface disappeared while the check listened: one line, exit status 1."""


# ---- the interface, as iproute2 reports it ----

def run_json(command):
    """The parsed JSON output of an iproute2 command; BadInput with its own message."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=30, check=False)
    except FileNotFoundError:
        raise BadInput(f"{command[0]} (iproute2) is not installed: it reports the interface") from None
    except subprocess.TimeoutExpired:
        raise BadInput(f"{' '.join(command)} did not answer in 30 s") from None
    if done.returncode != 0:
        raise BadInput(done.stderr.strip().splitlines()[0] if done.stderr.strip() else
                       f"{' '.join(command)} failed with status {done.returncode}")
    try:
        return json.loads(done.stdout)
    except json.JSONDecodeError:
        raise BadInput(f"{' '.join(command)} printed no JSON (is iproute2 too old for -json?)") from None


def read_link(name):
    ip = shutil.which("ip") or "ip"
    try:
        records = run_json([ip, "-details", "-statistics", "-json", "link", "show", "dev", name])
    except BadInput as exc:
        if "does not exist" in str(exc):
            raise BadInput(f"no interface {name} here (`ip link` lists the interfaces)") from None
        raise
    if not records:
        raise BadInput(f"no interface {name}")
    return records[0]


def read_qdiscs(name):
    """The interface's queueing disciplines, root first, e.g. ["pfifo_fast"]; None without tc."""
    tc = shutil.which("tc")
    if tc is None:
        return None
    try:
        records = run_json([tc, "-json", "qdisc", "show", "dev", name])
    except BadInput:
        return None
    records.sort(key=lambda record: not record.get("root", False))
    return [describe_qdisc(record) for record in records]


def describe_qdisc(record):
    """A queueing discipline and the options that hold frames back, with their units."""
    kind = record.get("kind", "?")
    options = record.get("options") or {}
    details = []
    if isinstance(options.get("rate"), (int, float)):
        rate_bytes = options["rate"]  # tc gives bytes/s; the kernel counts 16 bytes a classic frame
        details.append(f"rate {rate_bytes} bytes/s, {rate_bytes / CAN_MTU:.0f} frames/s")
    if isinstance(options.get("limit"), (int, float)):
        details.append(f"limit {options['limit']} {'bytes' if kind in LIMIT_IN_BYTES else 'frames'}")
    delay = options.get("delay")
    if isinstance(delay, dict):
        delay = delay.get("delay")
    if isinstance(delay, (int, float)):
        details.append(f"delay {delay * 1000.0:g} ms")  # tc gives seconds
    return kind + (f" ({', '.join(details)})" if details else "")


def driver_of(name):
    try:
        return os.path.basename(os.readlink(f"/sys/class/net/{name}/device/driver"))
    except OSError:
        return None


def describe_interface(record, qdiscs):
    """The interface part of the report, from `ip -details -statistics -json link show`."""
    name = record["ifname"]
    link_type = record.get("link_type")
    if link_type != "can":
        raise BadInput(f"{name} is not a CAN interface (its link type is {link_type or 'unknown'})")
    linkinfo = record.get("linkinfo") or {}
    kind = linkinfo.get("info_kind")
    data = linkinfo.get("info_data") or {}
    xstats = linkinfo.get("info_xstats") or {}
    stats = record.get("stats64") or record.get("stats") or {}
    interface = {
        "name": name,
        "up": "UP" in record.get("flags", []),
        "operstate": record.get("operstate"),
        "kind": kind,
        "driver": driver_of(name),
        "controller": kind == "can",
        "txqueuelen": record.get("txqlen"),
        "qdisc": record.get("qdisc"),
        "qdiscs": qdiscs,
        "rx_frames": stats.get("rx", {}).get("packets"),
        "tx_frames": stats.get("tx", {}).get("packets"),
        "rx_errors": stats.get("rx", {}).get("errors"),
        "rx_dropped": stats.get("rx", {}).get("dropped"),
        "tx_errors": stats.get("tx", {}).get("errors"),
        "tx_dropped": stats.get("tx", {}).get("dropped"),
    }
    controller_fields = {
        "bitrate": None, "data_bitrate": None, "sample_point": None, "can_state": None, "tx_error_counter": None,
        "rx_error_counter": None, "restarts": None, "restart_ms": None, "bus_errors": None,
        "error_warning": None, "error_passive": None, "bus_off": None, "arbitration_lost": None,
        "ctrlmode": None,
    }
    interface.update(controller_fields)
    if kind == "can":
        timing = data.get("bittiming") or {}
        counters = data.get("berr_counter") or {}
        sample_point = timing.get("sample_point")
        interface.update({
            "bitrate": timing.get("bitrate"),
            "data_bitrate": (data.get("data_bittiming") or {}).get("bitrate"),
            "sample_point": float(sample_point) if sample_point is not None else None,
            "can_state": data.get("state"),
            "tx_error_counter": counters.get("tx"),
            "rx_error_counter": counters.get("rx"),
            "restarts": xstats.get("restarts"),
            "restart_ms": data.get("restart_ms"),
            "bus_errors": xstats.get("bus_error"),
            "error_warning": xstats.get("error_warning"),
            "error_passive": xstats.get("error_passive"),
            "bus_off": xstats.get("bus_off"),
            "arbitration_lost": xstats.get("arbitration_lost"),
            "ctrlmode": data.get("ctrlmode", []),
        })
        # A classic controller has no data bitrate: that is not a gap in what the driver says.
        interface["not_reported"] = sorted(key for key in controller_fields
                                           if interface[key] is None and key != "data_bitrate")
        interface["not_applicable"] = []
    else:
        # vcan (and vxcan) forward frames in the kernel: there is no controller, so no
        # bitrate, CAN state or error counters to report.
        interface["not_reported"] = []
        interface["not_applicable"] = sorted(controller_fields)
    return interface


COUNTERS = ("rx_frames", "tx_frames", "rx_errors", "rx_dropped", "tx_errors", "tx_dropped", "restarts",
            "bus_errors", "error_warning", "error_passive", "bus_off", "arbitration_lost")


def counter_changes(before, after):
    """How much each interface counter grew while the check listened."""
    return {key: after[key] - before[key] for key in COUNTERS
            if isinstance(before.get(key), int) and isinstance(after.get(key), int)}


# ---- listening ----

class Heard(NamedTuple):
    """One frame as the check's socket received it."""

    stamp: float   # the kernel's receive time, wall clock
    can_id: int    # identifier with its flag bits
    length: int    # data bytes
    data: bytes
    local: bool    # sent from this machine
    fd: bool       # a CAN FD frame
    brs: bool      # with its data phase at the data bitrate


class Listener:
    """A raw CAN socket that receives every frame, CAN FD and error frames too, with the
    kernel's receive time and whether it was sent from this machine."""

    def __init__(self, interface):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 8 << 20)
            except OSError:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
            self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            self.sock.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
            self.sock.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_ERR_FILTER, CAN_ERR_MASK)
            try:
                self.sock.setsockopt(socket.SOL_CAN_RAW, CAN_RAW_FD_FRAMES, 1)
            except OSError:
                pass  # a kernel without CAN FD: no FD frames to miss
            self.sock.bind((interface,))
            self.sock.setblocking(False)
        except BaseException:
            self.sock.close()
            raise
        self.dropped = 0
        self.went_down = False
        self.vanished_after = None  # seconds into the listen when the interface disappeared
        self.ancillary = socket.CMSG_SPACE(TIMESPEC.size) + socket.CMSG_SPACE(U32.size)

    def close(self):
        self.sock.close()

    def listen(self, seconds):
        """Every frame of the next `seconds`, and the wall-clock start and end of that
        window; it ends early when the interface disappears (`vanished_after`)."""
        frames = []
        start = time.time()
        end = start + seconds
        deadline = time.monotonic() + seconds
        while (remaining := deadline - time.monotonic()) > 0 and self.vanished_after is None:
            readable, _, _ = select.select([self.sock], [], [], remaining)
            if readable:
                self._drain(frames, start)
        if self.vanished_after is None:
            self._drain(frames, start)  # what arrived before the end but was not read yet
        return [frame for frame in frames if start <= frame.stamp <= end], start, end

    def _drain(self, frames, start):
        while True:
            try:
                data, ancdata, flags, _ = self.sock.recvmsg(CANFD_FRAME.size, self.ancillary)
            except BlockingIOError:
                return
            except InterruptedError:
                continue
            except OSError as exc:
                if exc.errno == errno.ENETDOWN:  # the interface went down under the check
                    self.went_down = True
                    return
                if exc.errno == errno.ENODEV:  # ... or went away (an adapter unplugged)
                    self.vanished_after = time.time() - start
                    return
                raise
            if len(data) not in (CAN_FRAME.size, CANFD_FRAME.size):
                continue
            stamp = time.time()
            for level, kind, payload in ancdata:
                if level != socket.SOL_SOCKET:
                    continue
                if kind == SO_TIMESTAMPNS and len(payload) >= TIMESPEC.size:
                    seconds, nanoseconds = TIMESPEC.unpack_from(payload)
                    stamp = seconds + nanoseconds * 1e-9
                elif kind == SO_RXQ_OVFL and len(payload) >= U32.size:
                    self.dropped = U32.unpack_from(payload)[0]
            local = bool(flags & MSG_DONTROUTE)
            if len(data) == CAN_FRAME.size:
                can_id, length, payload = CAN_FRAME.unpack(data)
                frames.append(Heard(stamp, can_id, min(length, 8), payload, local, False, False))
            else:
                can_id, length, fd_flags, payload = CANFD_FRAME.unpack(data)
                frames.append(Heard(stamp, can_id, min(length, 64), payload, local, True, bool(fd_flags & CANFD_BRS)))


# ---- what the frames say ----

def decode(message, length, data):
    """The fields of a telemetry message the frame carries; those past its length are None."""
    values = struct.unpack_from(message.layout, data)
    ends = [struct.calcsize(message.layout[:i + 2]) for i in range(len(message.fields))]  # "<IB": 4, 5
    return {field: value if end <= length else None
            for field, value, end in zip(message.fields, values, ends, strict=True)}


def rate(count, seconds):
    return count / seconds if seconds > 0 else 0.0


def source_of(local, remote):
    if local and remote:
        return "this machine and the bus"
    return "this machine" if local else "the bus"


def longest_gap(times):
    """The longest time without the message between its first and last arrival."""
    return max((b - a for a, b in pairwise(times)), default=0.0)


def taken_by_link(frame, message):
    """Whether the link stores this telemetry frame: a classic data frame no shorter than
    the bytes it reads (remote requests, error and CAN FD frames it never takes)."""
    return not frame.fd and not frame.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG) and frame.length >= message.link_length


def analyse(frames, start, end):
    """The report's bus part: nodes and their telemetry, other frames, error frames."""
    seconds = end - start
    nodes = {}
    others = {}
    error_classes = {}
    error_frames = 0
    bits = data_phase_bits = 0
    for frame in frames:
        can_id, length, data = frame.can_id, frame.length, frame.data
        if can_id & CAN_ERR_FLAG:
            error_frames += 1
            for bit, name in ERROR_CLASSES.items():
                if can_id & bit:
                    if bit == CAN_ERR_CRTL:
                        details = [what for flag, what in CONTROLLER_PROBLEMS.items() if data[1] & flag]
                        name += f" ({', '.join(details)})" if details else ""
                    error_classes[name] = error_classes.get(name, 0) + 1
            continue
        if frame.fd:
            nominal, fast = fd_frame_bits(can_id, length, data, frame.brs)
            bits += nominal
            data_phase_bits += fast
        else:
            bits += frame_bits(can_id, length, data)
        command = command_of(can_id)
        message = TELEMETRY_BY_COMMAND.get(command)
        if message is not None and not can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG):
            # A node's own telemetry, whether or not the link can take this frame of it.
            node = nodes.setdefault(node_of(can_id), {"times": [], "local": 0, "remote": 0, "messages": {}})
            node["times"].append(frame.stamp)
            node["local" if frame.local else "remote"] += 1
            seen = node["messages"].setdefault(message.name, {"times": [], "short": [], "fd": 0, "heartbeats": []})
            if taken_by_link(frame, message):
                seen["times"].append(frame.stamp)
                values = decode(message, length, data)
                seen["last"] = values
                if message.name == "HEARTBEAT":
                    seen["heartbeats"].append((frame.stamp, values["axis_state"], values["axis_error"]))
            elif frame.fd:
                seen["fd"] += 1
            else:
                seen["short"].append(length)
            continue
        key = (can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_EFF_MASK), frame.fd)
        other = others.setdefault(key, {"count": 0, "local": 0, "remote": 0, "lengths": set(), "decoded": 0})
        other["count"] += 1
        other["local" if frame.local else "remote"] += 1
        other["lengths"].add(length)
        if message is not None and taken_by_link(frame, message):
            other["decoded"] += 1  # an extended frame whose low eleven bits the link reads as telemetry

    report_nodes = [node_report(node, nodes[node], start, end) for node in sorted(nodes)]
    busiest_first = sorted(others, key=lambda key: -others[key]["count"])
    report_others = [other_report(key, others[key], seconds) for key in busiest_first]
    counted = sum(1 for frame in frames if not frame.can_id & CAN_ERR_FLAG)
    return {
        "frames": counted,
        "fd_frames": sum(1 for frame in frames if frame.fd),
        "frame_rate": rate(counted, seconds),
        "bits": bits,
        "data_phase_bits": data_phase_bits,
        "nodes": report_nodes,
        "other_frames": report_others,
        "error_frames": {"count": error_frames, "classes": error_classes},
    }


def interruptions(times, heartbeats, start, end):
    """The node's heartbeat period, the heartbeat gaps longer than a few of those periods,
    and each time the axis left CLOSED_LOOP_CONTROL, from the heartbeats the link took.
    `times` are all the node's frames: they tell a gap in the heartbeat alone from a node
    that went quiet altogether."""
    stamps = [stamp for stamp, _, _ in heartbeats]
    gaps = [b - a for a, b in pairwise(stamps)]
    if not gaps:
        return None, [], []
    period = statistics.median(gaps)
    limit = max(GAP_PERIODS * period, FALL_SILENT_MIN_S)
    found = []
    gap_before = {}  # index of the first heartbeat after a gap -> that gap
    for index, ((before, state_before, _), (after, state_after, error_after)) in enumerate(pairwise(heartbeats)):
        if after - before <= limit:
            continue
        # Quiet altogether: no frame of the node for longer than the limit within the gap.
        first = bisect.bisect_left(times, before)
        last = bisect.bisect_right(times, after)
        quiet = max((b - a for a, b in pairwise(times[first:last])), default=after - before)
        silent = quiet > limit
        found.append({
            "at_s": before - start, "lasted_s": after - before, "silent": silent,
            "state_before": axis_state_name(state_before), "state_after": axis_state_name(state_after),
            "axis_error_after": error_after,
            "rebooted": silent and state_after in BOOT_STATES and state_after != state_before,
            "left_closed_loop": None,
        })
        gap_before[index + 1] = found[-1]
    exits = []
    for index, (stamp, state, error) in enumerate(heartbeats):
        if index == 0 or state == CLOSED_LOOP_CONTROL or heartbeats[index - 1][1] != CLOSED_LOOP_CONTROL:
            continue
        back = next((later for later, later_state, _ in heartbeats[index:] if later_state == CLOSED_LOOP_CONTROL),
                    None)
        exits.append({
            "at_s": stamp - start, "to_state": axis_state_name(state), "axis_error": error,
            "axis_error_names": axis_error_names(error),
            "out_for_s": (back if back is not None else end) - stamp, "until_end": back is None,
            "after_gap": index in gap_before,
        })
        if index in gap_before:
            gap_before[index]["left_closed_loop"] = exits[-1]
    return period, found, exits


def node_report(node, seen, start, end):
    seconds = end - start
    times = seen["times"]
    gaps = [b - a for a, b in pairwise(times)]
    typical_gap = statistics.median(gaps) if gaps else seconds
    silent_s = end - times[-1]
    fell_silent = silent_s > max(FALL_SILENT_MIN_S, GAP_PERIODS * typical_gap)
    messages = {}
    missing = []
    for message in TELEMETRY_MESSAGES:
        got = seen["messages"].get(message.name)
        if got is None:
            messages[message.name] = None
            missing.append(message)
            continue
        messages[message.name] = {
            "count": len(got["times"]),
            "rate": rate(len(got["times"]), seconds),
            "longest_gap_s": longest_gap(got["times"]),
            "short_frames": len(got["short"]),
            "short_lengths": sorted(set(got["short"])),
            "fd_frames": got["fd"],
            "last": got.get("last"),
        }
        if not got["times"]:
            missing.append(message)  # it came, but only in frames the link does not take
    heartbeats = seen["messages"].get("HEARTBEAT", {}).get("heartbeats", [])
    period, gaps_found, exits = interruptions(times, heartbeats, start, end)
    report = {
        "node": node,
        "source": source_of(seen["local"], seen["remote"]),
        "frames": len(times),
        "silent_for_s": silent_s,
        "fell_silent": fell_silent,
        "axis_state": None, "axis_state_name": None, "axis_error": None, "axis_error_names": None,
        "heartbeat_changes": [],
        "heartbeat_period_s": period,
        "heartbeat_gaps": gaps_found,
        "closed_loop_exits": exits,
        "messages": messages,
        "missing": [message.name for message in missing],
        "reads_zero": [getter for message in missing for getter in message.getters],
        "rate_settings": [message.setting_path for message in missing],
    }
    if heartbeats:
        _, state, error = heartbeats[-1]
        report.update(axis_state=state, axis_state_name=axis_state_name(state),
                      axis_error=error, axis_error_names=axis_error_names(error))
        changes = [beat for index, beat in enumerate(heartbeats)
                   if index == 0 or beat[1:] != heartbeats[index - 1][1:]]
        report["heartbeat_changes"] = [
            {"at_s": stamp - start, "axis_state": state, "axis_state_name": axis_state_name(state),
             "axis_error": error, "axis_error_names": axis_error_names(error)}
            for stamp, state, error in changes]
    return report


def other_report(key, seen, seconds):
    can_id, fd = key
    extended = bool(can_id & CAN_EFF_FLAG)
    remote = bool(can_id & CAN_RTR_FLAG)
    ident = can_id & (CAN_EFF_MASK if extended else CAN_SFF_MASK)
    command = command_of(ident)
    node = node_of(ident)
    if extended:
        what = "extended-id frame (not ODrive)"
    elif remote:
        what = f"remote request for {COMMAND_NAMES.get(command, f'command 0x{command:02x}')} of node {node}"
    elif command in COMMAND_NAMES:
        what = f"{COMMAND_NAMES[command]} to node {node}"
    else:
        what = f"command 0x{command:02x} to node {node} (not one torvane sends or reads)"
    if fd:
        what = f"CAN FD {what}"
    # The link reads the low eleven bits of an extended frame too; remote requests and
    # CAN FD frames it never takes.
    message = TELEMETRY_BY_COMMAND.get(command)
    decoded = message is not None and seen["decoded"] > 0
    return {
        "can_id": f"0x{ident:08x}" if extended else f"0x{ident:03x}",
        "extended": extended,
        "remote": remote,
        "fd": fd,
        "what": what,
        "count": seen["count"],
        "rate": rate(seen["count"], seconds),
        "lengths": sorted(seen["lengths"]),
        "source": source_of(seen["local"], seen["remote"]),
        "node": None if extended else node,
        "link_ignores": remote or fd,
        "link_decodes_as": f"{message.name} of node {node}" if decoded else None,
        "link_decodes_count": seen["decoded"] if decoded else 0,
        "link_decodes_node": node if decoded else None,
    }


# ---- judging ----

def at(seconds):
    return f"{seconds:.2f} s into the listen"


def ignored_frames(message, seen):
    """The frames of a message the link ignores, in words: "12 frames of 4 bytes, shorter
    than the 8 it reads; 3 CAN FD frames, which it does not receive"."""
    parts = []
    if seen["short_frames"]:
        lengths = "/".join(str(length) for length in seen["short_lengths"])
        parts.append(f"{seen['short_frames']} frames of {lengths} bytes, shorter than the {message.link_length} "
                     f"it reads")
    if seen["fd_frames"]:
        parts.append(f"{seen['fd_frames']} CAN FD frames, which it does not receive")
    return "; ".join(parts)


def missing_problem(number, message, seen):
    """Why the link has nothing of one message of a node, and what reads 0 for it."""
    getters = " and ".join(message.getters)
    if seen is None:
        return (f"node {number}: {message.name} never came, so {getters} read 0: "
                f"set the axis' {message.words} ({message.setting_path}) above 0")
    return (f"node {number}: {message.name} came only in frames the link ignores ({ignored_frames(message, seen)}), "
            f"so {getters} read 0")


def interruption_problems(node):
    """A node's heartbeat gaps and exits from closed loop, one sentence each."""
    number = node["node"]
    period = node["heartbeat_period_s"]
    problems = []
    for gap in node["heartbeat_gaps"]:
        if gap["silent"]:
            text = (f"node {number}: nothing heard from it for {gap['lasted_s']:.2f} s from {at(gap['at_s'])} "
                    f"(its heartbeat comes every {period:.3f} s)")
        else:
            text = (f"node {number}: no heartbeat for {gap['lasted_s']:.2f} s from {at(gap['at_s'])} "
                    f"(it comes every {period:.3f} s), while its other messages kept coming")
        left = gap["left_closed_loop"]
        if left is not None:
            text += f", and came back in {gap['state_after']}, out of CLOSED_LOOP_CONTROL {out_for(left)}"
        elif gap["state_after"] != gap["state_before"]:
            text += f", and came back in {gap['state_after']}"
        if gap["rebooted"]:
            text += ": it rebooted or lost power"
        problems.append(text)
    for exit_ in node["closed_loop_exits"]:
        if exit_["after_gap"]:
            continue
        error = (f" with axis error 0x{exit_['axis_error']:x} ({', '.join(exit_['axis_error_names'])})"
                 if exit_["axis_error"] else "")
        problems.append(f"node {number}: left CLOSED_LOOP_CONTROL for {exit_['to_state']}{error} at "
                        f"{at(exit_['at_s'])}, {out_for(exit_)}")
    return problems


def out_for(exit_):
    if exit_["until_end"]:
        return f"for the remaining {exit_['out_for_s']:.2f} s of the listen"
    return f"for {exit_['out_for_s']:.2f} s, then back in it"


def findings(report, expect):
    """(problems, notes): what is wrong, and what is worth knowing. With --expect,
    problems make the exit status 1."""
    interface = report["interface"]
    name = interface["name"]
    problems, notes = [], []
    if not interface["up"]:
        how = f"sudo ip link set {name} up"
        if interface["controller"] and not interface["bitrate"]:
            how = f"sudo ip link set {name} type can bitrate B (your ODrives' bitrate), then {how}"
        problems.append(f"{name} is down: nothing to listen to; bring it up: {how}")
        return problems, notes
    if report.get("went_down"):
        problems.append(f"{name} went down while the check listened")
    state = interface["can_state"]
    if interface["controller"] and state not in (None, "ERROR-ACTIVE"):
        problems.append(f"{name}: CAN state {state}: "
                        + CAN_STATE_MEANING.get(state, "not ERROR-ACTIVE").replace("IFACE", name))
    seconds = report["listened_s"]
    heard = {node["node"]: node for node in report["nodes"]}
    wanted = expect if expect is not None else sorted(heard)
    for number in wanted:
        node = heard.get(number)
        if node is None:
            problems.append(f"node {number}: nothing heard in {seconds:g} s (is it powered, on this bus, "
                            f"at this bitrate, with CAN node id {number}?)")
            continue
        if node["fell_silent"]:
            problems.append(f"node {number}: fell silent, nothing heard for the last {node['silent_for_s']:.2f} s")
        problems.extend(interruption_problems(node))
        for missing in node["missing"]:
            problems.append(missing_problem(number, MESSAGE_NAMED[missing], node["messages"][missing]))
    for other in report["other_frames"]:
        if other["link_decodes_as"] and (expect is None or other["link_decodes_node"] in wanted):
            problems.append(f"{other['link_decodes_count']} frames {other['can_id']} ({other['what']}): the link "
                            f"decodes them as {other['link_decodes_as']}, over what the node itself sends")
    # Notes: worth knowing, never an error.
    for node in report["nodes"]:
        if node["axis_error"]:
            notes.append(f"node {node['node']}: axis error 0x{node['axis_error']:x} "
                         f"({', '.join(node['axis_error_names'])}): the axis refuses closed loop until the error is "
                         f"cleared (clearErrors)")
        for name_, message in node["messages"].items():
            if not message or not message["count"]:
                continue  # never taken at all: a problem of its own
            if message["short_frames"]:
                notes.append(f"node {node['node']}: {message['short_frames']} {name_} frames were shorter than the "
                             f"{MESSAGE_NAMED[name_].link_length} bytes the link reads: "
                             f"it ignored them, and its rate above counts only the others")
            if message["fd_frames"]:
                notes.append(f"node {node['node']}: {message['fd_frames']} {name_} frames were CAN FD frames, "
                             f"which the link does not receive; its rate above counts only the classic ones")
        if node["source"] == "this machine and the bus":
            notes.append(f"node {node['node']} is sent both by a program on this computer and by a device on the "
                         f"bus: two senders (a simulator and an ODrive?) answer to one node id")
    requests = sum(other["count"] for other in report["other_frames"] if other["remote"])
    if requests:
        notes.append(f"{requests} remote requests: the link ignores them; an ODrive answers each with a data frame, "
                     f"which it takes like any other")
    if expect is not None:
        for number in sorted(set(heard) - set(expect)):
            notes.append(f"node {number} is on the bus but not expected")
    commanded = {other["node"] for other in report["other_frames"] if other["node"] is not None and not other["remote"]}
    for number in sorted(commanded - set(heard)):
        notes.append(f"commands go to node {number}, which sends no telemetry")
    txqueuelen = interface["txqueuelen"]
    if interface["controller"] and txqueuelen and txqueuelen > 10 and interface["bitrate"]:
        wait_ms = txqueuelen * most_frame_bits(8) / interface["bitrate"] * 1000.0
        notes.append(f"txqueuelen {txqueuelen}: that many frames can wait in the kernel before a command is "
                     f"refused; on a busy bus a command may reach the motor up to {wait_ms:.0f} ms late "
                     f"(drivers default to 10)")
    shaping = [q for q in interface["qdiscs"] or [] if q.split()[0] not in DEFAULT_QDISCS]
    if shaping:
        notes.append(f"qdisc {', '.join(shaping)} on {name}: frames are shaped or delayed before the controller")
    errors = report["error_frames"]
    if errors["count"]:
        classes = ", ".join(f"{what} {count}" for what, count in sorted(errors["classes"].items()))
        notes.append(f"{errors['count']} error frames: {classes}")
    if report["fd_frames"] and report.get("fd_load_at_nominal"):
        notes.append(f"{report['fd_frames']} CAN FD frames: their data phase counts at the nominal bitrate, as the "
                     f"data bitrate is not known here, so the load is an upper bound")
    if report["dropped_by_check"]:
        notes.append(f"the check's own socket dropped {report['dropped_by_check']} frames: rates are low by that much")
    changes = report["during_check"]
    for key, words in (("rx_errors", "receive errors"), ("rx_dropped", "received frames dropped"),
                       ("tx_errors", "transmit errors"), ("tx_dropped", "frames to send dropped"),
                       ("bus_errors", "bus errors"), ("restarts", "controller restarts")):
        if changes.get(key):
            notes.append(f"{name}: {changes[key]} {words} while the check listened")
    return problems, notes


# ---- the screen ----

def fmt_values(name, last):
    if name == "HEARTBEAT":
        error = last["axis_error"]
        return f"{axis_state_name(last['axis_state'])}, error 0x{error:x}"
    if name == "GET_ENCODER_ESTIMATES":
        return f"position {last['position_estimate']:.4f} turns, velocity {last['velocity_estimate']:.4f} turns/s"
    if name == "GET_IQ":
        return f"Iq setpoint {last['iq_setpoint']:.3f} A, measured {last['iq_measured']:.3f} A"
    if name == "GET_TEMPERATURE":
        return f"FET {last['fet_temperature']:.1f} C, motor {last['motor_temperature']:.1f} C"
    if name == "GET_BUS_VOLTAGE_CURRENT":
        return f"{last['bus_voltage']:.3f} V, {last['bus_current']:.3f} A"
    target = last["torque_target"]
    return (f"estimate {last['torque_estimate']:.4f} Nm"
            + (", no target (a 4-byte frame)" if target is None else f", target {target:.4f} Nm"))


def value(number, unit="", missing="not reported by the driver"):
    return missing if number is None else f"{number}{unit}"


def render(report):
    lines = []
    add = lines.append
    interface = report["interface"]
    name = interface["name"]
    add(f"torvane-check {name}: " + (f"listened {report['listened_s']:g} s" if interface["up"] else
                                     "not listened: the interface is down"))
    add("")
    kind = ("CAN controller" + (f", driver {interface['driver']}" if interface["driver"] else "")
            if interface["controller"] else f"virtual CAN ({interface['kind'] or 'no driver details'})")
    add(f"interface {name}: {'UP' if interface['up'] else 'DOWN'}, {kind}")
    if interface["controller"]:
        sample = interface["sample_point"]
        add(f"  bitrate {value(interface['bitrate'], ' bit/s')}, sample point "
            f"{value(None if sample is None else f'{100.0 * sample:.1f} %')}"
            + ("" if interface["data_bitrate"] is None else f", CAN FD data bitrate {interface['data_bitrate']} bit/s"))
        add(f"  CAN state {value(interface['can_state'])}, error counters tx {value(interface['tx_error_counter'])} "
            f"rx {value(interface['rx_error_counter'])}, restarts {value(interface['restarts'])}"
            + ("" if interface["restart_ms"] is None else
               f" (restart-ms {interface['restart_ms']}" + (": no automatic restart)" if not interface["restart_ms"]
                                                               else ")")))
        if interface["ctrlmode"]:
            add(f"  controller modes {' '.join(interface['ctrlmode'])}")
    else:
        add(f"  bitrate, sample point, CAN state, error counters, restarts: not applicable "
            f"({interface['kind'] or 'this interface'} has no CAN controller)")
    qdiscs = ", ".join(interface["qdiscs"]) if interface["qdiscs"] else interface["qdisc"]
    add(f"  txqueuelen {value(interface['txqueuelen'], ' frames')}, qdisc {qdiscs}")
    changes = report["during_check"]
    if changes:
        add(f"  while listening: {changes.get('rx_frames', 0)} frames received, {changes.get('tx_frames', 0)} sent, "
            f"{changes.get('rx_errors', 0) + changes.get('tx_errors', 0)} errors, "
            f"{changes.get('rx_dropped', 0) + changes.get('tx_dropped', 0)} dropped"
            + (f", {changes['bus_errors']} bus errors" if "bus_errors" in changes else ""))
    if report["bus_load"] is not None:
        load = (f"load {100.0 * report['bus_load']:.1f} % of {report['bus_load_bitrate']} bit/s"
                + (" (assumed with --bitrate)" if report["bus_load_assumed"] else ""))
    else:
        load = "load not applicable (no bitrate; --bitrate B assumes one)"
    if interface["up"]:
        fd = f" ({report['fd_frames']} of them CAN FD)" if report["fd_frames"] else ""
        add(f"bus: {report['frames']} frames{fd}, {report['frame_rate']:.1f} frames/s, {load}")
    add("")
    for node in report["nodes"]:
        state = node["axis_state_name"] or "no heartbeat"
        error = ("" if node["axis_error"] is None else
                 ", no axis error" if not node["axis_error"] else
                 f", axis error 0x{node['axis_error']:x} {' '.join(node['axis_error_names'])}")
        silent = f", SILENT for the last {node['silent_for_s']:.2f} s" if node["fell_silent"] else ""
        add(f"node {node['node']}: {state}{error}, sent by {SENDERS[node['source']]}{silent}")
        changes = node["heartbeat_changes"]
        if len(changes) > 1:
            add("  heartbeat: " + ", then ".join(
                f"{change['axis_state_name']}"
                + (f" error 0x{change['axis_error']:x}" if change["axis_error"] else "")
                + f" from {change['at_s']:.2f} s" for change in changes))
        for message in TELEMETRY_MESSAGES:
            seen = node["messages"][message.name]
            if seen is None:
                add(f"  {message.name:<24} {'never':>9}   {', '.join(message.getters)} read 0: "
                    f"set {message.setting_path} above 0")
                continue
            if not seen["count"]:
                add(f"  {message.name:<24} {0.0:>7.1f}/s   {', '.join(message.getters)} read 0: the link ignores "
                    f"what came ({ignored_frames(message, seen)})")
                continue
            gap = (f"; gap of {seen['longest_gap_s']:.2f} s" if seen["longest_gap_s"] > max(0.2, 3.0 / seen["rate"])
                   else "")
            ignored = (f"; the link ignored {ignored_frames(message, seen)}"
                       if seen["short_frames"] or seen["fd_frames"] else "")
            add(f"  {message.name:<24} {seen['rate']:>7.1f}/s   {fmt_values(message.name, seen['last'])}{gap}{ignored}")
        add("")
    if interface["up"] and not report["nodes"]:
        add("no ODrive telemetry heard")
        add("")
    if report["other_frames"]:
        add("frames that are not telemetry:")
        shown = report["other_frames"][:12]
        for other in shown:
            link = (f"; the link decodes them as {other['link_decodes_as']}" if other["link_decodes_as"] else
                    "; the link ignores them" if other["link_ignores"] else "")
            add(f"  {other['can_id']:<10} {other['what']:<44} {other['rate']:>7.1f}/s  sent by "
                f"{SENDERS[other['source']]}{link}")
        if len(report["other_frames"]) > len(shown):
            add(f"  ... and {len(report['other_frames']) - len(shown)} more identifiers (--json lists them all)")
        add("")
    errors = report["error_frames"]
    if interface["up"]:
        add(f"error frames: {errors['count'] or 'none'}")
    for note in report["notes"]:
        add(f"note: {note}")
    if (report["expect"] is not None or report["problems"]) and lines[-1]:
        add("")
    label = "PROBLEM" if report["status"] != OK else "warning"
    for problem in report["problems"]:
        add(f"{label}: {problem}")
    if report["expect"] is not None and not report["problems"]:
        nodes = " ".join(str(n) for n in report["expect"])
        plural = len(report["expect"]) > 1
        add(f"OK: node{'s' if plural else ''} {nodes} send{'' if plural else 's'} all six telemetry messages"
            + (f"; {name} is ERROR-ACTIVE" if interface["controller"] else ""))
    return "\n".join(lines)


# ---- command line ----

def seconds_type(text):
    try:
        number = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not 0.0 < number <= 3600.0:
        raise argparse.ArgumentTypeError(f"{text} s: listen for more than 0 and at most 3600 s")
    return number


def bitrate_type(text):
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a bitrate in bit/s") from None
    if not 1000 <= number <= 1_000_000:
        raise argparse.ArgumentTypeError(f"{text} bit/s: classic CAN runs at 1000 to 1000000 bit/s")
    return number


EPILOG = """\
exit status:
  0  listened, and with --expect every expectation held
  1  with --expect: an expected node is missing, fell silent, paused its heartbeat for
     more than a few of its periods (a reboot, say) or left CLOSED_LOOP_CONTROL, one of
     its six telemetry messages never came or came only in frames the link ignores
     (shorter than the message, or CAN FD), or the controller is not ERROR-ACTIVE; and,
     with or without --expect, an interface that is down, or one that disappeared while
     the check listened (one line on standard error, no report)
  2  bad input: no such interface, not a CAN interface, no permission, bad arguments

The check judges frames as the link takes them: a telemetry frame shorter than the
bytes the link reads (5 for HEARTBEAT, 4 for GET_TORQUES, 8 for the others), a remote
request and a CAN FD frame change no getter. Times are seconds into the listen.

Axis errors are named as the ODrive firmware whose CAN messages torvane speaks (0.6)
reports them in the heartbeat; an axis error is noted, not an error of the check.

examples:
  torvane-check can0 --expect 0 1
  torvane-check vcan0 --seconds 5 --json
"""


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="torvane-check",
        description="Listens on a CAN interface and says what torvane will see there: the interface and its "
                    "controller, each ODrive node with the telemetry it sends (and the getters that would read 0 "
                    "because their message never came in a frame the link takes), its pauses, reboots and exits "
                    "from closed loop, other frames, the frame rate and the bus load.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("interface", help="the CAN interface, e.g. can0 or vcan0")
    parser.add_argument("--seconds", type=seconds_type, default=3.0,
                        help="how long to listen (default: %(default)s)")
    parser.add_argument("--expect", type=node_id, nargs="+", metavar="NODE",
                        help="the node ids that must be there, each sending all six telemetry messages")
    parser.add_argument("--bitrate", type=bitrate_type,
                        help="for the bus load where the interface has no bitrate (vcan): assume this one")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    return parser.parse_args(argv)


def check(opts):
    record = read_link(opts.interface)
    interface = describe_interface(record, read_qdiscs(opts.interface))
    report = {"interface": interface, "listened_s": 0.0, "expect": opts.expect, "went_down": False,
              "dropped_by_check": 0, "during_check": {}}
    frames, start, end = [], 0.0, 0.0
    if interface["up"]:
        try:
            listener = Listener(opts.interface)
        except PermissionError as exc:
            raise BadInput(f"no permission to open a CAN socket on {opts.interface}: {exc.strerror}") from None
        except OSError as exc:
            raise BadInput(f"cannot listen on {opts.interface}: {exc.strerror or exc}") from None
        print(f"torvane-check: listening on {opts.interface} for {opts.seconds:g} s", file=sys.stderr, flush=True)
        try:
            frames, start, end = listener.listen(opts.seconds)
        finally:
            listener.close()
        if listener.vanished_after is not None:
            raise Vanished(f"{opts.interface} disappeared {listener.vanished_after:.1f} s into the listen (an adapter "
                           f"unplugged, or its driver unloaded): nothing more to listen to")
        report.update(listened_s=opts.seconds, went_down=listener.went_down, dropped_by_check=listener.dropped)
        try:
            record = read_link(opts.interface)
        except BadInput as exc:
            if not os.path.exists(f"/sys/class/net/{opts.interface}"):
                raise Vanished(f"{opts.interface} disappeared at the end of the listen (an adapter unplugged, or its "
                               f"driver unloaded)") from None
            raise exc
        after = describe_interface(record, interface["qdiscs"])
        report["during_check"] = counter_changes(interface, after)
        report["interface"] = interface = after
    report.update(analyse(frames, start, end) if interface["up"] else analyse([], 0.0, 0.0))
    bitrate = interface["bitrate"] or opts.bitrate
    report["bus_load_bitrate"] = bitrate
    report["bus_load_assumed"] = bool(bitrate and not interface["bitrate"])
    # The data phase of CAN FD frames runs at the data bitrate where the controller has one;
    # otherwise it is counted at the nominal bitrate, which makes the load an upper bound.
    data_bitrate = interface["data_bitrate"] or bitrate
    report["fd_load_at_nominal"] = bool(report["data_phase_bits"] and not interface["data_bitrate"])
    report["bus_load"] = ((report["bits"] / bitrate + report["data_phase_bits"] / data_bitrate) / opts.seconds
                          if bitrate and interface["up"] else None)
    problems, notes = findings(report, opts.expect)
    report["problems"], report["notes"] = problems, notes
    down = not interface["up"]
    report["status"] = PROBLEMS if down or (opts.expect is not None and problems) else OK
    return report


def finite(item):
    """The report with NaN and infinities (a garbled frame's floats) as null: strict JSON."""
    if isinstance(item, float):
        return item if math.isfinite(item) else None
    if isinstance(item, dict):
        return {key: finite(value) for key, value in item.items()}
    if isinstance(item, (list, tuple)):
        return [finite(value) for value in item]
    return item


def main(argv=None):
    opts = parse_args(argv)
    try:
        report = check(opts)
    except BadInput as exc:
        print(f"torvane-check: {exc}", file=sys.stderr)
        return BAD_INPUT
    except Vanished as exc:
        print(f"torvane-check: {exc}", file=sys.stderr)
        return PROBLEMS
    except KeyboardInterrupt:
        return 130
    if opts.json:
        print(json.dumps(finite(report), indent=2, allow_nan=False))
    else:
        print(render(report))
    return report["status"]


if __name__ == "__main__":
    sys.exit(main())
