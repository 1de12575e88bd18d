"""Every public call given wrong types, out-of-range numbers, None, NaN and infinities:
the right exception, and nothing on the bus where nothing should go."""

import math

import pytest

import torvane
from torvane_dev.canpeer import MARKER
from torvane_dev.protocol import GETTERS

Axis, Mode, Input = torvane.ODriveAxisState, torvane.ODriveControlMode, torvane.ODriveInputMode
NAN, INF = float("nan"), float("inf")

# every command method with valid arguments after the node id
COMMANDS = {"setAxisState": (1,), "setControlMode": (1, 1), "position_command": (1.0, 0.0, 0.0),
            "velocity_command": (1.0, 0.0), "torque_command": (1.0,), "setLimits": (1.0, 1.0),
            "set_stiffness": (1.0,), "set_damping": (1.0, 0.0), "clearErrors": ()}
COMMAND_FIELDS = ["position_setpoint", "velocity_setpoint", "torque_feedforward", "damping",
                  "velocity_integrator", "stiffness", "kp", "kd"]
STATE_FIELDS = ["position", "velocity", "torque_estimate", "current_setpoint", "current_measured"]


def rows():
    """(target, call, args, exception): `target` names the object the call goes to."""
    table = []
    for getter in GETTERS:
        for node, error in ((64, ValueError), (2**32 - 1, ValueError), (-1, TypeError), (2**32, TypeError),
                            (1.0, TypeError), (NAN, TypeError), ("0", TypeError), (None, TypeError)):
            table.append(("link", getter, (node,), error))
    for command, rest in COMMANDS.items():
        for node, error in ((64, ValueError), (2**31, ValueError), (-1, TypeError), (2**32, TypeError),
                            (0.0, TypeError), (INF, TypeError), (None, TypeError)):
            table.append(("link", command, (node, *rest), error))
        if rest:
            table.append(("link", command, (0,), TypeError))  # an argument missing
        table.append(("link", command, (0, *rest, 1), TypeError))  # one too many
    table += [
        ("link", "setAxisState", (0, 256), TypeError), ("link", "setAxisState", (0, -1), TypeError),
        ("link", "setAxisState", (0, 1.0), TypeError), ("link", "setAxisState", (0, None), TypeError),
        ("link", "setAxisState", (0, NAN), TypeError),
        ("link", "setControlMode", (0, 2**32), TypeError), ("link", "setControlMode", (0, "3"), TypeError),
        ("link", "setControlMode", (0, 1, -1), TypeError), ("link", "setControlMode", (0, 1, None), TypeError),
    ]
    for command in ("position_command", "velocity_command", "torque_command", "setLimits", "set_stiffness",
                    "set_damping"):
        for bad in ("1.0", None, [1.0], complex(1, 1), object()):
            table.append(("link", command, (0, *([bad] + list(COMMANDS[command][1:]))), TypeError))
    table += [
        ("module", "ODriveSocket", (), TypeError), ("module", "ODriveSocket", (None,), TypeError),
        ("module", "ODriveSocket", (0,), TypeError), ("module", "ODriveSocket", ("vcan0", "vcan1"), TypeError),
        ("module", "ODriveSocket", ("",), RuntimeError), ("module", "ODriveSocket", ("x" * 16,), RuntimeError),
        ("module", "ODriveSocket", ("nosuchcan",), RuntimeError),
        ("module", "MotorController", (None, [0]), TypeError),
        ("module", "MotorController", ("vcan0", [0]), TypeError),
        ("link+", "MotorController", (None,), TypeError), ("link+", "MotorController", ("01",), TypeError),
        ("link+", "MotorController", (b"\x00",), TypeError), ("link+", "MotorController", ([-1],), TypeError),
        ("link+", "MotorController", ([0.0],), TypeError), ("link+", "MotorController", ([None],), TypeError),
        ("link+", "MotorController", ([NAN],), TypeError), ("link+", "MotorController", (0,), TypeError),
        ("link+", "MotorController", ([2],), ValueError), ("link+", "MotorController", ([0, 1, 64],), ValueError),
        ("link+", "MotorController", ([2**32 - 1],), ValueError), ("link+", "MotorController", ([2**32],), TypeError),
        ("module", "ODriveAxisState", (256,), TypeError), ("module", "ODriveAxisState", (-1,), TypeError),
        ("module", "ODriveControlMode", (None,), TypeError), ("module", "ODriveInputMode", (1.0,), TypeError),
    ]
    for call, bads in (("set_axis_state", [8, None, Mode.TORQUE, NAN]),
                       ("set_control_mode", [3, None, Axis.IDLE, INF]),
                       ("update_command", [None, torvane.MotorState(), {"kp": [1, 1]}, 0])):
        table += [("ctrl", call, (bad,), TypeError) for bad in bads]
    table += [("ctrl", "set_control_mode", (Mode.TORQUE, 1), TypeError),
              ("ctrl", "set_control_mode", (Mode.TORQUE, Axis.IDLE), TypeError),
              ("ctrl", "get_motor_states", (0,), TypeError), ("ctrl", "get_axis_state", (None,), TypeError),
              ("ctrl", "initialize_control_thread", (1,), TypeError),
              ("ctrl", "stop_control_thread", (), RuntimeError)]
    for target, fields in (("cmd", COMMAND_FIELDS), ("state", STATE_FIELDS)):
        for field in fields:
            for bad in ([1.0], [1.0, 2.0, 3.0], None, NAN, "ab", ["1", 2.0], [None, 1.0], {1.0, 2.0}):
                table.append((target, "=" + field, (bad,), TypeError))
    table += [("state", "__deepcopy__", ([],), TypeError), ("state", "__deepcopy__", (None,), TypeError),
              ("state", "__copy__", (1,), TypeError)]
    return table


ROWS = rows()


def row_id(row):
    target, call, args, error = row
    shown = ", ".join(repr(a)[:20] for a in args)
    return f"{target}.{call}({shown})-{error.__name__}"


@pytest.mark.parametrize("target, call, args, error", ROWS, ids=[row_id(r) for r in ROWS])
def test_bad_input_raises_and_sends_nothing(link, peer, target, call, args, error):
    objects = {"link": link, "module": torvane, "cmd": torvane.MotorCommand(), "state": torvane.MotorState()}
    if target == "ctrl":
        # No motors: its destructor sends nothing, whenever the traceback that the
        # refused call leaves behind lets it go.
        objects["ctrl"] = torvane.MotorController(link, [])
    if target == "link+":
        target, call, args = "module", call, (link, *args)
    obj = objects[target]
    before = [getattr(obj, f) for f in COMMAND_FIELDS + STATE_FIELDS if hasattr(obj, f)]
    with pytest.raises(error) as caught:
        if call.startswith("="):
            setattr(obj, call[1:], *args)
        else:
            getattr(obj, call)(*args)
    if error is ValueError:  # says which id and which limit
        refused = max(args[1]) if call == "MotorController" else args[0]
        limit = "motor ids must be below 2" if call == "MotorController" else "id <= MAX_CANID"
        assert str(refused) in str(caught.value) and limit in str(caught.value)
    after = [getattr(obj, f) for f in COMMAND_FIELDS + STATE_FIELDS if hasattr(obj, f)]
    assert after == before  # a refused assignment leaves the record as it was
    link.clearErrors(63)
    assert peer.recv().can_id == MARKER  # the first frame on the bus is the marker: nothing went before it


# NaN and infinities are valid floats on the wire: they go out as they are, except
# in the 16-bit feed-forwards of the position command, which saturate (NaN as 0).
ACCEPTED = [
    ("torque_command", (0, NAN), (NAN,)),
    ("torque_command", (0, -INF), (-INF,)),
    ("setLimits", (0, INF, NAN), (INF, NAN)),
    ("velocity_command", (0, NAN, INF), (NAN, INF)),
    ("set_stiffness", (0, 1e39), (INF,)),  # beyond single precision
    ("position_command", (0, NAN, NAN, INF), (NAN, 0, 32767)),
    ("position_command", (0, -INF, -INF, NAN), (-INF, -32768, 0)),
]


@pytest.mark.parametrize("call, args, sent", ACCEPTED, ids=[f"{a[0]}{a[1][1:]}" for a in ACCEPTED])
def test_non_finite_floats_are_sent_as_they_are(link, peer, call, args, sent):
    import struct

    getattr(link, call)(*args)
    frame = peer.recv()
    layout = "<fhh" if call == "position_command" else "<" + "f" * (frame.dlc // 4)
    values = struct.unpack(layout, frame.payload)
    assert len(values) == len(sent)
    for value, expected in zip(values, sent, strict=True):
        assert (math.isnan(value) and math.isnan(expected)) or value == expected


def test_non_finite_command_fields_are_kept():
    cmd = torvane.MotorCommand()
    cmd.kp = [NAN, INF]
    assert math.isnan(cmd.kp[0]) and cmd.kp[1] == INF
