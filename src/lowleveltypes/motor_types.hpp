#pragma once

#include <array>
#include <cstdint>

// Per-motor records exchanged between Python and the motor controller. Element i
// of every array belongs to the motor whose id (and CAN node id) is i.
namespace lowleveltypes {

constexpr uint8_t num_motors = 2;

using PerMotor = std::array<float, num_motors>;

struct MotorCommand {
    PerMotor position_setpoint{};
    PerMotor velocity_setpoint{};
    PerMotor torque_feedforward{};
    PerMotor damping{};              // the ODrive's velocity gain
    PerMotor velocity_integrator{};  // the ODrive's velocity-integrator gain
    PerMotor stiffness{};            // the ODrive's position gain
    PerMotor kp{};                   // gain on the position error in the computed torque
    PerMotor kd{};                   // gain on the velocity error in the computed torque
};

struct MotorState {
    PerMotor position{};
    PerMotor velocity{};
    PerMotor torque_estimate{};
    PerMotor current_setpoint{};
    PerMotor current_measured{};
};

}  // namespace lowleveltypes
