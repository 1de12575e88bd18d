#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "../communication/odrive_socket.hpp"
#include "../control/motor_controller.hpp"
#include "../lowleveltypes/motor_types.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

// pybind11's common base type throws a C++ exception out of its tp_new when it is
// instantiated directly, which ends the process. Pickling with protocol 0 or 1
// does exactly that (copyreg calls the base type on the object). Turn it into a
// Python TypeError instead.
extern "C" PyObject* guardedBaseNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return py::detail::pybind11_object_new(type, args, kwargs);
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_TypeError, error.what());
        return nullptr;
    }
}

void guardBaseTypeConstruction() {
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (base->tp_new == &py::detail::pybind11_object_new) {
        base->tp_new = &guardedBaseNew;
    }
}

}  // namespace

PYBIND11_MODULE(torvane, m) {
    m.doc() = "Low-level Control API bindings for the ODrive motor controllers";

    py::enum_<ODriveCanID>(m, "ODriveCanID")
        .value("HEARTBEAT", HEARTBEAT)
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

    py::enum_<ODriveAxisState>(m, "ODriveAxisState")
        .value("UNDEFINED", UNDEFINED)
        .value("IDLE", IDLE)
        .value("CLOSED_LOOP_CONTROL", CLOSED_LOOP_CONTROL);

    py::enum_<ODriveControlMode>(m, "ODriveControlMode")
        .value("VOLTAGE", VOLTAGE)
        .value("TORQUE", TORQUE)
        .value("VELOCITY", VELOCITY)
        .value("POSITION", POSITION);

    py::enum_<ODriveInputMode>(m, "ODriveInputMode")
        .value("INACTIVE", INACTIVE)
        .value("PASSTHROUGH", PASSTHROUGH)
        .value("VEL_RAMP", VEL_RAMP)
        .value("POS_FILTER", POS_FILTER)
        .value("TRAP_TRAJ", TRAP_TRAJ)
        .value("TORQUE_RAMP", TORQUE_RAMP);

    py::class_<ODriveSocket, std::shared_ptr<ODriveSocket>>(m, "ODriveSocket")
        .def(py::init<std::string>(), "if_name"_a)
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

    py::class_<lowleveltypes::MotorCommand>(m, "MotorCommand")
        .def(py::init<>())
        .def_readwrite("position_setpoint", &lowleveltypes::MotorCommand::position_setpoint)
        .def_readwrite("velocity_setpoint", &lowleveltypes::MotorCommand::velocity_setpoint)
        .def_readwrite("torque_feedforward", &lowleveltypes::MotorCommand::torque_feedforward)
        .def_readwrite("damping", &lowleveltypes::MotorCommand::damping)
        .def_readwrite("velocity_integrator", &lowleveltypes::MotorCommand::velocity_integrator)
        .def_readwrite("stiffness", &lowleveltypes::MotorCommand::stiffness)
        .def_readwrite("kp", &lowleveltypes::MotorCommand::kp)
        .def_readwrite("kd", &lowleveltypes::MotorCommand::kd);

    py::class_<lowleveltypes::MotorState>(m, "MotorState")
        .def(py::init<>())
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

    py::class_<MotorController>(m, "MotorController")
        // None is refused here: a controller never exists without a link.
        .def(py::init<std::shared_ptr<ODriveSocket>, std::vector<unsigned int>>(), "odrv"_a.none(false),
             "motor_ids"_a)
        .def("set_axis_state", &MotorController::set_axis_state, "axis_state"_a)
        .def("set_control_mode", &MotorController::set_control_mode, "control_mode"_a,
             "input_mode"_a = ODriveInputMode::PASSTHROUGH)
        .def("initialize_control_thread", &MotorController::initialize_control_thread)
        .def("stop_control_thread", &MotorController::stop_control_thread)
        .def("update_command", &MotorController::update_command, "command"_a)
        .def("get_motor_states", &MotorController::get_motor_states)
        .def("get_axis_state", &MotorController::get_axis_state);

    guardBaseTypeConstruction();
}
