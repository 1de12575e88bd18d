"""The module's Python face: names, docstring, enumerations and the interpreter check."""

import glob
import operator
import os
import pickle
import re
import shutil
import subprocess

import pytest

import torvane
import torvane_dev
from torvane_dev import protocol

ENUMS = {
    "ODriveCanID": [
        ("HEARTBEAT", 1), ("GET_ENCODER_ESTIMATES", 9), ("GET_IQ", 20), ("GET_TEMPERATURE", 21),
        ("GET_BUS_VOLTAGE_CURRENT", 23), ("GET_TORQUES", 28), ("SET_AXIS_STATE", 7),
        ("SET_CONTROL_MODE", 11), ("SET_LIMITS", 15), ("SET_POS_GAIN", 26), ("SET_VEL_GAINS", 27),
        ("SET_POSITION", 12), ("SET_VELOCITY", 13), ("SET_TORQUE", 14), ("CLEAR_ERRORS", 24),
    ],
    "ODriveAxisState": [("UNDEFINED", 0), ("IDLE", 1), ("CLOSED_LOOP_CONTROL", 8)],
    "ODriveControlMode": [("VOLTAGE", 0), ("TORQUE", 1), ("VELOCITY", 2), ("POSITION", 3)],
    "ODriveInputMode": [
        ("INACTIVE", 0), ("PASSTHROUGH", 1), ("VEL_RAMP", 2), ("POS_FILTER", 3),
        ("TRAP_TRAJ", 5), ("TORQUE_RAMP", 6),
    ],
}


def test_module_holds_exactly_its_eight_names_and_docstring():
    public = {name for name in dir(torvane) if not name.startswith("__")}
    assert public == {
        "ODriveCanID", "ODriveAxisState", "ODriveControlMode", "ODriveInputMode",
        "ODriveSocket", "MotorCommand", "MotorState", "MotorController",
    }
    assert torvane.__doc__ == "Low-level Control API bindings for the ODrive motor controllers"
    assert not hasattr(torvane, "IDLE")


@pytest.mark.parametrize("enum_name", ENUMS)
def test_enumeration_members_in_order_with_values(enum_name):
    enum = getattr(torvane, enum_name)
    expected = ENUMS[enum_name]
    assert [(name, int(member)) for name, member in enum.__members__.items()] == expected
    for name, value in expected:
        member = getattr(enum, name)
        assert member.value == value == operator.index(member)
        assert member.name == name
        assert member == value and hash(member) == hash(value)
        assert repr(member) == f"<{enum_name}.{name}: {value}>"
        assert str(member) == f"{enum_name}.{name}"
        assert enum(value) == member
        assert pickle.loads(pickle.dumps(member)) == member


def test_enumeration_behaviours():
    axis, inputs = torvane.ODriveAxisState, torvane.ODriveInputMode
    assert axis.CLOSED_LOOP_CONTROL == 8
    assert axis.IDLE == inputs.PASSTHROUGH  # compared by integer value
    assert axis.IDLE != None  # noqa: E711
    assert int(inputs.TRAP_TRAJ) == 5 and int(inputs.TORQUE_RAMP) == 6
    assert axis(3).name == "???"
    with pytest.raises(TypeError):
        axis(256)
    with pytest.raises(TypeError):
        operator.lt(axis.IDLE, axis.CLOSED_LOOP_CONTROL)
    with pytest.raises(TypeError):
        axis.IDLE | axis.CLOSED_LOOP_CONTROL


def test_every_command_id_fits_five_bits():
    assert all(int(m) < 32 for m in torvane.ODriveCanID.__members__.values())


def _other_pythons():
    """CPython 3.11 and 3.13 interpreters, where the machine has them (pyenv does)."""
    found = []
    for minor in ("3.11", "3.13"):
        candidates = sorted(glob.glob(os.path.expanduser(f"~/.pyenv/versions/{minor}*/bin/python{minor}")))
        candidates += [c for c in [f"/usr/bin/python{minor}", f"/usr/local/bin/python{minor}"] if os.path.exists(c)]
        if candidates:
            found.append(pytest.param(candidates[0], id=minor))
    return found


@pytest.mark.parametrize("python", _other_pythons())
def test_import_under_another_minor_version_fails_cleanly(python, tmp_path):
    shutil.copy(torvane.__file__, tmp_path / "torvane.so")
    result = subprocess.run(
        [python, "-c", "import torvane"], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 1, result.stderr  # an exception, not a crash
    version = subprocess.run(
        [python, "-c", "import sys; print(sys.version, end='')"], capture_output=True, text=True, timeout=60
    ).stdout
    mismatch = ("ImportError: Python version mismatch: module was compiled for Python 3.12, "
                f"but the interpreter version is incompatible: {version}.")
    if version.startswith("3.11"):
        assert mismatch in result.stderr
    else:
        # 3.13 dropped a private symbol the module binds to, so the dynamic loader
        # refuses the file before the entry function's own check can run.
        assert mismatch in result.stderr or (
            "ImportError:" in result.stderr and "undefined symbol" in result.stderr
        )


def test_import_under_3_12_from_a_plain_copy_works(tmp_path):
    shutil.copy(torvane.__file__, tmp_path / "torvane.so")
    result = subprocess.run(
        [os.sys.executable, "-c", "import torvane; print(torvane.__file__)"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(tmp_path / "torvane.so")


def test_import_starts_no_thread():
    code = (
        "import os; before = len(os.listdir('/proc/self/task'));"
        "import torvane;"
        "assert len(os.listdir('/proc/self/task')) == before"
    )
    subprocess.run([os.sys.executable, "-c", code], check=True, timeout=120)


def test_the_tools_speak_the_module_s_protocol():
    # The simulator, the test peer and the C helpers take their command ids from
    # torvane_dev (protocol.py, odrive_protocol.h); a drift there would make them
    # answer or flood with frames the module never sends.
    with open(os.path.join(torvane_dev.HERE, "odrive_protocol.h")) as f:
        header = f.read()
    in_c = {name: int(value, 0) for name, value in re.findall(r"^\s+([A-Z_]+) = (0x[0-9A-F]+),$", header, re.M)}
    in_module = {name: int(member) for name, member in torvane.ODriveCanID.__members__.items()}
    in_python = {name: getattr(protocol, name) for name in in_module}
    assert in_c == in_python == in_module
    assert protocol.GETTERS == tuple(name for name in vars(torvane.ODriveSocket) if name.startswith("get"))
    assert set(protocol.TELEMETRY) == {int(getattr(torvane.ODriveCanID, name)) for name in in_module
                                       if name.startswith(("GET_", "HEARTBEAT"))}
