"""torvane-bridge: one CAN bus on Zenoh, with the control loop kept on this computer.

It opens the link and one MotorController for the given motors, publishes every encoder
estimate the bus carries as JSON telemetry, and takes commands, state requests and stops
from Zenoh. The 2 ms loop and the emergency stop stay native, in the controller: the
network only carries telemetry out and commands in, and a network that goes quiet idles
the motors. Needs the torvane module and Zenoh's Python package (pip install '.[bridge]'
from a clone). docs/bridge.md is the whole story; `torvane-bridge --help` the short one.
"""

import argparse
import collections
import errno
import io
import json
import math
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

from torvane_tools.protocol import (
    CAN_EFF_FLAG,
    CAN_FRAME,
    CAN_RTR_FLAG,
    CLOSED_LOOP_CONTROL,
    GET_ENCODER_ESTIMATES,
    HEARTBEAT,
    IDLE,
    POSITION,
    TORQUE,
    VELOCITY,
    arb_id,
    axis_state_name,
    command_of,
    node_of,
)

ZENOH_REQUIREMENT = "eclipse-zenoh==1.10.2"
MODES = {"position": POSITION, "velocity": VELOCITY, "torque": TORQUE}
COMMAND_FIELDS = ("position_setpoint", "velocity_setpoint", "torque_feedforward", "damping", "velocity_integrator",
                  "stiffness", "kp", "kd")
STATES = ("CLOSED_LOOP_CONTROL", "IDLE", "CLEAR_ERRORS")
MOTOR_IDS = (0, 1)  # what a MotorController drives: node id and record index at once
DEFAULT_COMMAND_TIMEOUT_MS = 100.0
FLOAT32_MAX = 3.4028234663852886e38  # a larger value becomes infinity in the records' single precision
# A heartbeat counts as an answer to an IDLE only when it was received this long after it:
# one sent before the drive took the IDLE may still be on its way.
HEARTBEAT_AFTER_IDLE_S = 0.02
BAD_INPUT, FAILED = 2, 1
STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}  # the library's emergency stop
WAIT_S = 0.25  # the longest the main thread waits in one call for a frame
# How long the commands of a client whose token went are refused: those it put before it
# went may still arrive (Zenoh delivers liveliness on a thread of its own), and must not
# re-arm the command the loss has just cleared. A client that goes on commanding after that
# is alive after all (a connection that dropped and came back).
LOST_CLIENT_GRACE_S = 1.0

# asm-generic/socket.h, which the socket module does not name
SO_TIMESTAMPNS = 35  # the kernel's receive time (CLOCK_REALTIME) of each frame
SO_RXQ_OVFL = 40  # the count of frames the socket had to drop
SO_RCVBUFFORCE = 33
TIMESPEC = struct.Struct("=qq")
U32 = struct.Struct("=I")
ANCILLARY_SIZE = socket.CMSG_SPACE(TIMESPEC.size) + socket.CMSG_SPACE(U32.size)
EXACT_STANDARD_ID = 0x7FF | CAN_EFF_FLAG | CAN_RTR_FLAG  # filter mask: one standard data frame id
ENCODER = struct.Struct("<ff")
HEARTBEAT_PAYLOAD = struct.Struct("<IB")


class Refused(Exception):
    """Input the bridge does not act on; the message says why."""


# ---------------------------------------------------------------- input

def _number(value, field: str, index: int) -> float:
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise Refused(f"{field}[{index}] is {json.dumps(value)}, not a number")
    number = float(value)
    if not math.isfinite(number) or abs(number) > FLOAT32_MAX:
        raise Refused(f"{field}[{index}] is {value!r}: values must be finite single-precision numbers")
    return number


def _no_constants(name):
    raise Refused(f"{name} is not a number this bridge takes: values must be finite")


def parse_command(payload: bytes, motors: list) -> dict:
    """The fields a PREFIX/command payload sets, each a list with one value per motor in
    --motors order; Refused when any part of it is wrong, so that none of it is applied."""
    try:
        command = json.loads(payload.decode("utf-8"), parse_constant=_no_constants)
    except UnicodeDecodeError:
        raise Refused("the command is not UTF-8 text") from None
    except json.JSONDecodeError as error:
        raise Refused(f"the command is not JSON: {error}") from None
    except (ValueError, RecursionError):
        raise Refused("the command is not JSON this bridge can read") from None
    if not isinstance(command, dict):
        raise Refused(f"the command must be a JSON object of MotorCommand fields, not {type(command).__name__}")
    unknown = sorted(set(command) - set(COMMAND_FIELDS))
    if unknown:
        raise Refused(f"unknown keys {unknown}: a command takes {list(COMMAND_FIELDS)}")
    fields = {}
    for field, values in command.items():
        if not isinstance(values, list) or len(values) != len(motors):
            raise Refused(f"{field} must be a list of {len(motors)} numbers, one per motor of --motors "
                          f"{' '.join(map(str, motors))}, not {json.dumps(values)[:80]}")
        fields[field] = [_number(value, field, index) for index, value in enumerate(values)]
    return fields


def parse_state(payload: bytes) -> str:
    """The state a PREFIX/<node>/state payload asks for: a JSON string, or the bare word."""
    try:
        text = payload.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise Refused("the state is not UTF-8 text") from None
    try:
        value = json.loads(text)
    except ValueError:
        value = text
    if value not in STATES:
        raise Refused(f"unknown state {json.dumps(value)[:80]}: one of {', '.join(STATES)}")
    return value


def node_of_key(key: str, prefix: str, motors: list) -> int:
    """The node of a PREFIX/<node>/state key; Refused unless it is one of --motors."""
    chunk = key[len(prefix) + 1:].split("/", 1)[0]
    if not chunk.isascii() or not chunk.isdigit() or int(chunk) not in motors:
        raise Refused(f"node {chunk!r} is not among --motors {' '.join(map(str, motors))}")
    return int(chunk)


def finite_or_none(value: float):
    return value if math.isfinite(value) else None


def dumps(value) -> str:
    return json.dumps(value, separators=(",", ":"), allow_nan=False)


# ---------------------------------------------------------------- the bus, as the bridge reads it

class EncoderWatch:
    """A raw CAN socket of the bridge's own that takes only the encoder estimates and
    heartbeats of its motors, each with the kernel's receive time: it tells when an
    estimate arrives (the module has no callback) and what a heartbeat said when. Its
    queue holds some seconds of both at an ODrive's rates, and the kernel counts what a
    full one drops."""

    BUFFER_BYTES = 4 << 20

    def __init__(self, interface: str, motors: list):
        self.interface = interface
        self.motors = motors
        self.sock = None
        self.dropped = 0  # frames the kernel dropped on this socket, as it last said
        self.open()

    def open(self) -> None:
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            filters = b"".join(struct.pack("=II", arb_id(node, command), EXACT_STANDARD_ID)
                               for node in self.motors for command in (GET_ENCODER_ESTIMATES, HEARTBEAT))
            sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, filters)
            sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
            sock.setsockopt(socket.SOL_SOCKET, SO_RXQ_OVFL, 1)
            try:
                sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, self.BUFFER_BYTES)  # root (CAP_NET_ADMIN) only
            except OSError:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.BUFFER_BYTES)  # up to net.core.rmem_max
            sock.bind((self.interface,))
            sock.settimeout(WAIT_S)
        except OSError:
            sock.close()
            raise
        self.sock = sock
        self.dropped = 0

    def close(self) -> None:
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def receive(self):
        """The next frame, waiting WAIT_S for it at most (TimeoutError): (can_id, payload,
        wall-clock receive time, frames the kernel has dropped on this socket so far)."""
        data, ancillary, _, _ = self.sock.recvmsg(CAN_FRAME.size, ANCILLARY_SIZE)
        can_id, length, payload = CAN_FRAME.unpack(data)
        stamp = None
        for level, kind, item in ancillary:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS and len(item) >= TIMESPEC.size:
                seconds, nanoseconds = TIMESPEC.unpack(item[:TIMESPEC.size])
                stamp = seconds + nanoseconds * 1e-9
            elif level == socket.SOL_SOCKET and kind == SO_RXQ_OVFL and len(item) >= 4:
                self.dropped = U32.unpack(item[:4])[0]
        return can_id, payload[:length], stamp if stamp is not None else time.time(), self.dropped


# ---------------------------------------------------------------- standard error

class LibraryLines:
    """The library writes its lines (a loop that cannot get its frames out, the bus's
    state, the emergency stop's) on file descriptor 2 from native threads. From here on
    descriptor 2 is a pipe to a `stderr_tee` process that copies everything to the real
    standard error and hands it to this object, which splits it into lines; the bridge's
    own messages go to the real standard error (sys.stderr) through OwnLines."""

    def __init__(self):
        real = os.dup(2)
        to_tee_read, to_tee_write = os.pipe()
        from_tee_read, from_tee_write = os.pipe()
        # Blocked signals stay blocked across exec: the tee starts immune to a Ctrl-C or a
        # SIGTERM sent to the whole group, before it can ignore them itself.
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM, signal.SIGHUP})
        try:
            self.tee = subprocess.Popen([sys.executable, "-P", "-m", "torvane_tools.stderr_tee"],
                                        stdin=to_tee_read, stdout=from_tee_write, stderr=real, process_group=0)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
            os.close(to_tee_read)
            os.close(from_tee_write)
        sys.stderr.flush()
        os.dup2(to_tee_write, 2)
        os.close(to_tee_write)
        sys.stderr = io.TextIOWrapper(io.FileIO(real, "w"), errors="backslashreplace", line_buffering=True,
                                      write_through=True)
        self.fd = from_tee_read
        os.set_blocking(self.fd, False)
        self._partial = b""

    def fileno(self) -> int:
        return self.fd

    def read(self):
        """The complete lines that arrived; None once the tee has ended."""
        try:
            chunk = os.read(self.fd, 65536)
        except (BlockingIOError, InterruptedError):
            return []
        if not chunk:
            return None
        *lines, self._partial = (self._partial + chunk).split(b"\n")
        return [line.decode("utf-8", "backslashreplace") for line in lines if line]


class OwnLines:
    """The bridge's own lines for the real standard error, written by a thread of their own:
    a terminal whose output is suspended, or a full pipe, holds that thread and never one
    that reports while holding the bridge's lock (the timeout's, Zenoh's). Past BACKLOG
    waiting lines, new ones are dropped, and how many is said once writing resumes."""

    BACKLOG = 1000

    def __init__(self, stream):
        self._stream = stream
        self._pending = collections.deque()
        self._dropped = 0
        self._writing = False
        self._changed = threading.Condition()
        threading.Thread(target=self._write, name="bridge stderr", daemon=True).start()

    def say(self, line: str) -> None:
        with self._changed:
            if len(self._pending) >= self.BACKLOG:
                self._dropped += 1
                return
            self._pending.append(line)
            self._changed.notify_all()

    def flush(self, timeout: float) -> None:
        """Waits until what was said is written, at most `timeout` seconds."""
        with self._changed:
            self._changed.wait_for(lambda: not self._pending and not self._writing, timeout)

    def _write(self) -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)  # they are for the main thread (main())
        while True:
            with self._changed:
                self._changed.wait_for(lambda: self._pending)
                lines = list(self._pending)
                self._pending.clear()
                dropped, self._dropped = self._dropped, 0
                self._writing = True
            if dropped:
                lines.append(f"torvane-bridge: {dropped} more lines dropped: standard error took nothing for a while")
            try:
                self._stream.write("".join(line + "\n" for line in lines))
                self._stream.flush()
            except (OSError, ValueError):
                pass  # nobody reads standard error any more; Zenoh still has the events
            with self._changed:
                self._writing = False
                self._changed.notify_all()


# ---------------------------------------------------------------- the bridge

class Bridge:
    """The controller and the link of one bus, and what Zenoh carries to and from them.

    Threads: the main thread reads the bus (telemetry, heartbeats), the library's lines
    and keeps the command timeout; Zenoh's threads deliver commands, state requests,
    stops and liveliness changes. `lock` serialises every change of the bridge's state
    and every frame the bridge itself sends."""

    def __init__(self, torvane, zenoh, session, opts, lines: LibraryLines, own_lines: OwnLines):
        self.torvane = torvane
        self.zenoh = zenoh
        self.opts = opts
        self.motors = opts.motors
        self.prefix = opts.prefix
        self.timeout_s = opts.command_timeout_ms / 1000.0
        self.telemetry_period = 1.0 / opts.telemetry_hz if opts.telemetry_hz else 0.0
        self.lines = lines
        self.own_lines = own_lines
        self.session = session
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.threads = []
        self.watch = EncoderWatch(opts.interface, self.motors)
        self.link = torvane.ODriveSocket(opts.interface)
        self.controller = torvane.MotorController(self.link, self.motors)  # SIGINT and SIGTERM: the stop
        self.controller.set_control_mode(torvane.ODriveControlMode(MODES[opts.mode]))
        self.loop_running = False
        self._fresh_command()
        self.last_activity = time.monotonic()
        self.idle_sent = dict.fromkeys(self.motors, 0.0)  # wall clock, as the heartbeats' stamps
        self.heartbeats = {}  # node -> (axis state, wall-clock receive time)
        self.last_published = dict.fromkeys(self.motors, 0.0)
        self.commanders = set()  # clients whose commands are applied and whose token lives
        self.lost_clients = {}  # client -> when its token went (monotonic): its commands are refused a while
        self.watch_error = None

        json_encoding = zenoh.Encoding.APPLICATION_JSON
        # Telemetry waits for a network that cannot take it rather than lose samples (only
        # the main thread, which reads the bus, waits; the kernel keeps its frames meanwhile
        # and says what it drops). Events go ahead of it, in a queue of their own, and are
        # dropped rather than wait: the timeout's thread must never be held up.
        self.events = session.declare_publisher(f"{self.prefix}/events", encoding=json_encoding,
                                                priority=zenoh.Priority.DATA_HIGH)
        self.telemetry = {node: session.declare_publisher(f"{self.prefix}/{node}/telemetry", encoding=json_encoding,
                                                          congestion_control=zenoh.CongestionControl.BLOCK)
                          for node in self.motors}
        # One subscriber for every input: Zenoh delivers the samples of one subscriber in the
        # order they were put, but those of several subscribers on threads of their own, so a
        # command put before a stop could otherwise be taken after it.
        self.subscribers = [
            session.declare_subscriber(f"{self.prefix}/**", self._guarded(self.on_input),
                                       allowed_origin=zenoh.Locality.REMOTE),
            session.liveliness().declare_subscriber(f"{self.prefix}/clients/*", self._guarded(self.on_client),
                                                    history=True),
        ]
        self.token = session.liveliness().declare_token(f"{self.prefix}/alive")

    # -- events

    def event(self, kind: str, message: str, **details) -> None:
        """Publishes an event on PREFIX/events and writes it on standard error."""
        self.events.put(dumps({"event": kind, "message": message, **details, "stamp": time.time()}))
        self.own_lines.say(f"torvane-bridge: {message}")

    def refuse(self, key: str, reason: str) -> None:
        self.event("refused", f"{key} refused: {reason}", key=key, reason=reason)

    def _guarded(self, handler):
        """A Zenoh callback that reports a failure of its own instead of losing it in Zenoh's thread."""
        def call(sample):
            try:
                handler(sample)
            except Exception as error:  # noqa: BLE001 - a bug must not end the subscriber
                self.event("error", f"internal error on {sample.key_expr}: {error!r}", key=str(sample.key_expr))
        return call

    # -- the running command

    def _fresh_command(self) -> None:
        """All 0, which in every mode applies no torque of the bridge's own: limp in POSITION and
        VELOCITY mode (their gains are 0), no torque in TORQUE mode. Positions not given by a
        command before the loop starts hold where the axes are then (_start_loop)."""
        self.command = self.torvane.MotorCommand()
        self.positions_given = set()
        self.controller.update_command(self.command)

    def _start_loop(self) -> None:
        position = self.command.position_setpoint
        for node in self.motors:
            if node not in self.positions_given:
                position[node] = self.link.getPositionEstimate(node)
        self.command.position_setpoint = position
        self.controller.update_command(self.command)
        self.controller.initialize_control_thread()
        self.loop_running = True

    def _idle_all(self, kind: str, message: str, **details) -> None:
        """The bridge's own stop: the loop stops, every motor gets IDLE, the running command
        starts afresh and the commanding clients are forgotten. Called with the lock held."""
        if self.loop_running:
            self.controller.stop_control_thread()
            self.loop_running = False
        self.controller.set_axis_state(self.torvane.ODriveAxisState.IDLE)
        sent = time.time()
        for node in self.motors:
            self.idle_sent[node] = sent
        self._fresh_command()
        self.commanders.clear()
        self.last_activity = time.monotonic()
        self.event(kind, message, idled=self.motors, **details)

    def _closed_loop_nodes(self) -> list:
        """Motors whose last heartbeat, received well after the last IDLE sent to them, says
        CLOSED_LOOP_CONTROL."""
        return [node for node, (state, at) in sorted(self.heartbeats.items())
                if state == CLOSED_LOOP_CONTROL and at > self.idle_sent[node] + HEARTBEAT_AFTER_IDLE_S]

    # -- Zenoh's side

    def on_input(self, sample) -> None:
        rest = str(sample.key_expr)[len(self.prefix) + 1:]
        if rest == "command":
            self.on_command(sample)
        elif rest == "stop":
            self.on_stop(sample)
        elif rest.endswith("/state") and rest.count("/") == 1:
            self.on_state(sample)
        # Anything else under the prefix (another program's keys) is not the bridge's input.

    def on_command(self, sample) -> None:
        key = str(sample.key_expr)
        try:
            fields = parse_command(bytes(sample.payload.to_bytes()), self.motors)
            client = None
            if sample.attachment is not None:
                try:
                    client = sample.attachment.to_string()
                except Exception:  # noqa: BLE001 - zenoh raises its own error for bytes that are not text
                    raise Refused("the attachment must be the client's name, as UTF-8 text") from None
        except Refused as refusal:
            self.refuse(key, str(refusal))
            return
        with self.lock:
            lost = time.monotonic() - self.lost_clients.get(client, -math.inf) < LOST_CLIENT_GRACE_S
            if not lost:
                self._apply(fields, client)
        if lost:
            self.refuse(key, f"client {client!r} has just lost its liveliness: its commands are not taken until "
                             f"its token is back or {LOST_CLIENT_GRACE_S:g} s have passed")

    def _apply(self, fields: dict, client) -> None:
        """A command's fields into the running command. Called with the lock held."""
        for field, values in fields.items():
            current = getattr(self.command, field)
            for node, value in zip(self.motors, values, strict=True):
                current[node] = value
            setattr(self.command, field, current)
        if "position_setpoint" in fields:
            self.positions_given.update(self.motors)
        self.controller.update_command(self.command)
        self.last_activity = time.monotonic()
        if client:
            self.commanders.add(client)

    def on_state(self, sample) -> None:
        key = str(sample.key_expr)
        try:
            node = node_of_key(key, self.prefix, self.motors)
            state = parse_state(bytes(sample.payload.to_bytes()))
        except Refused as refusal:
            self.refuse(key, str(refusal))
            return
        with self.lock:
            if state == "CLOSED_LOOP_CONTROL":
                if not self.loop_running:
                    self._start_loop()
                # A drive that rebooted has forgotten the mode.
                self.link.setControlMode(node, MODES[self.opts.mode])
                self.link.setAxisState(node, CLOSED_LOOP_CONTROL)
                self.last_activity = time.monotonic()
            elif state == "IDLE":
                self.link.setAxisState(node, IDLE)
                self.idle_sent[node] = time.time()
            else:
                self.link.clearErrors(node)
            self.event("state", f"node {node}: {state} sent", node=node, state=state)

    def on_stop(self, sample) -> None:
        with self.lock:
            self._idle_all("stop", f"stop on {sample.key_expr}: every motor idled, the loop stopped until a "
                                   f"CLOSED_LOOP_CONTROL request")

    def on_client(self, sample) -> None:
        client = str(sample.key_expr)[len(self.prefix) + len("/clients/"):]
        with self.lock:
            if sample.kind != self.zenoh.SampleKind.DELETE:
                self.lost_clients.pop(client, None)
                return
            # Its last commands may still be on their way (another thread delivers them).
            self.lost_clients[client] = time.monotonic()
            if client not in self.commanders:
                return
            self.commanders.discard(client)
            if self.commanders or not (self.loop_running or self._closed_loop_nodes()):
                return
            self._idle_all("client_lost", f"client {client!r}, the last that sent commands, lost its liveliness: "
                                          f"every motor idled", client=client)

    # -- the bus's side, on the main thread

    def check_timeout(self) -> None:
        with self.lock:
            if time.monotonic() - self.last_activity < self.timeout_s:
                return
            closed = self._closed_loop_nodes()
            if not (self.loop_running or closed):
                return
            quiet = f"no command for {self.opts.command_timeout_ms:g} ms"
            if not self.loop_running:
                quiet += f" while node {', '.join(map(str, closed))} reports CLOSED_LOOP_CONTROL"
            self._idle_all("timeout", f"{quiet}: every motor idled", timeout_ms=self.opts.command_timeout_ms)

    def publish_telemetry(self, node: int, payload: bytes, stamp: float) -> None:
        """One sample per encoder estimate: position and velocity from this very frame, the
        rest as the link last received it."""
        publisher = self.telemetry[node]
        if not publisher.matching_status.matching:
            return  # nobody subscribes: no sample to make
        if self.telemetry_period and stamp - self.last_published[node] < self.telemetry_period:
            return
        self.last_published[node] = stamp
        position, velocity = ENCODER.unpack(payload[:ENCODER.size])
        link = self.link
        publisher.put(dumps({
            "position": finite_or_none(position),
            "velocity": finite_or_none(velocity),
            "torque_estimate": finite_or_none(link.getTorqueEstimate(node)),
            "iq_setpoint": finite_or_none(link.getIqSetpoint(node)),
            "iq_measured": finite_or_none(link.getIqMeasured(node)),
            "fet_temperature": finite_or_none(link.getFETTemperature(node)),
            "motor_temperature": finite_or_none(link.getMotorTemperature(node)),
            "bus_voltage": finite_or_none(link.getBusVoltage(node)),
            "bus_current": finite_or_none(link.getBusCurrent(node)),
            "axis_state": axis_state_name(link.getAxisState(node)),
            "axis_error": link.getAxisError(node),
            "stamp": stamp,
        }))

    def read_bus(self) -> None:
        """The main thread's work, until the process ends: every frame of the bridge's
        socket, as it arrives."""
        reported_drops = 0
        last_drop_report = 0.0
        while True:
            if self.watch.sock is None:
                time.sleep(0.5)
                self._reopen_watch()
                reported_drops = 0
                continue
            try:
                can_id, payload, stamp, dropped = self.watch.receive()
            except (InterruptedError, TimeoutError):
                continue
            except OSError as error:
                self._bus_error(error)
                continue
            self.watch_error = None
            node, command = node_of(can_id), command_of(can_id)
            if command == GET_ENCODER_ESTIMATES and len(payload) >= ENCODER.size:
                self.publish_telemetry(node, payload, stamp)
            elif command == HEARTBEAT and len(payload) >= HEARTBEAT_PAYLOAD.size:
                with self.lock:
                    self.heartbeats[node] = (HEARTBEAT_PAYLOAD.unpack(payload[:HEARTBEAT_PAYLOAD.size])[1], stamp)
            if dropped != reported_drops and time.monotonic() - last_drop_report >= 1.0:
                self.event("telemetry_lost", f"{dropped - reported_drops} frames of {self.opts.interface} dropped "
                                             f"before the bridge read them: it cannot keep up; telemetry is missing "
                                             f"their estimates", frames=dropped - reported_drops)
                reported_drops, last_drop_report = dropped, time.monotonic()

    def _bus_error(self, error: OSError) -> None:
        if error.errno != self.watch_error:
            self.watch_error = error.errno
            self.event("bus", f"reading {self.opts.interface}: {error.strerror or error}", errno=error.errno)
        if error.errno == errno.ENODEV:  # the interface is gone: bind again once it is back
            self.watch.close()
        else:
            time.sleep(0.01)  # an error the socket keeps reporting must not spin

    def _reopen_watch(self) -> None:
        try:
            self.watch.open()
        except OSError:
            return
        self.event("bus", f"reading {self.opts.interface} again")
        self.watch_error = None

    def _keep_timeout(self) -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)  # they are for the main thread (main())
        tick = min(max(self.timeout_s / 10.0, 0.002), 0.02)
        while not self.stopping.wait(tick):
            self.check_timeout()

    def _forward_lines(self) -> None:
        signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        while not self.stopping.is_set():
            if not select.select([self.lines], [], [], 0.5)[0]:
                continue
            got = self.lines.read()
            if got is None:
                return  # the tee has ended: nothing more will come
            for line in got:
                self.events.put(dumps({"event": "library", "message": line, "stamp": time.time()}))

    def run(self) -> None:
        """Until the process ends (by SIGINT or SIGTERM, the emergency stop): the bus on
        this thread, the command timeout and the library's lines on threads of their own,
        which close() stops."""
        self.threads = [threading.Thread(target=self._keep_timeout, name="bridge timeout", daemon=True)]
        if self.lines is not None:
            self.threads.append(threading.Thread(target=self._forward_lines, name="bridge lines", daemon=True))
        for thread in self.threads:
            thread.start()
        self.read_bus()

    def close(self) -> None:
        """After a failure of the bridge itself: every motor idled, its threads joined, Zenoh closed."""
        with self.lock:
            self._idle_all("error", "the bridge failed: every motor idled")
        self.stopping.set()
        for thread in self.threads:
            thread.join()
        self.session.close()
        self.watch.close()


# ---------------------------------------------------------------- command line

def motor_id(text: str) -> int:
    try:
        number = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a node id") from None
    if number not in MOTOR_IDS:
        raise argparse.ArgumentTypeError(
            f"node {number} cannot be a motor: a MotorController drives the axes with node ids 0 and 1")
    return number


def positive_ms(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of milliseconds") from None
    if not 0.0 < value <= 3_600_000.0:
        raise argparse.ArgumentTypeError(f"{text} ms is not a timeout: more than 0, at most an hour")
    return value


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a rate in Hz") from None
    if not 0.0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"{text} is not 0 or a positive rate")
    return value


def key_prefix(text: str) -> str:
    chunks = text.split("/")
    if not text or any(not chunk or set(chunk) & set("*$?#") for chunk in chunks):
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a prefix: chunks separated by '/', none empty, no '*', '$', '?' or '#'")
    return text


EPILOG = """\
keys (PREFIX/... ; JSON payloads):
  PREFIX/<node>/telemetry  out  one object per encoder estimate the bus carries for that node
                                (at most --telemetry-hz per node when given): position (turns),
                                velocity (turns/s), torque_estimate (Nm), iq_setpoint and
                                iq_measured (A), fet_temperature and motor_temperature (degC),
                                bus_voltage (V), bus_current (A), axis_state (name), axis_error
                                (bit field), stamp (s, wall clock, when the frame was received)
  PREFIX/command           in   {"kp": [8, 8], "position_setpoint": [0.5, -0.5], ...}: MotorCommand
                                fields, one value per motor in --motors order; the keys given
                                replace those of the running command
  PREFIX/<node>/state      in   "CLOSED_LOOP_CONTROL", "IDLE" or "CLEAR_ERRORS"
  PREFIX/stop              in   any value: every motor IDLE, the loop stopped until a
                                CLOSED_LOOP_CONTROL request
  PREFIX/events            out  {"event": KIND, "message": ..., "stamp": ...}: refused input,
                                timeouts, stops, state requests sent, the library's lines
  PREFIX/alive             liveliness token while the bridge runs
  PREFIX/clients/NAME      liveliness token of a commanding client, which puts its commands
                                with the attachment NAME

safety:
  The loop and the emergency stop stay in the native controller. With the loop running or
  any motor reporting CLOSED_LOOP_CONTROL, no accepted command for --command-timeout-ms,
  or the loss of the last commanding client's token, idles every motor and stops the loop.
  SIGINT and SIGTERM are the library's emergency stop: every motor IDLE, exit status the
  signal's number.

examples:
  torvane-bridge can0 --motors 0 1 --mode position --prefix robot/left --listen tcp/0.0.0.0:7447
  torvane-bridge vcan0 --motors 0 1 --mode torque --prefix robot/left --zenoh-config bridge.json5
"""


def parse_args(argv=None):
    parser = argparse.ArgumentParser(
        prog="torvane-bridge",
        description="One CAN bus of ODrives on Zenoh: telemetry out, commands in, the control loop and the "
                    "emergency stop kept on this computer (docs/bridge.md).",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("interface", metavar="IFACE", help="SocketCAN interface, e.g. can0")
    parser.add_argument("--motors", type=motor_id, nargs="+", required=True, metavar="NODE",
                        help="the motors' node ids, 0 and/or 1; command lists follow this order")
    parser.add_argument("--mode", choices=sorted(MODES), required=True, help="the controller's control mode")
    parser.add_argument("--prefix", type=key_prefix, required=True,
                        help="Zenoh key prefix of this bus, e.g. robot/left")
    parser.add_argument("--command-timeout-ms", type=positive_ms, default=DEFAULT_COMMAND_TIMEOUT_MS, metavar="MS",
                        help="idle every motor after this long without a command while the loop runs or a motor "
                             "is in closed loop (default: %(default)g)")
    parser.add_argument("--telemetry-hz", type=rate, default=0.0, metavar="HZ",
                        help="publish at most this many telemetry samples per node and second (default: 0, every "
                             "encoder estimate)")
    zenoh_options = parser.add_argument_group("Zenoh")
    zenoh_options.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                               help="listen on this endpoint, e.g. tcp/0.0.0.0:7447 (repeatable)")
    zenoh_options.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                               help="connect to this endpoint, e.g. tcp/192.168.1.10:7447 (repeatable)")
    zenoh_options.add_argument("--zenoh-config", metavar="FILE",
                               help="Zenoh configuration file (JSON5) for anything else: mode, scouting, TLS, access "
                                    "control; --listen and --connect replace its endpoints of their kind")
    opts = parser.parse_args(argv)
    if len(set(opts.motors)) != len(opts.motors):
        parser.error("--motors names a node twice")
    return opts


def zenoh_config(zenoh, opts):
    config = zenoh.Config.from_file(opts.zenoh_config) if opts.zenoh_config else zenoh.Config()
    for key, endpoints in (("listen/endpoints", opts.listen), ("connect/endpoints", opts.connect)):
        if endpoints:
            config.insert_json5(key, json.dumps(endpoints))
    return config


def fail(message: str, status: int = FAILED) -> int:
    print(f"torvane-bridge: {message}", file=sys.stderr, flush=True)
    return status


def main(argv=None) -> int:
    opts = parse_args(argv)
    try:
        import zenoh
    except ImportError:
        return fail(f"Zenoh's Python package is not installed: pip install '{ZENOH_REQUIREMENT}', or install torvane "
                    f"with its bridge extra (pip install '.[bridge]' in a clone of torvane)")
    try:
        import torvane
    except ImportError as error:
        return fail(f"the torvane module cannot be imported ({error}): pip install . in a clone of torvane")
    try:
        config = zenoh_config(zenoh, opts)
    except (OSError, ValueError, zenoh.ZError) as error:
        return fail(f"Zenoh configuration: {error}", BAD_INPUT)
    lines = LibraryLines()
    own_lines = OwnLines(sys.stderr)
    # Only the main thread takes SIGINT and SIGTERM, the emergency stop, and it never waits
    # long in one call: Zenoh's threads (started here; they start the others) and the
    # bridge's own block both. (A sanitizer's runtime, for one, runs a handler only when the
    # thread that got the signal next makes a call it intercepts, which a thread asleep in a
    # futex or a receive may not do for a long time.)
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        session = zenoh.open(config)
        bridge = Bridge(torvane, zenoh, session, opts, lines, own_lines)
    except zenoh.ZError as error:
        return fail(f"cannot open a Zenoh session: {error}")
    except (OSError, RuntimeError) as error:
        session.close()
        text = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        return fail(f"cannot open CAN interface {opts.interface}: {text}")
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
    own_lines.say(f"torvane-bridge: {opts.interface} motors {' '.join(map(str, opts.motors))} ({opts.mode} mode) on "
                  f"{opts.prefix}/**; command timeout {opts.command_timeout_ms:g} ms")
    try:
        bridge.run()
    finally:
        # Only a failure of the bridge itself gets here (a signal ends the process in the
        # emergency stop): the motors must not keep their last command.
        bridge.close()
        own_lines.flush(1.0)
    return FAILED


if __name__ == "__main__":
    sys.exit(main())
