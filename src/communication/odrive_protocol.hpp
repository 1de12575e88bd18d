#pragma once

#include <linux/can.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "can_bytes.hpp"

// The messages as this library encodes and decodes them. The identifier is
// node id << 5 | command id. Payload fields are little-endian; f32 is an IEEE 754
// single-precision float, i16 a two's complement count of 0.001 units (truncated
// toward zero, saturating, NaN as 0).
// tx: a command the host sends to one ODrive, a classic data frame with an 11-bit
// identifier and exactly len bytes; "-" marks bytes not sent.
// rx: telemetry the ODrives broadcast to the host, from any node 0-63, read from
// the low 11 bits of the identifier; a frame shorter than len is ignored, as are
// remote and error frames.
//
// id    message                  dir len  bytes 0-3                           bytes 4-7
// 0x01  HEARTBEAT                rx  >=5  axis error, u32 bit field           4: axis state, u8; 5-7: unread
// 0x09  GET_ENCODER_ESTIMATES    rx   8   position, f32, turns                velocity, f32, turns/s
// 0x14  GET_IQ                   rx   8   Iq setpoint, f32, A                 Iq measured, f32, A
// 0x15  GET_TEMPERATURE          rx   8   FET temperature, f32, °C            motor temperature, f32, °C
// 0x17  GET_BUS_VOLTAGE_CURRENT  rx   8   bus voltage, f32, V                 bus current, f32, A
// 0x1C  GET_TORQUES              rx  >=4  torque estimate, f32, Nm            unread
// 0x07  SET_AXIS_STATE           tx   4   0: axis state, u8; 1-3: zero        -
// 0x0B  SET_CONTROL_MODE         tx   8   control mode, u32                   input mode, u32
// 0x0C  SET_POSITION             tx   8   position setpoint, f32, turns       4-5: velocity feed-forward, i16, turns/s
//                                                                             6-7: torque feed-forward, i16, Nm
// 0x0D  SET_VELOCITY             tx   8   velocity setpoint, f32, turns/s     torque feed-forward, f32, Nm
// 0x0E  SET_TORQUE               tx   4   torque setpoint, f32, Nm            -
// 0x0F  SET_LIMITS               tx   8   velocity limit, f32, turns/s        current limit, f32, A
// 0x18  CLEAR_ERRORS             tx   4   zero                                -
// 0x1A  SET_POS_GAIN             tx   4   position gain, f32, (turns/s)/turn  -
// 0x1B  SET_VEL_GAINS            tx   8   velocity gain, f32, Nm/(turns/s)    velocity integrator gain, f32, Nm/turn

// Command identifiers: the low five bits of every ODrive arbitration id.
enum ODriveCanID : uint8_t {
    HEARTBEAT = 1,
    GET_ENCODER_ESTIMATES = 9,
    GET_IQ = 20,
    GET_TEMPERATURE = 21,
    GET_BUS_VOLTAGE_CURRENT = 23,
    GET_TORQUES = 28,
    SET_AXIS_STATE = 7,
    SET_CONTROL_MODE = 11,
    SET_LIMITS = 15,
    SET_POS_GAIN = 26,
    SET_VEL_GAINS = 27,
    SET_POSITION = 12,
    SET_VELOCITY = 13,
    SET_TORQUE = 14,
    CLEAR_ERRORS = 24,
};

enum ODriveAxisState : uint8_t {
    UNDEFINED = 0,
    IDLE = 1,
    CLOSED_LOOP_CONTROL = 8,
};

enum ODriveControlMode : uint32_t {
    VOLTAGE = 0,
    TORQUE = 1,
    VELOCITY = 2,
    POSITION = 3,
};

enum ODriveInputMode : uint32_t {
    INACTIVE = 0,
    PASSTHROUGH = 1,
    VEL_RAMP = 2,
    POS_FILTER = 3,
    TRAP_TRAJ = 5,
    TORQUE_RAMP = 6,
};

// Node ids are six bits wide: bits 5 to 10 of the 11-bit identifier.
constexpr canid_t MAX_CANID = 63;

// One frame per ODrive command, built whole before anything is sent, so that a bad
// node id stops here. Unused data, padding and reserved bytes are zero.
namespace odrive_frames {

// A node id above 63 would spill into bit 11 of the identifier, which a controller
// drops: the frame would reach another node.
inline void checkNodeId(canid_t id) {
    if (id > MAX_CANID) {
        throw std::invalid_argument("node id " + std::to_string(id) +
                                    " is out of range: id <= MAX_CANID (63) does not hold");
    }
}

inline canid_t arbitrationId(canid_t node_id, uint8_t cmd_id) {
    checkNodeId(node_id);
    return (node_id << 5) | cmd_id;
}

template <std::size_t N>
struct can_frame make(canid_t node_id, ODriveCanID command, const std::array<uint8_t, N>& payload) {
    static_assert(N <= CAN_MAX_DLC, "size <= CAN_MAX_DLC");
    struct can_frame frame {};
    frame.can_id = arbitrationId(node_id, command);
    frame.len = static_cast<uint8_t>(N);
    std::memcpy(frame.data, payload.data(), N);
    return frame;
}

inline struct can_frame oneFloat(canid_t id, ODriveCanID command, float value) {
    std::array<uint8_t, 4> payload{};
    canbytes::putF32(&payload[0], value);
    return make(id, command, payload);
}

inline struct can_frame twoFloats(canid_t id, ODriveCanID command, float first, float second) {
    std::array<uint8_t, 8> payload{};
    canbytes::putF32(&payload[0], first);
    canbytes::putF32(&payload[4], second);
    return make(id, command, payload);
}

inline struct can_frame axisState(canid_t id, uint8_t axis_state) {
    std::array<uint8_t, 4> payload{};
    payload[0] = axis_state;
    return make(id, SET_AXIS_STATE, payload);
}

inline struct can_frame controlMode(canid_t id, uint32_t control_mode, uint32_t input_mode) {
    std::array<uint8_t, 8> payload{};
    canbytes::putU32(&payload[0], control_mode);
    canbytes::putU32(&payload[4], input_mode);
    return make(id, SET_CONTROL_MODE, payload);
}

// The feed-forwards travel as signed 16-bit counts of 0.001.
inline struct can_frame position(canid_t id, float pos_setpoint, float vel_feedforward, float torq_feedforward) {
    std::array<uint8_t, 8> payload{};
    canbytes::putF32(&payload[0], pos_setpoint);
    canbytes::putI16(&payload[4], canbytes::toMilliUnits(vel_feedforward));
    canbytes::putI16(&payload[6], canbytes::toMilliUnits(torq_feedforward));
    return make(id, SET_POSITION, payload);
}

inline struct can_frame velocity(canid_t id, float vel_setpoint, float torq_feedforward) {
    return twoFloats(id, SET_VELOCITY, vel_setpoint, torq_feedforward);
}

inline struct can_frame torque(canid_t id, float torq_setpoint) { return oneFloat(id, SET_TORQUE, torq_setpoint); }

inline struct can_frame limits(canid_t id, float vel_limit, float curr_limit) {
    return twoFloats(id, SET_LIMITS, vel_limit, curr_limit);
}

inline struct can_frame positionGain(canid_t id, float pos_gain) { return oneFloat(id, SET_POS_GAIN, pos_gain); }

inline struct can_frame velocityGains(canid_t id, float vel_gain, float vel_integrator_gain) {
    return twoFloats(id, SET_VEL_GAINS, vel_gain, vel_integrator_gain);
}

inline struct can_frame clearErrors(canid_t id) { return make(id, CLEAR_ERRORS, std::array<uint8_t, 4>{}); }

}  // namespace odrive_frames
