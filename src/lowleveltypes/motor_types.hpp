#pragma once

#include <array>
#include <cstdint>

// Per-motor records exchanged between Python and the motor controller. Element i
// of every array belongs to the motor whose id (and CAN node id) is i. The units are
// the ODrive's: values reach it and come from it unconverted (the position
// command's feed-forwards travel in steps of 0.001).
namespace lowleveltypes {

constexpr uint8_t num_motors = 2;

using PerMotor = std::array<float, num_motors>;

struct MotorCommand {
    PerMotor position_setpoint{};    // turns
    PerMotor velocity_setpoint{};    // turns/s
    PerMotor torque_feedforward{};   // Nm
    PerMotor damping{};              // the ODrive's velocity gain, Nm/(turns/s)
    PerMotor velocity_integrator{};  // the ODrive's velocity-integrator gain, Nm/turn
    PerMotor stiffness{};            // the ODrive's position gain, (turns/s)/turn
    PerMotor kp{};                   // gain on the position error in the computed torque, Nm/turn
    PerMotor kd{};                   // gain on the velocity error in the computed torque, Nm/(turns/s)
};

struct MotorState {
    PerMotor position{};          // turns
    PerMotor velocity{};          // turns/s
    PerMotor torque_estimate{};   // Nm
    PerMotor current_setpoint{};  // Iq setpoint, A
    PerMotor current_measured{};  // Iq measured, A
};

}  // namespace lowleveltypes
