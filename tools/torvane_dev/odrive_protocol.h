/* The ODrive CAN protocol for the project's C helpers (the benchmark's bus
 * agent, the fuzz sender): command ids and arbitration ids. protocol.py in this
 * folder is the same for Python; a test keeps the two and the module equal. */
#ifndef TORVANE_DEV_ODRIVE_PROTOCOL_H
#define TORVANE_DEV_ODRIVE_PROTOCOL_H

#include <stdint.h>

enum odrive_command {
    HEARTBEAT = 0x01,
    SET_AXIS_STATE = 0x07,
    GET_ENCODER_ESTIMATES = 0x09,
    SET_CONTROL_MODE = 0x0B,
    SET_POSITION = 0x0C,
    SET_VELOCITY = 0x0D,
    SET_TORQUE = 0x0E,
    SET_LIMITS = 0x0F,
    GET_IQ = 0x14,
    GET_TEMPERATURE = 0x15,
    GET_BUS_VOLTAGE_CURRENT = 0x17,
    CLEAR_ERRORS = 0x18,
    SET_POS_GAIN = 0x1A,
    SET_VEL_GAINS = 0x1B,
    GET_TORQUES = 0x1C,
};

/* What an ODrive broadcasts unasked; everything else is a command to it. */
static const uint8_t ODRIVE_TELEMETRY[] = {HEARTBEAT, GET_ENCODER_ESTIMATES, GET_IQ, GET_TEMPERATURE,
                                           GET_BUS_VOLTAGE_CURRENT, GET_TORQUES};

enum { ODRIVE_MAX_NODE = 63, ODRIVE_NODE_SHIFT = 5, ODRIVE_COMMAND_MASK = 0x1F };

/* The 11-bit identifier of COMMAND for ODrive node NODE. */
static inline uint32_t odrive_arb_id(uint32_t node, enum odrive_command command) {
    return (node << ODRIVE_NODE_SHIFT) | (uint32_t)command;
}

static inline uint32_t odrive_node_of(uint32_t can_id) { return (can_id >> ODRIVE_NODE_SHIFT) & ODRIVE_MAX_NODE; }
static inline uint32_t odrive_command_of(uint32_t can_id) { return can_id & ODRIVE_COMMAND_MASK; }

#endif
