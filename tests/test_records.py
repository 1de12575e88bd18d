"""MotorCommand and MotorState: fields, conversions, copying and pickling."""

import copy
import pickle

import pytest

import torvane
from torvane_dev.canpeer import as_f32

COMMAND_FIELDS = ["position_setpoint", "velocity_setpoint", "torque_feedforward", "damping",
                  "velocity_integrator", "stiffness", "kp", "kd"]
STATE_FIELDS = ["position", "velocity", "torque_estimate", "current_setpoint", "current_measured"]
RECORDS = [(torvane.MotorCommand, COMMAND_FIELDS), (torvane.MotorState, STATE_FIELDS)]


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["command", "state"])
def test_new_record_is_all_zeros_and_has_exactly_its_fields(cls, fields):
    record = cls()
    assert [getattr(record, f) for f in fields] == [[0.0, 0.0]] * len(fields)
    assert [n for n in dir(record) if not n.startswith("_")] == sorted(fields)


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["command", "state"])
@pytest.mark.parametrize("value, stored", [
    ([1.5, -2.0], [1.5, -2.0]),
    ((3, 4), [3.0, 4.0]),
    ([0.1, 1e40], [as_f32(0.1), float("inf")]),  # rounded to single precision
    ([True, 2**70], [1.0, as_f32(2.0**70)]),
])
def test_field_assignment_takes_two_numbers_rounded_to_single_precision(cls, fields, value, stored):
    record = cls()
    for field in fields:
        setattr(record, field, value)
        assert getattr(record, field) == stored
        assert all(type(x) is float for x in getattr(record, field))


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["command", "state"])
@pytest.mark.parametrize("bad", [[1.0], [1.0, 2.0, 3.0], "ab", None, 1.0, ["1", 2.0], [None, 1.0], {1.0, 2.0}])
def test_field_assignment_refuses_anything_but_two_numbers(cls, fields, bad):
    record = cls()
    setattr(record, fields[0], [7.0, 8.0])
    with pytest.raises(TypeError):
        setattr(record, fields[0], bad)
    assert getattr(record, fields[0]) == [7.0, 8.0]


def test_field_lists_are_copies_and_elements_belong_to_their_motor():
    command = torvane.MotorCommand()
    command.stiffness[1] = 5.0  # changes a temporary list only
    assert command.stiffness == [0.0, 0.0]
    command.stiffness = [0.0, 5.0]
    assert command.stiffness[0] == 0.0 and command.kp == [0.0, 0.0]


def filled_state():
    state = torvane.MotorState()
    for k, field in enumerate(STATE_FIELDS):
        setattr(state, field, [k + 0.5, -k - 0.25])
    return state


@pytest.mark.parametrize("duplicate", [
    copy.copy, copy.deepcopy, lambda s: pickle.loads(pickle.dumps(s)),
    lambda s: pickle.loads(pickle.dumps(s, protocol=2)), lambda s: s.__deepcopy__(memo={}),
], ids=["copy", "deepcopy", "pickle", "pickle-2", "deepcopy-kw"])
def test_state_duplicates_are_equal_and_independent(duplicate):
    original = filled_state()
    clone = duplicate(original)
    assert type(clone) is torvane.MotorState and clone is not original
    assert [getattr(clone, f) for f in STATE_FIELDS] == [getattr(original, f) for f in STATE_FIELDS]
    clone.position = [9.0, 9.0]
    assert original.position == [0.5, -0.25]


def unpickle_state(state):
    """Unpickles a MotorState whose pickle carries `state` as its state object."""
    state_ops = pickle.dumps(state, protocol=2)[2:-1]  # without its PROTO and STOP opcodes
    return pickle.loads(b"\x80\x02ctorvane\nMotorState\n)\x81" + state_ops + b"b.")


def test_state_pickles_as_a_tuple_of_five_lists_in_field_order():
    state = filled_state()
    assert state.__getstate__() == tuple([k + 0.5, -k - 0.25] for k in range(5))
    rebuilt = unpickle_state(((1, 2), [3, 4], [5, 6], [7, 8], [9, 10]))
    assert rebuilt.current_measured == [9.0, 10.0] and rebuilt.velocity == [3.0, 4.0]


@pytest.mark.parametrize("state, error, message", [
    ((), RuntimeError, "Invalid state object"),
    (([0, 0],) * 4, RuntimeError, "Invalid state object"),
    (([0, 0],) * 6, RuntimeError, "Invalid state object"),
    (([0, 0], [0, 0], "xy", [0, 0], [0, 0]), RuntimeError, "Unable to cast Python instance of type"),
    (([0, 0], [0, 0], [0, 0, 0], [0, 0], [0, 0]), RuntimeError, "Unable to cast Python instance of type"),
    ([[0, 0]] * 5, TypeError, None),
    ("state", TypeError, None),
])
def test_unpickling_a_bad_state_fails_with_an_exception(state, error, message):
    with pytest.raises(error) as caught:
        unpickle_state(state)
    if message:
        assert str(caught.value).startswith(message)


def test_deepcopy_memo_must_be_a_dict():
    with pytest.raises(TypeError):
        torvane.MotorState().__deepcopy__([])


@pytest.mark.parametrize("cls", [torvane.MotorState, torvane.MotorCommand, torvane.MotorController,
                                 torvane.ODriveSocket])
def test_an_object_cannot_be_made_without_its_constructor(cls):
    # A native object that was never constructed must not be reachable from Python.
    with pytest.raises(TypeError):
        cls.__new__(cls)


@pytest.mark.parametrize("protocol", [0, 1])
def test_legacy_pickle_protocols_fail_with_an_exception_not_an_abort(protocol):
    with pytest.raises(TypeError):
        pickle.dumps(filled_state(), protocol=protocol)


def test_command_has_no_pickling_or_copying():
    with pytest.raises(TypeError):
        pickle.dumps(torvane.MotorCommand())
    with pytest.raises(TypeError):
        copy.copy(torvane.MotorCommand())
