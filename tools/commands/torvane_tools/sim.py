"""torvane-sim: simulated ODrive axes on a SocketCAN bus, for development and tests
without hardware.

Each node id is one axis: a rigid rotor driven by a current-controlled motor, with an
ODrive-like control cascade, that takes the ODrive CAN commands and broadcasts its
telemetry unasked, each message at the rate it is set to, as a configured ODrive does.
Faults can be rehearsed: an axis error, a node falling silent, a reboot, at given times
or on command. The standard library only: `torvane-sim --interface vcan0 --nodes 0 1`.
"""

import argparse
import collections
import errno
import fcntl
import functools
import math
import os
import select
import signal
import socket
import struct
import sys
import time

from torvane_tools.protocol import (
    CAN_FRAME,
    CLEAR_ERRORS,
    CLOSED_LOOP_CONTROL,
    DATA_OFFSET,
    FRAME_HEAD,
    FRAME_ID_AND_LENGTH,
    GET_BUS_VOLTAGE_CURRENT,
    GET_ENCODER_ESTIMATES,
    GET_IQ,
    GET_TEMPERATURE,
    GET_TORQUES,
    HEARTBEAT,
    IDLE,
    NOT_A_DATA_FRAME,
    POSITION,
    SET_AXIS_STATE,
    SET_CONTROL_MODE,
    SET_LIMITS,
    SET_POS_GAIN,
    SET_POSITION,
    SET_TORQUE,
    SET_VEL_GAINS,
    SET_VELOCITY,
    SO_RCVBUFFORCE,
    TELEMETRY_BY_SETTING,
    TELEMETRY_MESSAGES,
    TORQUE,
    UNDEFINED,
    VELOCITY,
    VOLTAGE,
    WATCHDOG_TIMER_EXPIRED,
    arb_id,
    command_of,
    node_id,
    node_of,
)

TELEMETRY_IDS = frozenset(message.command for message in TELEMETRY_MESSAGES)
STATUS_MESSAGES = (HEARTBEAT, GET_IQ, GET_TEMPERATURE, GET_BUS_VOLTAGE_CURRENT, GET_TORQUES)
STATE_NAMES = {UNDEFINED: "UNDEFINED", IDLE: "IDLE", CLOSED_LOOP_CONTROL: "CLOSED_LOOP_CONTROL"}
MODE_NAMES = {VOLTAGE: "VOLTAGE", TORQUE: "TORQUE", VELOCITY: "VELOCITY", POSITION: "POSITION"}
# The order in which one axis' messages go out when they fall due together.
BROADCAST_ORDER = (GET_ENCODER_ESTIMATES, *STATUS_MESSAGES)

FRAME_FLOATS = struct.Struct(FRAME_HEAD + "ff")
FRAME_HEARTBEAT = struct.Struct(FRAME_HEAD + "IB3x")
F32 = struct.Struct("<f")
F32X2 = struct.Struct("<ff")
U32X2 = struct.Struct("<II")
POSITION_PAYLOAD = struct.Struct("<fhh")
TWO_PI = 2.0 * math.pi

AMBIENT_C = 25.0
PHASE_RESISTANCE = 0.05   # ohm, for the copper losses in the bus current
SUPPLY_RESISTANCE = 0.05  # ohm, the sag of the bus voltage under load
QUIESCENT_A = 0.08        # bus current of a powered board that drives nothing
FET_HEATING = 0.08        # settled FET rise in degrees per A^2 of Iq
MOTOR_HEATING = 0.15      # settled winding rise in degrees per A^2 of Iq
FET_TAU_S = 5.0
MOTOR_TAU_S = 30.0


class Axis:
    """One ODrive axis: its state machine, control cascade and rotor."""

    def __init__(self, node, opts, dt, periods):
        self.node = node
        self.opts = opts
        self.dt = dt
        # Position is in turns, so the rotor's "mass" per turn is 2*pi*J: torque [Nm] = mass * turns/s^2.
        self.mass = TWO_PI * opts.inertia
        self.friction = opts.friction        # Nm per turn/s
        self.kt = opts.torque_constant       # Nm/A
        current_tau = opts.current_lag_ms / 1000.0
        # Exact discretisation of the current lag, stable for any substep.
        self.current_step = 1.0 - math.exp(-dt / current_tau) if current_tau > 0.0 else 1.0
        self.position = 0.0
        self.velocity = 0.0
        self.fet_temperature = AMBIENT_C
        self.motor_temperature = AMBIENT_C
        self.heat_seconds = 0.0       # simulated time not yet folded into the temperatures
        self.heat_iq_squared = 0.0    # integral of Iq^2 over that time
        self.configured_periods = periods  # command id -> seconds between broadcasts, 0: not broadcast
        self.booting = False  # rebooting: silent and deaf until the simulator ends the boot
        self.commands = 0     # frames addressed to this axis
        self.ignored = 0      # of those, the ones it did not act on
        self.sent = {}        # command id -> last frame the bus took, for the `telemetry` report
        self.boot()

    def boot(self):
        """What a powered-up axis starts with: IDLE, no error, the configured gains, limits,
        watchdog and broadcast rates. The rotor keeps its position and coasts."""
        opts = self.opts
        self.state = IDLE
        self.error = 0
        self.control_mode = POSITION         # a fresh ODrive's defaults
        self.input_mode = 1
        self.input_position = 0.0
        self.input_velocity = 0.0
        self.input_torque = 0.0
        self.pos_gain = opts.pos_gain
        self.vel_gain = opts.vel_gain
        self.vel_integrator_gain = opts.vel_integrator_gain
        self.vel_limit = opts.vel_limit
        self.current_limit = opts.current_limit
        self.integrator = 0.0
        self.iq_setpoint = 0.0
        self.iq_measured = 0.0
        self.watchdog_s = opts.watchdog_ms / 1000.0
        self.last_setpoint_time = 0.0
        self.broadcasting = True
        self.periods = dict(self.configured_periods)

    # ---- state machine ----

    def request_state(self, requested, now):
        if requested == IDLE:
            self.go_idle()
        elif requested == CLOSED_LOOP_CONTROL and self.error == 0:
            if self.state != CLOSED_LOOP_CONTROL:
                self._start_closed_loop(now)
        else:
            # Other states (calibration and the like) do not exist here, and an axis
            # with an error refuses closed loop: either way it stays where it is.
            self.ignored += 1

    def _start_closed_loop(self, now):
        # Hold where the rotor is rather than jump to an old setpoint.
        self.input_position = self.position
        self.input_velocity = 0.0
        self.input_torque = 0.0
        self.integrator = 0.0
        self.last_setpoint_time = now
        self.state = CLOSED_LOOP_CONTROL

    def go_idle(self):
        self.state = IDLE
        self.integrator = 0.0
        self.iq_setpoint = 0.0
        self.iq_measured = 0.0  # the bridge is off: no current flows

    def fault(self, code):
        self.error = code
        if code:
            self.go_idle()

    def check_watchdog(self, now):
        if (self.watchdog_s > 0.0 and self.state == CLOSED_LOOP_CONTROL
                and now - self.last_setpoint_time > self.watchdog_s):
            self.fault(WATCHDOG_TIMER_EXPIRED)

    # ---- commands ----

    def handle(self, command, length, buf, now):
        """Applies one command frame; frames too short for their message or carrying
        non-finite numbers are ignored, so a garbled frame cannot poison the model."""
        self.commands += 1
        isfinite = math.isfinite
        if self.booting:
            self.ignored += 1
        elif command == SET_AXIS_STATE and length >= 1:
            self.request_state(buf[DATA_OFFSET], now)
        elif length < 4:
            self.ignored += 1
        elif command == SET_TORQUE:
            (torque,) = F32.unpack_from(buf, DATA_OFFSET)
            if isfinite(torque):
                self.input_torque = torque
                self.last_setpoint_time = now
            else:
                self.ignored += 1
        elif command == SET_POS_GAIN:
            (gain,) = F32.unpack_from(buf, DATA_OFFSET)
            if isfinite(gain):
                self.pos_gain = gain
            else:
                self.ignored += 1
        elif command == CLEAR_ERRORS:
            self.error = 0
        elif length < 8:
            self.ignored += 1
        elif command == SET_POSITION:
            position, vel_ff, torque_ff = POSITION_PAYLOAD.unpack_from(buf, DATA_OFFSET)
            if isfinite(position):
                self.input_position = position
                self.input_velocity = vel_ff * 0.001
                self.input_torque = torque_ff * 0.001
                self.last_setpoint_time = now
            else:
                self.ignored += 1
        elif command == SET_VELOCITY:
            velocity, torque_ff = F32X2.unpack_from(buf, DATA_OFFSET)
            if isfinite(velocity) and isfinite(torque_ff):
                self.input_velocity = velocity
                self.input_torque = torque_ff
                self.last_setpoint_time = now
            else:
                self.ignored += 1
        elif command == SET_VEL_GAINS:
            gain, integrator_gain = F32X2.unpack_from(buf, DATA_OFFSET)
            if isfinite(gain) and isfinite(integrator_gain):
                self.vel_gain = gain
                self.vel_integrator_gain = integrator_gain
            else:
                self.ignored += 1
        elif command == SET_LIMITS:
            vel_limit, current_limit = F32X2.unpack_from(buf, DATA_OFFSET)
            if isfinite(vel_limit) and isfinite(current_limit) and vel_limit >= 0.0 and current_limit >= 0.0:
                self.vel_limit = vel_limit
                self.current_limit = current_limit
            else:
                self.ignored += 1
        elif command == SET_CONTROL_MODE:
            mode, input_mode = U32X2.unpack_from(buf, DATA_OFFSET)
            if mode in MODE_NAMES:
                if mode == POSITION and self.control_mode != POSITION:
                    self.input_position = self.position  # no jump to a stale setpoint
                self.control_mode = mode
                self.input_mode = input_mode  # recorded; every input mode acts as passthrough
            else:
                self.ignored += 1
        else:
            self.ignored += 1

    # ---- physics ----

    def advance(self, steps):
        """Integrates `steps` fixed substeps."""
        if steps <= 0:
            return
        dt = self.dt
        if self.state != CLOSED_LOOP_CONTROL or self.control_mode == VOLTAGE:
            if self.velocity != 0.0:
                self._coast(steps * dt)
            self._heat(steps * dt, 0.0)
            return
        pos = self.position
        vel = self.velocity
        iq = self.iq_measured
        integ = self.integrator
        mode = self.control_mode
        kt = self.kt
        friction = self.friction
        torque_max = self.current_limit * kt
        vel_limit = self.vel_limit
        pos_gain = self.pos_gain
        vel_gain = self.vel_gain
        integ_step = self.vel_integrator_gain * dt
        input_position = self.input_position
        input_velocity = self.input_velocity
        input_torque = self.input_torque
        lag = self.current_step
        accel_scale = dt / self.mass
        heat = 0.0
        torque = 0.0
        for _ in range(steps):
            if mode == TORQUE:
                torque = input_torque
            else:
                if mode == POSITION:
                    vel_cmd = pos_gain * (input_position - pos) + input_velocity
                else:
                    vel_cmd = input_velocity
                if vel_cmd > vel_limit:
                    vel_cmd = vel_limit
                elif vel_cmd < -vel_limit:
                    vel_cmd = -vel_limit
                vel_err = vel_cmd - vel
                torque = vel_gain * vel_err + integ + input_torque
                if -torque_max <= torque <= torque_max:
                    integ += integ_step * vel_err
                else:
                    integ *= 0.99  # bleed the integrator while saturated instead of winding it up
            if torque > torque_max:
                torque = torque_max
            elif torque < -torque_max:
                torque = -torque_max
            iq += (torque / kt - iq) * lag
            vel += (kt * iq - friction * vel) * accel_scale
            pos += vel * dt
            heat += iq * iq
        self.position = pos
        self.velocity = vel
        self.iq_measured = iq
        self.integrator = integ
        self.iq_setpoint = torque / kt
        self._heat(steps * dt, heat * dt)

    def _coast(self, seconds):
        # No torque: the exact solution of mass * dv/dt = -friction * v.
        if self.friction > 0.0:
            tau = self.mass / self.friction
            decay = math.exp(-seconds / tau)
            self.position += self.velocity * tau * (1.0 - decay)
            self.velocity *= decay
            if abs(self.velocity) < 1e-9:
                self.velocity = 0.0  # at rest; also spares an idle axis the integration
        else:
            self.position += self.velocity * seconds
        self.iq_setpoint = 0.0
        self.iq_measured = 0.0

    def _heat(self, seconds, iq_squared_seconds):
        # First-order thermal lags driven by the mean of Iq^2; temperatures move
        # slowly, so they are updated every few tens of milliseconds only.
        self.heat_seconds += seconds
        self.heat_iq_squared += iq_squared_seconds
        if self.heat_seconds < 0.02:
            return
        seconds = self.heat_seconds
        mean_square = self.heat_iq_squared / seconds
        self.heat_seconds = self.heat_iq_squared = 0.0
        self.fet_temperature += ((AMBIENT_C + FET_HEATING * mean_square - self.fet_temperature)
                                 * (1.0 - math.exp(-seconds / FET_TAU_S)))
        self.motor_temperature += ((AMBIENT_C + MOTOR_HEATING * mean_square - self.motor_temperature)
                                   * (1.0 - math.exp(-seconds / MOTOR_TAU_S)))

    # ---- telemetry ----

    def torque_estimate(self):
        return self.kt * self.iq_measured

    def bus(self, nominal_voltage):
        power = (1.5 * PHASE_RESISTANCE * self.iq_measured ** 2
                 + self.torque_estimate() * self.velocity * TWO_PI)  # negative when braking
        current = QUIESCENT_A + power / nominal_voltage
        return nominal_voltage - SUPPLY_RESISTANCE * current, current

    def frame(self, command, nominal_voltage):
        """The frame of one telemetry message, with the axis' values of now."""
        can_id = arb_id(self.node, command)
        if command == GET_ENCODER_ESTIMATES:
            return FRAME_FLOATS.pack(can_id, 8, self.position, self.velocity)
        if command == HEARTBEAT:
            return FRAME_HEARTBEAT.pack(can_id, 8, self.error, self.state)
        if command == GET_IQ:
            values = (self.iq_setpoint, self.iq_measured)
        elif command == GET_TEMPERATURE:
            values = (self.fet_temperature, self.motor_temperature)
        elif command == GET_BUS_VOLTAGE_CURRENT:
            values = self.bus(nominal_voltage)
        else:
            values = (self.torque_estimate(), self.iq_setpoint * self.kt)
        return FRAME_FLOATS.pack(can_id, 8, *values)

    # ---- reports ----

    def status_line(self):
        fields = [
            ("state", STATE_NAMES.get(self.state, str(self.state))),
            ("error", f"0x{self.error:x}"),
            ("control_mode", MODE_NAMES[self.control_mode]),
            ("input_mode", self.input_mode),
            ("position", repr(self.position)),
            ("velocity", repr(self.velocity)),
            ("torque", repr(self.torque_estimate())),
            ("iq_setpoint", repr(self.iq_setpoint)),
            ("iq_measured", repr(self.iq_measured)),
            ("input_position", repr(self.input_position)),
            ("input_velocity", repr(self.input_velocity)),
            ("input_torque", repr(self.input_torque)),
            ("pos_gain", repr(self.pos_gain)),
            ("vel_gain", repr(self.vel_gain)),
            ("vel_integrator_gain", repr(self.vel_integrator_gain)),
            ("vel_limit", repr(self.vel_limit)),
            ("current_limit", repr(self.current_limit)),
            ("watchdog_ms", repr(self.watchdog_s * 1000.0)),
            ("telemetry", "off" if not self.broadcasting else "booting" if self.booting else "on"),
            ("commands", self.commands),
            ("ignored", self.ignored),
        ]
        return f"axis {self.node}: " + ", ".join(f"{k} {v}" for k, v in fields)

    def telemetry_line(self):
        """The values last broadcast, named like the link's getters; '-' for a message never sent."""
        fields = []

        def add(command, names, fmt):
            frame = self.sent.get(command)
            values = struct.unpack_from(fmt, frame, DATA_OFFSET) if frame else ("-",) * len(names)
            fields.extend(zip(names, values, strict=True))

        add(HEARTBEAT, ("axis_error", "axis_state"), "<IB")
        add(GET_ENCODER_ESTIMATES, ("position_estimate", "velocity_estimate"), "<ff")
        add(GET_TORQUES, ("torque_estimate", "torque_target"), "<ff")
        add(GET_IQ, ("iq_setpoint", "iq_measured"), "<ff")
        add(GET_TEMPERATURE, ("fet_temperature", "motor_temperature"), "<ff")
        add(GET_BUS_VOLTAGE_CURRENT, ("bus_voltage", "bus_current"), "<ff")
        return f"axis {self.node}: " + ", ".join(f"{k} {v!r}" if k != "axis_error" else f"{k} {v}"
                                                  for k, v in fields)

    def summary_line(self):
        return (f"axis {self.node}: state {STATE_NAMES.get(self.state, str(self.state))}, "
                f"error 0x{self.error:x}, position {self.position:.4f}, commands {self.commands}")


# The interface requests of linux/sockios.h the simulator asks about its interface.
SIOCGIFFLAGS = 0x8913
SIOCGIFHWADDR = 0x8927
IFF_UP = 0x1
ARPHRD_CAN = 280  # the hardware type of every CAN interface, vcan included
IFREQ = struct.Struct("16s24x")  # struct ifreq: the name, then a union whose first field is at byte 16
UP, DOWN, GONE = "up", "down", "gone"


class NotCan(Exception):
    """The interface exists but is not a CAN interface."""


class Bus:
    """A raw CAN socket on one interface: non-blocking reads in batches, one write per frame."""

    def __init__(self, interface):
        self.interface = interface
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        try:
            if self.state() != GONE and self._hardware_type() != ARPHRD_CAN:
                raise NotCan(interface)
            # A large receive queue rides out the moments when a slow machine does not schedule us.
            try:
                self.sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 4 << 20)  # needs root
            except OSError:
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
            self.sock.bind((interface,))
            self.sock.setblocking(False)
        except BaseException:
            self.sock.close()
            raise
        self.buf = bytearray(CAN_FRAME.size)
        self.send_failures = 0
        # The errno of the last failure that was not a full queue (the interface went
        # down or away), for the simulator to look into; None once it has.
        self.trouble = None
        # Frames a full transmit queue refused, oldest first, with what to do once
        # taken: a node waits for the bus, as a CAN controller retries a frame until
        # it wins arbitration, but holds only so many.
        self.waiting = collections.deque()

    def fileno(self):
        return self.sock.fileno()

    def send(self, frame, on_taken=None):
        """Hands the frame to the kernel, behind any that are waiting; `on_taken`
        runs once the kernel took it."""
        taken = False if self.waiting else self._try(frame)
        if taken is False:
            self.waiting.append((frame, on_taken))
            while len(self.waiting) > self.MOST_WAITING:
                self.waiting.popleft()  # lost, as on a bus that stays overloaded
                self.send_failures += 1
        elif taken and on_taken is not None:
            on_taken()

    def send_waiting(self):
        while self.waiting:
            frame, on_taken = self.waiting[0]
            taken = self._try(frame)
            if taken is False:
                return
            self.waiting.popleft()
            if taken and on_taken is not None:
                on_taken()

    def _try(self, frame):
        """True when the kernel took the frame, False when its queue is full for now,
        None when it is lost (the interface is down or gone)."""
        try:
            self.sock.send(frame)
            return True
        except (BlockingIOError, InterruptedError):
            return False
        except OSError as error:
            if error.errno == errno.ENOBUFS:
                return False
            self.send_failures += 1
            self.trouble = error.errno
            return None

    MOST_WAITING = 32

    def _ioctl(self, request):
        name = self.interface.encode()
        if not 0 < len(name) < 16:
            raise OSError(errno.ENODEV, os.strerror(errno.ENODEV))
        return fcntl.ioctl(self.sock.fileno(), request, IFREQ.pack(name))

    def _hardware_type(self):
        return struct.unpack_from("=H", self._ioctl(SIOCGIFHWADDR), 16)[0]

    def state(self):
        """UP, DOWN or GONE (no interface of that name, as when an adapter is unplugged)."""
        try:
            flags = struct.unpack_from("=H", self._ioctl(SIOCGIFFLAGS), 16)[0]
        except OSError as error:
            if error.errno == errno.ENODEV:
                return GONE
            raise
        return UP if flags & IFF_UP else DOWN

    def rebind(self):
        """Binds the socket again to an interface that was removed and is back: the
        kernel unbound it when the interface went away."""
        self.sock.bind((self.interface,))

    def drop_waiting(self):
        self.send_failures += len(self.waiting)
        self.waiting.clear()

    def close(self):
        self.sock.close()


class Simulator:
    def __init__(self, opts, bus, out=sys.stdout):
        self.opts = opts
        self.bus = bus
        self.out = out
        self.axes = [Axis(node, opts, 1.0 / opts.physics_hz, configured_periods(opts, node)) for node in opts.nodes]
        self.by_node = {axis.node: axis for axis in self.axes}
        self.dt = 1.0 / opts.physics_hz
        self.max_catch_up = opts.max_catch_up_ms / 1000.0
        self.reboot_s = opts.reboot_ms / 1000.0
        self.groups = []      # [due, period, [(axis, command id), ...]]: what falls due together
        self.boot_ends = {}   # rebooting axis -> wall time its boot ends
        self.events = []      # (wall time, what, action) of the faults given on the command line
        self.sim_time = 0.0
        self.stalls = 0
        self.stopping = False
        self.stdin_buffer = b""
        self.stdin_fd = None if opts.no_stdin else sys.stdin.fileno()
        self.lost_since = None  # wall time the interface went down or away, None while it is up
        self.lost_how = None    # DOWN, or GONE: then the socket must be bound again once it is back
        self.next_look = 0.0    # when to ask the interface's state again while it is lost

    @staticmethod
    def say(what):
        print(f"torvane-sim: {what}", file=sys.stderr, flush=True)

    def emit(self, line):
        try:
            self.out.write(line + "\n")
            self.out.flush()
        except (BrokenPipeError, ValueError):
            pass  # nobody listens any more; keep simulating

    # ---- time ----

    def step_to(self, wall):
        elapsed = wall - self.last_wall
        self.last_wall = wall
        if elapsed > self.max_catch_up:
            # After a stall, integrating the whole gap at once would replay it with
            # commands nobody could correct; simulated time lags behind instead.
            elapsed = self.max_catch_up
            self.stalls += 1
        self.pending += elapsed
        steps = int(self.pending / self.dt)
        if steps:
            self.pending -= steps * self.dt
            self.sim_time += steps * self.dt
            for axis in self.axes:
                axis.advance(steps)
                axis.check_watchdog(self.sim_time)

    # ---- input ----

    def read_bus(self):
        recv_into = self.bus.sock.recv_into
        buf = self.bus.buf
        by_node = self.by_node
        now = self.sim_time
        while True:
            try:
                if recv_into(buf) != 16:
                    continue
            except BlockingIOError:
                return
            except InterruptedError:
                continue
            except OSError as error:
                # The interface went down (ENETDOWN) or away (ENODEV): watch_interface
                # takes it from here.
                self.bus.trouble = error.errno
                return
            can_id, length = FRAME_ID_AND_LENGTH.unpack_from(buf)
            if can_id & NOT_A_DATA_FRAME:
                continue  # an ODrive listens to standard data frames only
            command = command_of(can_id)
            axis = by_node.get(node_of(can_id))
            if axis is None or command in TELEMETRY_IDS:
                continue  # another node's traffic, or another device's telemetry
            axis.handle(command, length, buf, now)

    def read_stdin(self):
        try:
            chunk = os.read(self.stdin_fd, 4096)
        except BlockingIOError:
            return
        if not chunk:
            self.stdin_fd = None  # end of input: go on without it
            return
        self.stdin_buffer += chunk
        *lines, self.stdin_buffer = self.stdin_buffer.split(b"\n")
        for line in lines:
            self.run_command(line.decode(errors="replace").strip())

    def targets(self, word):
        if word == "all":
            return self.axes
        try:
            return [self.by_node[int(word)]]
        except (ValueError, KeyError):
            raise ValueError(f"no axis {word!r} (nodes: {' '.join(str(a.node) for a in self.axes)}, or all)") from None

    def run_command(self, line):
        """One line of the run-time grammar (see --help)."""
        words = line.split()
        if not words:
            return
        name, args = words[0].lower(), words[1:]
        try:
            if name == "status" and not args:
                for axis in self.axes:
                    self.emit(axis.status_line())
                return
            if name == "telemetry" and not args:
                for axis in self.axes:
                    self.emit(axis.telemetry_line())
                return
            if name == "quit" and not args:
                self.stopping = True  # the summary lines are the answer
                return
            if name == "error" and len(args) == 2:
                code = int(args[1], 0)
                if not 0 <= code <= 0xFFFFFFFF:
                    raise ValueError("the error code must fit 32 bits")
                for axis in self.targets(args[0]):
                    axis.fault(code)
            elif name in ("silence", "resume") and len(args) == 1:
                for axis in self.targets(args[0]):
                    axis.broadcasting = name == "resume"
            elif name == "idle" and len(args) == 1:
                for axis in self.targets(args[0]):
                    axis.go_idle()
            elif name == "reboot" and len(args) == 1:
                for axis in self.targets(args[0]):
                    self.reboot(axis, time.monotonic())
            elif name == "rate" and len(args) == 3:
                message = telemetry_message(args[1])
                milliseconds = float(args[2])
                if not 0.0 <= milliseconds < math.inf:
                    raise ValueError("the rate must be 0 (not broadcast) or a positive number of ms")
                for axis in self.targets(args[0]):
                    axis.periods[message.command] = milliseconds / 1000.0
                self.plan_broadcasts(time.monotonic())
            elif name == "watchdog" and len(args) == 2:
                milliseconds = float(args[1])
                if not milliseconds >= 0.0:
                    raise ValueError("the watchdog time must be 0 (off) or positive")
                for axis in self.targets(args[0]):
                    axis.watchdog_s = milliseconds / 1000.0
                    axis.last_setpoint_time = self.sim_time  # arming starts a fresh period
            else:
                raise ValueError(f"unknown command {line!r}; see --help")
        except ValueError as exc:
            self.emit(f"invalid: {exc}")
            return
        self.emit("ok")

    # ---- output ----

    def plan_broadcasts(self, wall):
        """Groups every axis' messages by their period, so that one timer serves each
        period; a period already served keeps its phase, a new one starts now."""
        due = {period: when for when, period, _ in self.groups}
        by_period = {}
        for axis in self.axes:
            for command in BROADCAST_ORDER:
                period = axis.periods[command]
                if period > 0.0:
                    by_period.setdefault(period, []).append((axis, command))
        self.groups = [[due.get(period, wall), period, items] for period, items in sorted(by_period.items())]

    def broadcast(self, wall):
        send = self.bus.send
        voltage = self.opts.bus_voltage
        for group in self.groups:
            due, period, items = group
            if wall < due:
                continue
            for axis, command in items:
                if axis.broadcasting and not axis.booting:
                    frame = axis.frame(command, voltage)
                    send(frame, functools.partial(axis.sent.__setitem__, command, frame))
            group[0] = self._next(due, period, wall)

    # ---- faults ----

    def reboot(self, axis, wall):
        axis.boot()
        axis.booting = True
        self.boot_ends[axis] = wall + self.reboot_s
        self.plan_broadcasts(wall)  # rates changed at run time are back to the configured ones

    def end_boots(self, wall):
        for axis, end in list(self.boot_ends.items()):
            if wall >= end:
                axis.booting = False
                del self.boot_ends[axis]

    def schedule_faults(self, start):
        opts = self.opts
        events = [(seconds, f"axis {node} falls silent", lambda axis, wall: setattr(axis, "broadcasting", False), node)
                  for node, seconds in opts.silent_at]
        events += [(seconds, f"axis {node} raises error 0x{code:x}", lambda axis, wall, code=code: axis.fault(code),
                    node) for node, code, seconds in opts.error_at]
        events += [(seconds, f"axis {node} reboots", self.reboot, node) for node, seconds in opts.reboot_at]
        self.events = sorted(((start + seconds, f"{seconds:g} s: {what}", action, self.by_node[node])
                              for seconds, what, action, node in events), key=lambda event: event[0])

    def run_faults(self, wall):
        while self.events and self.events[0][0] <= wall:
            _, what, action, axis = self.events.pop(0)
            action(axis, wall)
            self.say(what)

    # ---- the interface ----

    def lose_interface(self, wall, how):
        self.lost_since = wall
        self.lost_how = how
        self.next_look = wall
        self.bus.drop_waiting()

    def watch_interface(self, wall, back="is up again after {:.1f} s: broadcasting"):
        """Notices the interface going down or away, says so on standard error, and says
        when it is back (`back`, with the seconds it was lost). The axes run on meanwhile;
        what they broadcast is lost."""
        trouble, self.bus.trouble = self.bus.trouble, None
        if self.lost_since is None:
            if trouble not in (errno.ENETDOWN, errno.ENODEV, errno.ENXIO):
                return
            gone = trouble != errno.ENETDOWN  # ENODEV, ENXIO: unbound, to be bound again
            self.lose_interface(wall, GONE if gone else DOWN)
            self._say_lost("disappeared" if gone else "went down")
        if wall < self.next_look:
            return
        self.next_look = wall + 0.1
        state = self.bus.state()
        if state == GONE:
            # A removed interface goes down first: it may have been said to be down.
            if self.lost_how != GONE:
                self.lost_how = GONE
                self._say_lost("disappeared")
            return
        if self.lost_how == GONE:
            try:
                self.bus.rebind()
            except OSError:
                return
            self.lost_how = DOWN
        if state == UP:
            self.say(f"{self.bus.interface} " + back.format(wall - self.lost_since))
            self.lost_since = None

    def _say_lost(self, what):
        self.say(f"{self.bus.interface} {what}: the axes run on, but nothing reaches the bus until it is back")

    def wait_for_interface(self):
        """Before "ready": an interface that is down gets waited for, not broadcast into."""
        if self.bus.state() == UP:
            return
        name = self.bus.interface
        self.lose_interface(time.monotonic(), DOWN)
        self.say(f"{name} is down: waiting for it to come up (sudo ip link set {name} up)")
        while self.lost_since is not None and not self.stopping:
            time.sleep(0.05)
            self.watch_interface(time.monotonic(), back="is up: starting")

    @staticmethod
    def _next(due, period, wall):
        due += period
        # Behind by more than a period (a stall): skip the missed slots instead of a burst.
        return due if due > wall else wall + period

    # ---- main loop ----

    def run(self):
        self.wait_for_interface()
        if self.stopping:
            for axis in self.axes:
                self.emit(axis.summary_line())
            return
        wall = time.monotonic()
        self.last_wall = wall
        self.pending = 0.0
        self.plan_broadcasts(wall)
        self.schedule_faults(wall)
        self.run_faults(wall)
        self.broadcast(wall)
        self.emit("ready")
        bus_fd = self.bus.fileno()
        monotonic = time.monotonic
        poll = select.poll()
        poll.register(bus_fd, select.POLLIN)
        if self.stdin_fd is not None:
            # Read only when poll() says there is input, so that standard input stays
            # blocking: its flags belong to whoever shares it (a terminal, the shell).
            poll.register(self.stdin_fd, select.POLLIN)
        while not self.stopping:
            due = [group[0] for group in self.groups] + [end for end in self.boot_ends.values()]
            if self.events:
                due.append(self.events[0][0])
            if self.bus.waiting:
                due.append(monotonic() + 0.001)  # frames wait for room in the queue
            wait = min(due, default=math.inf) - monotonic()
            events = poll.poll(max(0.0, min(wait, 0.05)) * 1000.0)
            wall = monotonic()
            self.end_boots(wall)
            self.run_faults(wall)
            # Advance the rotors to now under the old commands, then apply the new ones.
            self.step_to(wall)
            for fd, _ in events:
                if fd == bus_fd:
                    self.read_bus()
                elif fd == self.stdin_fd:
                    self.read_stdin()
                    if self.stdin_fd is None:
                        poll.unregister(fd)
            self.bus.send_waiting()
            self.broadcast(wall)
            self.watch_interface(wall)
        for axis in self.axes:
            self.emit(axis.summary_line())


# ---- command line ----

def error_code(text):
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an error code (decimal or 0x...)") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise argparse.ArgumentTypeError(f"error code {text} does not fit 32 bits")
    return value


def node_error(text):
    node, sep, code = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected NODE=CODE, got {text!r}")
    return node_id(node), error_code(code)


def telemetry_message(name):
    try:
        return TELEMETRY_BY_SETTING[name]
    except KeyError:
        raise ValueError(f"no telemetry message {name!r} (one of {', '.join(TELEMETRY_BY_SETTING)})") from None


def message_rate(text):
    """[NODE:]MESSAGE=MS -> (node or None for every axis, command id, milliseconds)."""
    target, sep, rate = text.partition("=")
    node, colon, name = target.rpartition(":")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected [NODE:]MESSAGE=MS, got {text!r}")
    try:
        message = telemetry_message(name)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    milliseconds = finite_non_negative(rate)
    return (node_id(node) if colon else None), message.command, milliseconds


def configured_periods(opts, node):
    """command id -> seconds between broadcasts of one axis: the encoder and status
    periods, then the --msg-rate-ms of every axis, then those of this node."""
    periods = {command: opts.status_period_ms / 1000.0 for command in STATUS_MESSAGES}
    periods[GET_ENCODER_ESTIMATES] = opts.encoder_period_ms / 1000.0
    for only_node in (False, True):
        for target, command, milliseconds in opts.msg_rate_ms:
            if (target == node) if only_node else target is None:
                periods[command] = milliseconds / 1000.0
    return periods


def timed(*converters):
    """An appending argparse action for options of several values (NODE SECONDS, ...),
    each checked by its own converter."""

    class Timed(argparse.Action):
        def __call__(self, parser, namespace, values, option_string=None):
            try:
                converted = tuple(convert(value) for convert, value in zip(converters, values, strict=True))
            except (ValueError, argparse.ArgumentTypeError) as exc:
                raise argparse.ArgumentError(self, str(exc)) from None
            setattr(namespace, self.dest, [*(getattr(namespace, self.dest) or []), converted])

    return Timed


def positive(text):
    value = float(text)
    if not value > 0.0:
        raise argparse.ArgumentTypeError(f"{text} is not positive")
    return value


def non_negative(text):
    value = float(text)
    if not value >= 0.0:
        raise argparse.ArgumentTypeError(f"{text} is negative")
    return value


def finite_non_negative(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not 0.0 <= value < math.inf:
        raise argparse.ArgumentTypeError(f"{text} is not 0 or a positive number")
    return value


EPILOG = """\
protocol:
  Identifiers are (node << 5) | command, standard 11-bit data frames, fields little-endian,
  floats IEEE single. Each axis takes SET_AXIS_STATE (7: IDLE=1 and CLOSED_LOOP_CONTROL=8;
  any other state, or closed loop while the axis has an error, is refused and the axis stays
  where it is), SET_CONTROL_MODE (11: 0 voltage, 1 torque, 2 velocity, 3 position; the input
  mode is recorded, every input mode acts as passthrough), SET_POSITION (12), SET_VELOCITY (13),
  SET_TORQUE (14), SET_LIMITS (15), CLEAR_ERRORS (24), SET_POS_GAIN (26), SET_VEL_GAINS (27).
  Frames shorter than their message or carrying NaN or infinity are ignored. It broadcasts
  GET_ENCODER_ESTIMATES (9) every encoder period and HEARTBEAT (1), GET_IQ (20),
  GET_TEMPERATURE (21), GET_BUS_VOLTAGE_CURRENT (23) and GET_TORQUES (28: estimate, target)
  every status period, unless --msg-rate-ms sets a message's own period.

message rates:
  --msg-rate-ms [NODE:]MESSAGE=MS sets the period of one message, for every axis or for one
  node, as an ODrive's <axis>.config.can.MESSAGE_msg_rate_ms does; 0 means not broadcast.
  MESSAGE is one of heartbeat, encoder, iq, temperature, bus_voltage, torques. Example:
  --msg-rate-ms iq=0 --msg-rate-ms 1:temperature=0 --msg-rate-ms 0:encoder=5

faults at a given time (seconds after "ready", wall clock; each repeatable):
  --silent-at NODE SECONDS        the axis stops broadcasting (it still takes commands)
  --error-at NODE CODE SECONDS    the axis raises an axis error and drops to IDLE
  --reboot-at NODE SECONDS        the axis reboots: nothing from it for --reboot-ms, commands
                                  ignored, then IDLE with no error and its configured gains,
                                  limits and rates (the rotor keeps its position)
  Each fault is reported on standard error when it happens ("torvane-sim: 2 s: axis 1 falls
  silent"). Axis errors are named in the heartbeat as ODrive firmware 0.6 names them, e.g.
  0x1000000 WATCHDOG_TIMER_EXPIRED, 0x200 DC_BUS_UNDER_VOLTAGE, 0x2000 MOTOR_OVER_TEMP.

model:
  Position in turns, velocity in turns/s, torque in Nm. Closed loop runs the cascade
  vel_cmd = pos_gain*(pos_sp - pos) + vel_ff (position mode) or vel_sp (velocity mode),
  clamped to the velocity limit; torque = vel_gain*(vel_cmd - vel) + integrator + torque_ff;
  in torque mode torque = torque_sp. The torque is clamped to current_limit * torque_constant,
  Iq follows torque/torque_constant with a first-order lag and drives the rotor
  (inertia, viscous friction). IDLE and voltage mode apply no torque: the rotor coasts.
  Entering closed loop, or switching to position mode, holds the present position.
  Simulated time follows the wall clock in fixed substeps; after a stall longer than
  --max-catch-up-ms it falls behind rather than replay the gap.

run-time commands (one per line on standard input):
  status                one line per axis: state, error, modes, position, velocity, torque,
                        Iq, setpoints, gains, limits, counters ("axis N: key value, ...")
  telemetry             one line per axis: the values it last broadcast, named like the
                        link's getters ("-" for a message not sent yet)
  error NODE CODE       set the axis error (decimal or 0x...); non-zero drops the axis to
                        IDLE, as a device does on a fault; 0 clears it
  silence NODE          stop broadcasting (listeners keep stale values)
  resume NODE           broadcast again
  idle NODE             drop the axis to IDLE
  reboot NODE           reboot the axis (see --reboot-at)
  rate NODE MESSAGE MS  set the period of one message (0: not broadcast), as --msg-rate-ms;
                        a reboot restores the configured one
  watchdog NODE MS      arm the watchdog with MS milliseconds (0 disarms)
  quit                  like SIGTERM
  NODE is a node id or "all". status and telemetry answer as above, quit with the
  summary; every other line gets one answer, "ok" or "invalid: REASON".

watchdog:
  An armed axis in closed loop that has received no setpoint (SET_POSITION, SET_VELOCITY,
  SET_TORQUE) for the watchdog time, counted in simulated time, drops to IDLE with axis
  error 0x1000000 (WATCHDOG_TIMER_EXPIRED).

output:
  "ready" once the socket is bound and the first telemetry is out. On SIGINT, SIGTERM or
  quit: one summary line per axis, "axis N: state NAME, error 0xE, position P, commands C",
  where commands counts the frames addressed to the axis, then exit status 0. An interface
  that cannot be opened (none of that name, not a CAN interface) ends it with status 1.

the interface going down:
  On an interface that is down the simulator says so on standard error and waits for it
  to come up; "ready" follows then, and the times of the faults count from there. When
  the interface goes down or disappears (an unplugged adapter) during a run, it says so
  on standard error, the axes run on, what they broadcast meanwhile is lost, and it says
  again when the interface is back and broadcasts as before.

examples:
  torvane-sim -i vcan0 --nodes 0 1 --watchdog-ms 500 --no-stdin &
  torvane-sim -i vcan0 --msg-rate-ms iq=0 --silent-at 1 5 --reboot-at 0 8
  (then torvane-check vcan0 --expect 0 1 shows what torvane sees of them)
"""


def parse_args(argv=None):
    parser = argparse.ArgumentParser(
        prog="torvane-sim",
        description="Simulated ODrive axes on a SocketCAN interface: each node id is an axis with "
                    "a rotor and an ODrive-like control cascade that takes the ODrive CAN commands "
                    "and broadcasts its telemetry, for development and tests without hardware.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    bus = parser.add_argument_group("bus")
    bus.add_argument("-i", "--interface", default="vcan0", help="SocketCAN interface (default: %(default)s)")
    bus.add_argument("--nodes", type=node_id, nargs="+", default=[0, 1], metavar="NODE",
                     help="node ids, one axis each (default: 0 1)")
    bus.add_argument("--encoder-period-ms", type=positive, default=10.0, metavar="MS",
                     help="period of the encoder estimates (default: %(default)s)")
    bus.add_argument("--status-period-ms", type=positive, default=100.0, metavar="MS",
                     help="period of heartbeat, Iq, temperatures, bus voltage/current and torques "
                          "(default: %(default)s)")
    bus.add_argument("--msg-rate-ms", type=message_rate, action="append", default=[],
                     metavar="[NODE:]MESSAGE=MS",
                     help="period of one message, 0: not broadcast (repeatable; see below)")
    model = parser.add_argument_group("rotor and motor")
    model.add_argument("--inertia", type=positive, default=0.005, metavar="KG_M2",
                       help="rotor inertia in kg m^2 (default: %(default)s)")
    model.add_argument("--friction", type=non_negative, default=0.05, metavar="NM_PER_TURN_S",
                       help="viscous friction in Nm per turn/s (default: %(default)s)")
    model.add_argument("--torque-constant", type=positive, default=0.08, metavar="NM_PER_A",
                       help="torque constant in Nm/A (default: %(default)s)")
    model.add_argument("--current-lag-ms", type=non_negative, default=1.0, metavar="MS",
                       help="time constant of Iq following its setpoint (default: %(default)s)")
    model.add_argument("--bus-voltage", type=positive, default=24.0, metavar="V",
                       help="supply voltage before sag (default: %(default)s)")
    control = parser.add_argument_group("controller defaults (the bus commands change them)")
    control.add_argument("--pos-gain", type=float, default=20.0, help="(turn/s)/turn (default: %(default)s)")
    control.add_argument("--vel-gain", type=float, default=1.25, help="Nm/(turn/s) (default: %(default)s)")
    control.add_argument("--vel-integrator-gain", type=float, default=2.5,
                         help="Nm/turn (default: %(default)s)")
    control.add_argument("--vel-limit", type=non_negative, default=10.0, help="turn/s (default: %(default)s)")
    control.add_argument("--current-limit", type=non_negative, default=10.0, help="A (default: %(default)s)")
    sim = parser.add_argument_group("simulation")
    sim.add_argument("--physics-hz", type=positive, default=1000.0, metavar="HZ",
                     help="integration rate, at least 1000 (default: %(default)s)")
    sim.add_argument("--max-catch-up-ms", type=positive, default=50.0, metavar="MS",
                     help="longest stall integrated in one go (default: %(default)s)")
    faults = parser.add_argument_group("faults")
    faults.add_argument("--watchdog-ms", type=non_negative, default=0.0, metavar="MS",
                        help="arm every axis' watchdog, in simulated ms (default: 0, off)")
    faults.add_argument("--error", type=node_error, action="append", default=[], metavar="NODE=CODE",
                        help="start this axis with an error (repeatable)")
    faults.add_argument("--silent", type=node_id, action="append", default=[], metavar="NODE",
                        help="start this axis without broadcasting (repeatable)")
    faults.add_argument("--silent-at", action=timed(node_id, finite_non_negative), nargs=2, default=[],
                        metavar=("NODE", "SECONDS"), help="the axis stops broadcasting at that time")
    faults.add_argument("--error-at", action=timed(node_id, error_code, finite_non_negative), nargs=3,
                        default=[], metavar=("NODE", "CODE", "SECONDS"), help="the axis raises an error then")
    faults.add_argument("--reboot-at", action=timed(node_id, finite_non_negative), nargs=2, default=[],
                        metavar=("NODE", "SECONDS"), help="the axis reboots then")
    faults.add_argument("--reboot-ms", type=finite_non_negative, default=1000.0, metavar="MS",
                        help="how long a rebooting axis stays silent (default: %(default)s)")
    parser.add_argument("--no-stdin", action="store_true",
                        help="do not read run-time commands (e.g. when started in the background of a shell)")
    opts = parser.parse_args(argv)
    if opts.physics_hz < 1000.0:
        parser.error("--physics-hz must be at least 1000")
    if len(set(opts.nodes)) != len(opts.nodes):
        parser.error("--nodes has a node id twice")
    named = [n for n, _ in opts.error] + opts.silent + [n for n, _, _ in opts.msg_rate_ms if n is not None]
    named += [fault[0] for fault in opts.silent_at + opts.error_at + opts.reboot_at]
    for node in named:
        if node not in opts.nodes:
            parser.error(f"node {node} is not among --nodes")
    return opts


def main(argv=None):
    opts = parse_args(argv)
    sim = None

    def stop(signum, frame):
        if sim is None:
            raise SystemExit(0)
        sim.stopping = True

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    name = opts.interface
    try:
        bus = Bus(name)
    except NotCan:
        print(f"torvane-sim: {name} is not a CAN interface (`ip -details link show {name}` says what it is)",
              file=sys.stderr, flush=True)
        return 1
    except OSError as exc:
        why = ("no such interface here (`ip link` lists them)" if exc.errno == errno.ENODEV else
               "this kernel has no CAN sockets (SocketCAN)" if exc.errno == errno.EAFNOSUPPORT else
               exc.strerror or str(exc))
        print(f"torvane-sim: cannot open CAN interface {name}: {why}", file=sys.stderr, flush=True)
        return 1
    sim = Simulator(opts, bus)
    for node, code in opts.error:
        sim.by_node[node].fault(code)
    for node in opts.silent:
        sim.by_node[node].broadcasting = False
    try:
        sim.run()
    finally:
        bus.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
