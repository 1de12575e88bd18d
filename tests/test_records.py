"""MotorCommand and MotorState: fields, conversions, copying and pickling."""

import copy
import operator
import pickle

import pytest

import torvane
from torvane_dev.canpeer import MARKER, as_f32
from torvane_dev.protocol import GETTERS

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


def pickled_state(state):
    """A MotorState pickle that carries `state` as its state object."""
    state_ops = pickle.dumps(state, protocol=2)[2:-1]  # without its PROTO and STOP opcodes
    return b"\x80\x02ctorvane\nMotorState\n)\x81" + state_ops + b"b."


def new_then_setstate(state):
    """What an unpickler does: an object made without __init__, then given its state."""
    record = torvane.MotorState.__new__(torvane.MotorState)
    record.__setstate__(state)
    return record


# The C unpickler calls the type's constructor slot; the Python one, like
# copyreg.__newobj__, calls MotorState.__new__(MotorState).
UNPICKLERS = {
    "c-unpickler": lambda state: pickle.loads(pickled_state(state)),
    "python-unpickler": lambda state: pickle._loads(pickled_state(state)),
    "new-setstate": new_then_setstate,
}


@pytest.mark.parametrize("unpickle_state", UNPICKLERS.values(), ids=UNPICKLERS.keys())
def test_state_pickles_as_a_tuple_of_five_lists_in_field_order(unpickle_state):
    state = filled_state()
    assert state.__getstate__() == tuple([k + 0.5, -k - 0.25] for k in range(5))
    rebuilt = unpickle_state(((1, 2), [3, 4], [5, 6], [7, 8], [9, 10]))
    assert type(rebuilt) is torvane.MotorState
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
@pytest.mark.parametrize("unpickle_state", UNPICKLERS.values(), ids=UNPICKLERS.keys())
def test_unpickling_a_bad_state_fails_with_an_exception(unpickle_state, state, error, message):
    with pytest.raises(error) as caught:
        unpickle_state(state)
    if message:
        assert str(caught.value).startswith(message)


def test_deepcopy_memo_must_be_a_dict():
    with pytest.raises(TypeError):
        torvane.MotorState().__deepcopy__([])


ENUMS = [torvane.ODriveCanID, torvane.ODriveAxisState, torvane.ODriveControlMode, torvane.ODriveInputMode]
CLASSES = [torvane.MotorState, torvane.MotorCommand, torvane.ODriveSocket, torvane.MotorController, *ENUMS]


def unconstructed(cls):
    return cls.__new__(cls)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_new_makes_an_object_as_pybind11_does_and_its_base_type_is_left_alone(cls):
    # Were pybind11's shared base type patched, the subclass' constructor slot would
    # no longer match the base's __new__, and Python would refuse this as unsafe.
    obj = unconstructed(cls)
    assert type(obj) is cls
    del obj  # an object that was never constructed is dropped without trouble


@pytest.mark.parametrize("cls, fields", RECORDS, ids=["command", "state"])
def test_a_record_made_by_new_is_constructed_by_a_later_init(cls, fields):
    record = unconstructed(cls)
    record.__init__()
    assert [getattr(record, f) for f in fields] == [[0.0, 0.0]] * len(fields)


def test_a_link_and_a_controller_made_by_new_are_constructed_by_a_later_init(bus):
    link = unconstructed(torvane.ODriveSocket)
    link.__init__(bus)
    assert link.getAxisError(63) == 0
    controller = unconstructed(torvane.MotorController)
    controller.__init__(link, [1])
    assert controller.get_axis_state() == ["UNDEFINED"]


NEVER = "was never constructed (its __init__ did not run)"
UNCONSTRUCTED_CALLS = [("ODriveSocket", getter, (0,)) for getter in GETTERS] + [
    ("ODriveSocket", "setAxisState", (0, 8)),
    ("ODriveSocket", "setControlMode", (0, 3)),
    ("ODriveSocket", "position_command", (0, 1.0)),
    ("ODriveSocket", "velocity_command", (0, 1.0, 0.5)),
    ("ODriveSocket", "torque_command", (0, 1.0)),
    ("ODriveSocket", "setLimits", (0, 1.0, 2.0)),
    ("ODriveSocket", "set_stiffness", (0, 1.0)),
    ("ODriveSocket", "set_damping", (0, 1.0)),
    ("ODriveSocket", "clearErrors", (0,)),
    ("MotorController", "set_axis_state", (torvane.ODriveAxisState.IDLE,)),
    ("MotorController", "set_control_mode", (torvane.ODriveControlMode.TORQUE,)),
    ("MotorController", "initialize_control_thread", ()),
    ("MotorController", "stop_control_thread", ()),
    ("MotorController", "update_command", (torvane.MotorCommand(),)),
    ("MotorController", "get_motor_states", ()),
    ("MotorController", "get_axis_state", ()),
]


@pytest.mark.parametrize("cls_name, method, args", UNCONSTRUCTED_CALLS,
                         ids=[f"{c}.{m}" for c, m, _ in UNCONSTRUCTED_CALLS])
def test_a_method_of_an_object_never_constructed_raises_type_error(cls_name, method, args):
    obj = unconstructed(getattr(torvane, cls_name))
    with pytest.raises(TypeError) as caught:
        getattr(obj, method)(*args)
    assert str(caught.value) == f"{cls_name}.{method}(): the object {NEVER}"


@pytest.mark.parametrize("call", [
    lambda link: torvane.MotorController(link, [0]),
    lambda link: torvane.MotorController(motor_ids=[], odrv=link),
], ids=["positional", "keywords"])
def test_a_link_never_constructed_cannot_make_a_controller(call):
    with pytest.raises(TypeError) as caught:
        call(unconstructed(torvane.ODriveSocket))
    assert str(caught.value) == f"MotorController(): the ODriveSocket given {NEVER}"


def test_a_command_never_constructed_is_refused_by_the_controller(link, peer):
    controller = torvane.MotorController(link, [0])
    with pytest.raises(TypeError) as caught:
        controller.update_command(unconstructed(torvane.MotorCommand))
    assert str(caught.value) == f"MotorController.update_command(): the MotorCommand given {NEVER}"
    # The controller took nothing from it: its loop in torque mode sends the zero
    # torque of an empty command.
    controller.set_control_mode(torvane.ODriveControlMode.TORQUE)
    controller.initialize_control_thread()
    try:
        torque = next(f for f in iter(peer.recv, None) if f.command == torvane.ODriveCanID.SET_TORQUE)
        assert torque.floats() == (0.0,)
    finally:
        controller.stop_control_thread()


Axis, Mode, Input = torvane.ODriveAxisState, torvane.ODriveControlMode, torvane.ODriveInputMode


# An enumeration made by E.__new__(E) holds no enumerator: whatever reads its value
# would put the bytes of uninitialised storage into a frame. The link's int
# parameters find no value in it (its __index__ refuses); the controller names it.
@pytest.mark.parametrize("owner, method, make_args, refused", [
    ("link", "setAxisState", lambda: (0, unconstructed(Axis)), "setAxisState(): incompatible function arguments"),
    ("link", "setControlMode", lambda: (0, unconstructed(Mode)), "setControlMode(): incompatible function arguments"),
    ("link", "setControlMode", lambda: (0, Mode.TORQUE, unconstructed(Input)),
     "setControlMode(): incompatible function arguments"),
    ("controller", "set_axis_state", lambda: (unconstructed(Axis),),
     f"MotorController.set_axis_state(): the ODriveAxisState given {NEVER}"),
    ("controller", "set_control_mode", lambda: (unconstructed(Mode),),
     f"MotorController.set_control_mode(): the ODriveControlMode given {NEVER}"),
    ("controller", "set_control_mode", lambda: (Mode.TORQUE, unconstructed(Input)),
     f"MotorController.set_control_mode(): the ODriveInputMode given {NEVER}"),
], ids=["link-axis-state", "link-control-mode", "link-input-mode", "controller-axis-state",
        "controller-control-mode", "controller-input-mode"])
def test_an_enumeration_never_constructed_is_refused_and_nothing_is_sent(link, peer, owner, method, make_args,
                                                                          refused):
    target = link if owner == "link" else torvane.MotorController(link, [0])
    peer.drain()
    with pytest.raises(TypeError) as caught:
        getattr(target, method)(*make_args())
    assert str(caught.value).startswith(refused)
    link.clearErrors(63)
    assert peer.recv().can_id == MARKER  # the first frame on the bus is the marker: nothing went before it


def test_a_constructed_enumeration_still_converts_to_its_value():
    assert [int(Axis.IDLE), operator.index(Axis.CLOSED_LOOP_CONTROL), int(Input.TORQUE_RAMP)] == [1, 8, 6]
    with pytest.raises(TypeError):
        int(unconstructed(Axis))


# Each class, made on the test bus, and whether it pickles from protocol 2 on.
PICKLE_SUBJECTS = [
    (lambda bus: torvane.MotorState(), True),
    (lambda bus: torvane.MotorCommand(), False),
    (lambda bus: torvane.ODriveSocket(bus), False),
    (lambda bus: torvane.MotorController(torvane.ODriveSocket(bus), []), False),
] + [(lambda bus, enum=enum: enum(1), True) for enum in ENUMS]


@pytest.mark.parametrize("make, picklable", PICKLE_SUBJECTS, ids=[c.__name__ for c in CLASSES])
@pytest.mark.parametrize("protocol", [0, 1])
@pytest.mark.parametrize("dumps", [pickle.dumps, pickle._dumps], ids=["c-pickler", "python-pickler"])
def test_pickle_protocols_0_and_1_raise_type_error_for_every_class(bus, make, picklable, protocol, dumps):
    # copyreg's reduction for these protocols would call pybind11's base type on the
    # object, which ends the process.
    obj = make(bus)
    expected = f"cannot pickle 'torvane.{type(obj).__name__}' object"
    if picklable:
        expected += f" with protocol {protocol}; use protocol 2 or higher"
    with pytest.raises(TypeError) as caught:
        dumps(obj, protocol=protocol)
    assert str(caught.value) == expected


def test_refusing_old_pickle_protocols_leaks_nothing():
    import tracemalloc

    state = filled_state()

    def refuse(times):
        for _ in range(times):
            try:
                pickle.dumps(state, protocol=0)
            except TypeError:
                pass

    refuse(100)  # warms up caches
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        refuse(20_000)
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 100_000  # an object left behind by each refusal would be over 1 MB


@pytest.mark.parametrize("operation", [
    pickle.dumps, lambda obj: pickle.dumps(obj, protocol=2),
    lambda obj: pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL), copy.copy, copy.deepcopy,
], ids=["pickle", "pickle-2", "pickle-highest", "copy", "deepcopy"])
@pytest.mark.parametrize("make", [
    lambda bus: torvane.MotorCommand(),
    lambda bus: torvane.ODriveSocket(bus),
    lambda bus: torvane.MotorController(torvane.ODriveSocket(bus), []),
], ids=["command", "link", "controller"])
def test_commands_links_and_controllers_have_no_pickling_or_copying(bus, make, operation):
    obj = make(bus)
    with pytest.raises(TypeError, match=f"cannot pickle 'torvane.{type(obj).__name__}' object"):
        operation(obj)
