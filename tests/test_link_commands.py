"""Every command method of ODriveSocket, checked byte for byte on the bus."""

import contextlib
import struct

import pytest

import torvane
from torvane_dev.buses import is_virtual
from torvane_dev.busrate import deep_transmit_queue
from torvane_dev.canpeer import as_f32, f32
from torvane_dev.protocol import CAN_EFF_FLAG, CAN_ERR_FLAG, CAN_RTR_FLAG

In = torvane.ODriveInputMode
Ctrl = torvane.ODriveControlMode
Axis = torvane.ODriveAxisState


def i16(*values):
    return struct.pack("<" + "h" * len(values), *values)


# (call, args, kwargs, identifier, data)
COMMANDS = [
    ("setAxisState", (3, 8), {}, 0x67, bytes([8, 0, 0, 0])),
    ("setAxisState", (0, Axis.IDLE), {}, 0x07, bytes([1, 0, 0, 0])),
    ("setAxisState", (0, 3), {}, 0x07, bytes([3, 0, 0, 0])),
    ("setAxisState", (), {"id": 1, "axis_state": 255}, 0x27, bytes([255, 0, 0, 0])),
    ("setControlMode", (2, 3, 1), {}, 0x4B, bytes.fromhex("0300000001000000")),
    ("setControlMode", (3, Ctrl.POSITION), {}, 0x6B, bytes.fromhex("0300000001000000")),
    ("setControlMode", (3, 2, 2), {}, 0x6B, bytes.fromhex("0200000002000000")),
    ("setControlMode", (), {"id": 3, "control_mode": 1, "input_mode": In.TORQUE_RAMP}, 0x6B,
     bytes.fromhex("0100000006000000")),
    ("setControlMode", (0, 0xFFFFFFFF, 0x12345678), {}, 0x0B, bytes.fromhex("ffffffff78563412")),
    ("position_command", (1, 2.0, 0.5, -0.25), {}, 0x2C, bytes.fromhex("00000040F40106FF")),
    ("position_command", (1, 2.0), {}, 0x2C, f32(2.0) + i16(0, 0)),
    ("position_command", (), {"id": 1, "pos_setpoint": 0.5, "torq_feedforward": 0.1}, 0x2C, f32(0.5) + i16(0, 100)),
    ("position_command", (0, 0.0, 0.0015, -0.0015), {}, 0x0C, f32(0.0) + i16(1, -1)),
    ("position_command", (0, 0.0, 32.767, -32.768), {}, 0x0C, f32(0.0) + i16(32766, -32768)),
    # out-of-range feed-forwards saturate instead of wrapping; NaN goes out as 0
    ("position_command", (0, 1.0, 40.0, -40.0), {}, 0x0C, f32(1.0) + i16(32767, -32768)),
    ("position_command", (0, 1.0, float("inf"), float("-inf")), {}, 0x0C, f32(1.0) + i16(32767, -32768)),
    ("position_command", (0, 1.0, float("nan"), 1e30), {}, 0x0C, f32(1.0) + i16(0, 32767)),
    ("velocity_command", (0, 1.5, 2.5), {}, 0x0D, bytes.fromhex("0000C03F00002040")),
    ("velocity_command", (0, 1.5), {}, 0x0D, f32(1.5, 0.0)),
    ("torque_command", (5, 1.0), {}, 0xAE, f32(1.0)),
    ("torque_command", (), {"id": 5, "torq_setpoint": float("nan")}, 0xAE, bytes.fromhex("0000c07f")),
    ("setLimits", (4, 10.0, 20.0), {}, 0x8F, f32(10.0, 20.0)),
    ("set_stiffness", (2, 20.0), {}, 0x5A, f32(20.0)),
    ("set_damping", (63, 0.1, 0.2), {}, 0x7FB, f32(0.1, 0.2)),
    ("set_damping", (0, 0.1), {}, 0x1B, f32(0.1, 0.0)),
    ("clearErrors", (0,), {}, 0x18, bytes(4)),
    ("clearErrors", (), {"id": 63}, 0x7F8, bytes(4)),
]


@pytest.mark.parametrize("name, args, kwargs, identifier, data", COMMANDS,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(COMMANDS)])
def test_command_frame_bytes(link, peer, name, args, kwargs, identifier, data):
    assert getattr(link, name)(*args, **kwargs) is None
    frame = peer.recv()
    assert frame.can_id == identifier  # standard data frame: no extended, remote or error flag
    assert frame.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG) == 0
    assert frame.dlc == len(data)
    assert frame.payload == data
    assert frame.data[frame.dlc:] == bytes(8 - frame.dlc)  # nothing left over past the length


def test_float_arguments_reach_the_wire_in_single_precision(link, peer):
    link.torque_command(0, 0.1)
    (value,) = peer.recv().floats()
    assert value == as_f32(0.1) and value != 0.1


def test_frames_from_one_thread_keep_call_order(bus, link, peer):
    # A real adapter's ten-frame queue would refuse part of the burst (fire and
    # forget); a deeper one holds it all, as on a robot set up against ENOBUFS.
    with deep_transmit_queue(bus) if not is_virtual(bus) else contextlib.nullcontext():
        for node in range(64):
            link.clearErrors(node)
        assert [f.can_id for f in peer.recv_n(64)] == [(n << 5) | 24 for n in range(64)]
