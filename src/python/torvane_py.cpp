#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "../communication/odrive_socket.hpp"
#include "../control/motor_controller.hpp"
#include "../lowleveltypes/motor_types.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// An argument that must be a constructed object of a bound class. For an object
// whose __init__ never ran (made by cls.__new__(cls)), pybind11's own conversion
// hands the function uninitialised storage; through this type the function sees
// null instead, and refuses.
template <typename T>
struct Constructed {
    py::handle source;    // the Python object
    T* object = nullptr;  // null when its __init__ never ran

    // `what` names the object in the message, e.g. "ODriveSocket.getAxisError(): the object".
    T& get(const std::string& what) const {
        if (object == nullptr) {
            throw py::type_error(what + " was never constructed (its __init__ did not run)");
        }
        return *object;
    }
};

// An enumeration argument, checked the same way: a value made by E.__new__(E)
// holds no enumerator, and must never reach a frame.
template <typename E>
struct ConstructedEnum {
    E value{};
    bool constructed = false;
};

}  // namespace

namespace pybind11::detail {

template <typename T>
struct type_caster<Constructed<T>> {
    // Shown in signatures as the class itself.
    PYBIND11_TYPE_CASTER(Constructed<T>, make_caster<T>::name);

    bool load(handle src, bool /*convert*/) {
        static const type_info* const bound = get_type_info(typeid(T));
        if (!PyObject_TypeCheck(src.ptr(), bound->type)) {
            return false;
        }
        auto* inst = reinterpret_cast<instance*>(src.ptr());
        const value_and_holder v_h = inst->get_value_and_holder(bound);
        value.source = src;
        value.object = v_h.holder_constructed() ? v_h.value_ptr<T>() : nullptr;
        return true;
    }
};

template <typename E>
struct type_caster<ConstructedEnum<E>> {
    PYBIND11_TYPE_CASTER(ConstructedEnum<E>, make_caster<E>::name);

    bool load(handle src, bool convert) {
        static const type_info* const bound = get_type_info(typeid(E));
        if (PyObject_TypeCheck(src.ptr(), bound->type)) {
            // Checked before pybind11's own conversion, which would allocate storage for it.
            auto* inst = reinterpret_cast<instance*>(src.ptr());
            if (!inst->get_value_and_holder(bound).holder_constructed()) {
                value.constructed = false;
                return true;
            }
        }
        make_caster<E> inner;
        if (!inner.load(src, convert)) {
            return false;
        }
        value.value = cast_op<E>(inner);
        value.constructed = true;
        return true;
    }
};

}  // namespace pybind11::detail

namespace {

// How a method parameter arrives from Python: enumerations through ConstructedEnum.
template <typename A>
using Param = std::conditional_t<std::is_enum_v<std::decay_t<A>>, ConstructedEnum<std::decay_t<A>>, A>;

template <typename A>
A unwrap(Param<A>&& param, const std::string& call) {
    if constexpr (std::is_enum_v<std::decay_t<A>>) {
        if (!param.constructed) {
            const auto name = py::type::of<std::decay_t<A>>().attr("__name__").template cast<std::string>();
            throw py::type_error(call + "the " + name + " given was never constructed (its __init__ did not run)");
        }
        return param.value;
    } else {
        return std::forward<Param<A>>(param);
    }
}

// Binds member functions as class_::def does, except that calling one on an object
// whose __init__ never ran, or with such an enumeration, raises TypeError rather
// than running on storage that holds no object.
template <typename Class, typename... Options>
class ConstructedMethods {
public:
    explicit ConstructedMethods(py::class_<Class, Options...>& cls) : _cls(cls) {}

    template <typename Return, typename... Args, typename... Extra>
    ConstructedMethods& def(const char* name, Return (Class::*method)(Args...), const Extra&... extra) {
        std::string call = py::str(_cls.attr("__name__")).cast<std::string>() + "." + name + "(): ";
        std::string what = call + "the object";
        _cls.def(
            name,
            [call = std::move(call), what = std::move(what), method](Constructed<Class> self,
                                                                      Param<Args>... args) -> Return {
                return (self.get(what).*method)(unwrap<Args>(std::move(args), call)...);
            },
            extra...);
        return *this;
    }

private:
    py::class_<Class, Options...>& _cls;
};

// An enumeration's integer value, as the link's int parameters take it: pybind11's
// own __int__ and __index__ would read the storage of a value made by E.__new__(E)
// without __init__; these refuse it. They replace pybind11's, not overload them.
template <typename E>
void refuseUnconstructedValues(py::enum_<E>& enumeration) {
    const std::string name = py::str(enumeration.attr("__name__")).cast<std::string>();
    for (const char* method : {"__int__", "__index__"}) {
        std::string what = name + "." + method + "(): the object";
        py::setattr(enumeration, method,
                    py::cpp_function(
                        [what = std::move(what)](Constructed<E> self) {
                            return static_cast<std::underlying_type_t<E>>(self.get(what));
                        },
                        py::name(method), py::is_method(enumeration)));
    }
}

// Pickling with protocol 0 or 1 (copyreg's reduction) rebuilds the object through
// pybind11's common base type, whose constructor throws a C++ exception through the
// interpreter: the process aborts. This module's classes refuse those protocols;
// from protocol 2 on they take object's own path unchanged (MotorState and the
// enumerations pickle through their state, the others are refused by Python).
template <typename PyClass>
void refuseOldPickleProtocols(PyClass& cls, bool picklable) {
    cls.def(
        "__reduce_ex__",
        [picklable](py::handle self, int protocol) -> py::object {
            if (protocol < 2) {
                // Worded as Python's own refusal, which names the type the same way.
                std::string message = std::string("cannot pickle '") + Py_TYPE(self.ptr())->tp_name + "' object";
                if (picklable) {
                    message += " with protocol " + std::to_string(protocol) + "; use protocol 2 or higher";
                }
                throw py::type_error(message);
            }
            const auto object = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            return object.attr("__reduce_ex__")(self, protocol);
        },
        "protocol"_a);
}

}  // namespace

PYBIND11_MODULE(torvane, m) {
    m.doc() = "Low-level Control API bindings for the ODrive motor controllers";

    py::enum_<ODriveCanID> canId(m, "ODriveCanID");
    canId.value("HEARTBEAT", HEARTBEAT)
        .value("GET_ENCODER_ESTIMATES", GET_ENCODER_ESTIMATES)
        .value("GET_IQ", GET_IQ)
        .value("GET_TEMPERATURE", GET_TEMPERATURE)
        .value("GET_BUS_VOLTAGE_CURRENT", GET_BUS_VOLTAGE_CURRENT)
        .value("GET_TORQUES", GET_TORQUES)
        .value("SET_AXIS_STATE", SET_AXIS_STATE)
        .value("SET_CONTROL_MODE", SET_CONTROL_MODE)
        .value("SET_LIMITS", SET_LIMITS)
        .value("SET_POS_GAIN", SET_POS_GAIN)
        .value("SET_VEL_GAINS", SET_VEL_GAINS)
        .value("SET_POSITION", SET_POSITION)
        .value("SET_VELOCITY", SET_VELOCITY)
        .value("SET_TORQUE", SET_TORQUE)
        .value("CLEAR_ERRORS", CLEAR_ERRORS);
    refuseOldPickleProtocols(canId, true);
    refuseUnconstructedValues(canId);

    py::enum_<ODriveAxisState> axisState(m, "ODriveAxisState");
    axisState.value("UNDEFINED", UNDEFINED).value("IDLE", IDLE).value("CLOSED_LOOP_CONTROL", CLOSED_LOOP_CONTROL);
    refuseOldPickleProtocols(axisState, true);
    refuseUnconstructedValues(axisState);

    py::enum_<ODriveControlMode> controlMode(m, "ODriveControlMode");
    controlMode.value("VOLTAGE", VOLTAGE)
        .value("TORQUE", TORQUE)
        .value("VELOCITY", VELOCITY)
        .value("POSITION", POSITION);
    refuseOldPickleProtocols(controlMode, true);
    refuseUnconstructedValues(controlMode);

    py::enum_<ODriveInputMode> inputMode(m, "ODriveInputMode");
    inputMode.value("INACTIVE", INACTIVE)
        .value("PASSTHROUGH", PASSTHROUGH)
        .value("VEL_RAMP", VEL_RAMP)
        .value("POS_FILTER", POS_FILTER)
        .value("TRAP_TRAJ", TRAP_TRAJ)
        .value("TORQUE_RAMP", TORQUE_RAMP);
    refuseOldPickleProtocols(inputMode, true);
    refuseUnconstructedValues(inputMode);

    py::class_<ODriveSocket, std::shared_ptr<ODriveSocket>> link(m, "ODriveSocket");
    link.def(py::init<std::string>(), "if_name"_a);
    ConstructedMethods(link)
        .def("getAxisError", &ODriveSocket::getAxisError, "id"_a)
        .def("getAxisState", &ODriveSocket::getAxisState, "id"_a)
        .def("getPositionEstimate", &ODriveSocket::getPositionEstimate, "id"_a)
        .def("getVelocityEstimate", &ODriveSocket::getVelocityEstimate, "id"_a)
        .def("getTorqueEstimate", &ODriveSocket::getTorqueEstimate, "id"_a)
        .def("getIqSetpoint", &ODriveSocket::getIqSetpoint, "id"_a)
        .def("getIqMeasured", &ODriveSocket::getIqMeasured, "id"_a)
        .def("getFETTemperature", &ODriveSocket::getFETTemperature, "id"_a)
        .def("getMotorTemperature", &ODriveSocket::getMotorTemperature, "id"_a)
        .def("getBusVoltage", &ODriveSocket::getBusVoltage, "id"_a)
        .def("getBusCurrent", &ODriveSocket::getBusCurrent, "id"_a)
        .def("setAxisState", &ODriveSocket::setAxisState, "id"_a, "axis_state"_a)
        .def("setControlMode", &ODriveSocket::setControlMode, "id"_a, "control_mode"_a,
             "input_mode"_a = ODriveInputMode::PASSTHROUGH)
        .def("position_command", &ODriveSocket::position_command, "id"_a, "pos_setpoint"_a,
             "vel_feedforward"_a = 0.0f, "torq_feedforward"_a = 0.0f)
        .def("velocity_command", &ODriveSocket::velocity_command, "id"_a, "vel_setpoint"_a,
             "torq_feedforward"_a = 0.0f)
        .def("torque_command", &ODriveSocket::torque_command, "id"_a, "torq_setpoint"_a)
        .def("setLimits", &ODriveSocket::setLimits, "id"_a, "vel_limit"_a, "curr_limit"_a)
        .def("set_stiffness", &ODriveSocket::set_stiffness, "id"_a, "pos_gain"_a)
        .def("set_damping", &ODriveSocket::set_damping, "id"_a, "vel_gain"_a, "vel_integrator_gain"_a = 0.0f)
        .def("clearErrors", &ODriveSocket::clearErrors, "id"_a);
    refuseOldPickleProtocols(link, false);

    py::class_<lowleveltypes::MotorCommand> command(m, "MotorCommand");
    command.def(py::init<>())
        .def_readwrite("position_setpoint", &lowleveltypes::MotorCommand::position_setpoint)
        .def_readwrite("velocity_setpoint", &lowleveltypes::MotorCommand::velocity_setpoint)
        .def_readwrite("torque_feedforward", &lowleveltypes::MotorCommand::torque_feedforward)
        .def_readwrite("damping", &lowleveltypes::MotorCommand::damping)
        .def_readwrite("velocity_integrator", &lowleveltypes::MotorCommand::velocity_integrator)
        .def_readwrite("stiffness", &lowleveltypes::MotorCommand::stiffness)
        .def_readwrite("kp", &lowleveltypes::MotorCommand::kp)
        .def_readwrite("kd", &lowleveltypes::MotorCommand::kd);
    refuseOldPickleProtocols(command, false);

    py::class_<lowleveltypes::MotorState> state(m, "MotorState");
    state.def(py::init<>())
        .def_readwrite("position", &lowleveltypes::MotorState::position)
        .def_readwrite("velocity", &lowleveltypes::MotorState::velocity)
        .def_readwrite("torque_estimate", &lowleveltypes::MotorState::torque_estimate)
        .def_readwrite("current_setpoint", &lowleveltypes::MotorState::current_setpoint)
        .def_readwrite("current_measured", &lowleveltypes::MotorState::current_measured)
        .def(py::pickle(
            [](const lowleveltypes::MotorState& s) {
                return py::make_tuple(s.position, s.velocity, s.torque_estimate, s.current_setpoint,
                                      s.current_measured);
            },
            [](py::tuple t) {
                if (t.size() != 5) {
                    throw std::runtime_error("Invalid state object");
                }
                lowleveltypes::MotorState s;
                s.position = t[0].cast<lowleveltypes::PerMotor>();
                s.velocity = t[1].cast<lowleveltypes::PerMotor>();
                s.torque_estimate = t[2].cast<lowleveltypes::PerMotor>();
                s.current_setpoint = t[3].cast<lowleveltypes::PerMotor>();
                s.current_measured = t[4].cast<lowleveltypes::PerMotor>();
                return s;
            }))
        .def("__copy__", [](const lowleveltypes::MotorState& s) { return lowleveltypes::MotorState(s); })
        .def(
            "__deepcopy__", [](const lowleveltypes::MotorState& s, py::dict) { return lowleveltypes::MotorState(s); },
            "memo"_a);
    refuseOldPickleProtocols(state, true);

    py::class_<MotorController> controller(m, "MotorController");
    // None is refused here: a controller never exists without a link.
    controller.def(py::init([](Constructed<ODriveSocket> odrv, std::vector<unsigned int> motor_ids) {
                       odrv.get("MotorController(): the ODriveSocket given");
                       return std::make_unique<MotorController>(odrv.source.cast<std::shared_ptr<ODriveSocket>>(),
                                                                std::move(motor_ids));
                   }),
                   "odrv"_a.none(false), "motor_ids"_a);
    ConstructedMethods(controller)
        .def("set_axis_state", &MotorController::set_axis_state, "axis_state"_a)
        .def("set_control_mode", &MotorController::set_control_mode, "control_mode"_a,
             "input_mode"_a = ODriveInputMode::PASSTHROUGH)
        .def("initialize_control_thread", &MotorController::initialize_control_thread)
        .def("stop_control_thread", &MotorController::stop_control_thread);
    // The command is checked too: an unconstructed one would put whatever its
    // storage holds into the control loop's setpoints.
    controller.def(
        "update_command",
        [](Constructed<MotorController> self, Constructed<lowleveltypes::MotorCommand> command) {
            self.get("MotorController.update_command(): the object")
                .update_command(command.get("MotorController.update_command(): the MotorCommand given"));
        },
        "command"_a);
    ConstructedMethods(controller)
        .def("get_motor_states", &MotorController::get_motor_states)
        .def("get_axis_state", &MotorController::get_axis_state);
    refuseOldPickleProtocols(controller, false);
}
