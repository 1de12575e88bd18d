"""The ODrive CAN protocol as torvane's commands, tests and tools speak it on the
other side of the wire: command ids, the SocketCAN frame layouts and socket options,
arbitration ids, the telemetry messages with the link's getters they fill and the
bytes the link needs of each, and the names of axis states and errors. The C
helpers' counterpart is tools/torvane_dev/odrive_protocol.h.

Tests that check the module's encoders do not use this module for their expected
bytes: those stay written out, so that a mistake here cannot hide one there.
"""

import argparse
import struct
import sys
from dataclasses import dataclass

# ODrive command ids: the low five bits of the 11-bit identifier; the node id sits above them.
HEARTBEAT = 0x01
SET_AXIS_STATE = 0x07
GET_ENCODER_ESTIMATES = 0x09
SET_CONTROL_MODE = 0x0B
SET_POSITION = 0x0C
SET_VELOCITY = 0x0D
SET_TORQUE = 0x0E
SET_LIMITS = 0x0F
GET_IQ = 0x14
GET_TEMPERATURE = 0x15
GET_BUS_VOLTAGE_CURRENT = 0x17
CLEAR_ERRORS = 0x18
SET_POS_GAIN = 0x1A
SET_VEL_GAINS = 0x1B
GET_TORQUES = 0x1C

# What an ODrive broadcasts unasked; everything else is a command to it.
TELEMETRY = (HEARTBEAT, GET_ENCODER_ESTIMATES, GET_IQ, GET_TEMPERATURE, GET_BUS_VOLTAGE_CURRENT, GET_TORQUES)

# Axis states and control modes as they travel in SET_AXIS_STATE / SET_CONTROL_MODE.
UNDEFINED, IDLE, CLOSED_LOOP_CONTROL = 0, 1, 8
VOLTAGE, TORQUE, VELOCITY, POSITION = 0, 1, 2, 3

MAX_NODE = 63
NODE_SHIFT = 5
COMMAND_MASK = 0x1F

# struct can_frame of linux/can.h: identifier (host byte order), length, three
# reserved bytes, eight data bytes. The ODrive payload is little-endian; the
# combined layouts below (FRAME_HEAD + payload format) assume a little-endian host.
assert sys.byteorder == "little", "payload layouts assume a little-endian host"
FRAME_HEAD = "<IB3x"
CAN_FRAME = struct.Struct(FRAME_HEAD + "8s")
FRAME_ID_AND_LENGTH = struct.Struct("<IB")  # the first five bytes of a frame
DATA_OFFSET = 8  # where the payload starts in a frame
# struct canfd_frame: identifier, length (up to 64), flags, two reserved bytes, 64 data
# bytes. A socket receives these only once it has asked for them (CAN_RAW_FD_FRAMES).
CANFD_FRAME = struct.Struct("<IBB2x64s")
CANFD_BRS = 0x01  # flags: the data phase ran at the data bitrate
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
CAN_SFF_MASK = 0x7FF
CAN_EFF_MASK = 0x1FFFFFFF
NOT_A_DATA_FRAME = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG  # what no ODrive frame carries

# Socket options of asm-generic/socket.h (every architecture a robot computer runs on)
# and linux/can/raw.h that Python's socket module does not name on every build.
SO_RCVBUFFORCE = 33  # SO_RCVBUF beyond the system's limit; needs CAP_NET_ADMIN
SO_TIMESTAMPNS = 35  # each frame's kernel receive time (CLOCK_REALTIME) as ancillary data
SO_RXQ_OVFL = 40     # the count of frames the socket had to drop, as ancillary data
CAN_RAW_ERR_FILTER = 2
CAN_RAW_FD_FRAMES = 5

# The link's telemetry getters, in the order the module declares them.
GETTERS = (
    "getAxisError", "getAxisState", "getPositionEstimate", "getVelocityEstimate", "getTorqueEstimate",
    "getIqSetpoint", "getIqMeasured", "getFETTemperature", "getMotorTemperature", "getBusVoltage",
    "getBusCurrent",
)


def arb_id(node: int, command: int) -> int:
    """The 11-bit identifier of `command` for ODrive node `node`."""
    return (node << NODE_SHIFT) | command


def command_filter(command: int) -> bytes:
    """A CAN_RAW_FILTER that passes standard data frames of one command id, from any node."""
    return struct.pack("=II", command, COMMAND_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG)


def node_of(can_id: int) -> int:
    return (can_id >> NODE_SHIFT) & MAX_NODE


def command_of(can_id: int) -> int:
    return can_id & COMMAND_MASK


# The names of the command ids the link sends or decodes.
COMMAND_NAMES = {
    HEARTBEAT: "HEARTBEAT", SET_AXIS_STATE: "SET_AXIS_STATE", GET_ENCODER_ESTIMATES: "GET_ENCODER_ESTIMATES",
    SET_CONTROL_MODE: "SET_CONTROL_MODE", SET_POSITION: "SET_POSITION", SET_VELOCITY: "SET_VELOCITY",
    SET_TORQUE: "SET_TORQUE", SET_LIMITS: "SET_LIMITS", GET_IQ: "GET_IQ", GET_TEMPERATURE: "GET_TEMPERATURE",
    GET_BUS_VOLTAGE_CURRENT: "GET_BUS_VOLTAGE_CURRENT", CLEAR_ERRORS: "CLEAR_ERRORS", SET_POS_GAIN: "SET_POS_GAIN",
    SET_VEL_GAINS: "SET_VEL_GAINS", GET_TORQUES: "GET_TORQUES",
}


@dataclass(frozen=True)
class TelemetryMessage:
    """One message an ODrive broadcasts when its rate setting is not 0."""

    command: int
    name: str
    setting: str          # "iq": the axis' config.can.iq_msg_rate_ms, torvane-sim's --msg-rate-ms iq=MS
    words: str            # the rate setting, as a person says it
    layout: str           # struct format of the payload
    fields: tuple[str, ...]
    getters: tuple[str, ...]  # the link's getters that read its fields (GET_TORQUES' second float: none)
    link_length: int      # the bytes the link reads; it ignores a frame shorter than this

    @property
    def setting_path(self) -> str:
        return f"<axis>.config.can.{self.setting}_msg_rate_ms"


TELEMETRY_MESSAGES = (
    TelemetryMessage(HEARTBEAT, "HEARTBEAT", "heartbeat", "heartbeat rate", "<IB",
                     ("axis_error", "axis_state"), ("getAxisError", "getAxisState"), 5),
    TelemetryMessage(GET_ENCODER_ESTIMATES, "GET_ENCODER_ESTIMATES", "encoder", "encoder estimates rate", "<ff",
                     ("position_estimate", "velocity_estimate"), ("getPositionEstimate", "getVelocityEstimate"), 8),
    TelemetryMessage(GET_IQ, "GET_IQ", "iq", "Iq rate", "<ff",
                     ("iq_setpoint", "iq_measured"), ("getIqSetpoint", "getIqMeasured"), 8),
    TelemetryMessage(GET_TEMPERATURE, "GET_TEMPERATURE", "temperature", "temperature rate", "<ff",
                     ("fet_temperature", "motor_temperature"), ("getFETTemperature", "getMotorTemperature"), 8),
    TelemetryMessage(GET_BUS_VOLTAGE_CURRENT, "GET_BUS_VOLTAGE_CURRENT", "bus_voltage", "bus voltage and current rate",
                     "<ff", ("bus_voltage", "bus_current"), ("getBusVoltage", "getBusCurrent"), 8),
    TelemetryMessage(GET_TORQUES, "GET_TORQUES", "torques", "torques rate", "<ff",
                     ("torque_estimate", "torque_target"), ("getTorqueEstimate",), 4),
)
TELEMETRY_BY_COMMAND = {message.command: message for message in TELEMETRY_MESSAGES}
TELEMETRY_BY_SETTING = {message.setting: message for message in TELEMETRY_MESSAGES}

# Axis states as the heartbeat reports them (the module names UNDEFINED, IDLE and
# CLOSED_LOOP_CONTROL; an ODrive passes through the others while it calibrates or homes).
AXIS_STATE_NAMES = {
    0: "UNDEFINED", 1: "IDLE", 2: "STARTUP_SEQUENCE", 3: "FULL_CALIBRATION_SEQUENCE", 4: "MOTOR_CALIBRATION",
    6: "ENCODER_INDEX_SEARCH", 7: "ENCODER_OFFSET_CALIBRATION", 8: "CLOSED_LOOP_CONTROL", 9: "LOCKIN_SPIN",
    10: "ENCODER_DIR_FIND", 11: "HOMING", 12: "ENCODER_HALL_POLARITY_CALIBRATION",
    13: "ENCODER_HALL_PHASE_CALIBRATION", 14: "ANTICOGGING_CALIBRATION",
}

# The axis error bits of the heartbeat, as the ODrive firmware whose CAN messages these
# are (0.6: temperatures at 0x15, torques at 0x1C) reports its active errors.
AXIS_ERROR_BITS = {
    0x1: "INITIALIZING", 0x2: "SYSTEM_LEVEL", 0x4: "TIMING_ERROR", 0x8: "MISSING_ESTIMATE", 0x10: "BAD_CONFIG",
    0x20: "DRV_FAULT", 0x40: "MISSING_INPUT", 0x100: "DC_BUS_OVER_VOLTAGE", 0x200: "DC_BUS_UNDER_VOLTAGE",
    0x400: "DC_BUS_OVER_CURRENT", 0x800: "DC_BUS_OVER_REGEN_CURRENT", 0x1000: "CURRENT_LIMIT_VIOLATION",
    0x2000: "MOTOR_OVER_TEMP", 0x4000: "INVERTER_OVER_TEMP", 0x8000: "VELOCITY_LIMIT_VIOLATION",
    0x10000: "POSITION_LIMIT_VIOLATION", 0x1000000: "WATCHDOG_TIMER_EXPIRED", 0x2000000: "ESTOP_REQUESTED",
    0x4000000: "SPINOUT_DETECTED", 0x8000000: "BRAKE_RESISTOR_DISARMED", 0x10000000: "THERMISTOR_DISCONNECTED",
    0x40000000: "CALIBRATION_ERROR",
}
WATCHDOG_TIMER_EXPIRED = 0x1000000


def axis_state_name(state: int) -> str:
    return AXIS_STATE_NAMES.get(state, f"UNKNOWN_STATE_{state}")


def axis_error_names(error: int) -> list[str]:
    """The names of the bits set in an axis error; a bit without a name as its hex value."""
    return [AXIS_ERROR_BITS.get(1 << bit, f"0x{1 << bit:x}") for bit in range(32) if error >> bit & 1]


def node_id(text: str) -> int:
    """A node id given on a command line (decimal or 0x...), for argparse."""
    try:
        number = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a node id") from None
    if not 0 <= number <= MAX_NODE:
        raise argparse.ArgumentTypeError(f"node id {number} is outside 0 to {MAX_NODE}")
    return number
