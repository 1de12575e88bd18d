"""The ODrive CAN protocol as the project's tests and tools speak it on the other
side of the wire: command ids, the SocketCAN frame layout, arbitration ids and the
link's getters. The C helpers' counterpart is odrive_protocol.h in this folder.

Tests that check the module's encoders do not use this module for their expected
bytes: those stay written out, so that a mistake here cannot hide one there.
"""

import struct
import sys

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
CAN_EFF_FLAG = 0x80000000
CAN_RTR_FLAG = 0x40000000
CAN_ERR_FLAG = 0x20000000
NOT_A_DATA_FRAME = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG  # what no ODrive frame carries

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
