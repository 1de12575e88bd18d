#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../communication/odrive_socket.hpp"
#include "../communication/signal_blocked_thread.hpp"
#include "../lowleveltypes/motor_types.hpp"
#include "estop.hpp"

// Drives a fixed set of ODrive axes over one shared CAN link. A motor id is both
// the axis' CAN node id and its index in the per-motor record arrays. On its own
// thread the controller closes an impedance loop every 2 ms plus the pass time.
class MotorController : public Estop {
public:
    MotorController(std::shared_ptr<ODriveSocket> odrv, std::vector<unsigned int> motor_ids)
        : odrv(std::move(odrv)), motor_ids(std::move(motor_ids)) {
        if (!this->odrv) {
            throw std::invalid_argument("MotorController needs an ODriveSocket");
        }
        for (unsigned int id : this->motor_ids) {
            if (id >= lowleveltypes::num_motors) {
                throw std::invalid_argument("motor id " + std::to_string(id) + " is out of range: motor ids must be below " +
                                            std::to_string(lowleveltypes::num_motors));
            }
        }
        register_estop();  // last: the object is complete
    }

    // Stops the loop, idles every motor, then leaves the registry, so an emergency
    // stop during destruction runs this controller's whole action or none of it.
    ~MotorController() {
        _stopAndJoin();
        _idleAll();
        unregister_estop();
    }

    MotorController(const MotorController&) = delete;
    MotorController& operator=(const MotorController&) = delete;

    void set_axis_state(ODriveAxisState axis_state) {
        for (unsigned int id : motor_ids) {
            odrv->setAxisState(id, axis_state);
        }
    }

    void set_control_mode(ODriveControlMode mode, ODriveInputMode input_mode) {
        control_mode.store(mode);
        for (unsigned int id : motor_ids) {
            odrv->setControlMode(id, mode, input_mode);
        }
    }

    std::vector<std::string> get_axis_state() {
        std::vector<std::string> names;
        names.reserve(motor_ids.size());
        for (unsigned int id : motor_ids) {
            switch (odrv->getAxisState(id)) {
                case UNDEFINED: names.emplace_back("UNDEFINED"); break;
                case IDLE: names.emplace_back("IDLE"); break;
                case CLOSED_LOOP_CONTROL: names.emplace_back("CLOSED_LOOP_CONTROL"); break;
                default: names.emplace_back("UNKNOWN"); break;
            }
        }
        return names;
    }

    void update_command(const lowleveltypes::MotorCommand& command) {
        std::lock_guard<std::mutex> lock(command_mutex);
        for (unsigned int i : motor_ids) {
            latest_command.position_setpoint[i] = command.position_setpoint[i];
            latest_command.velocity_setpoint[i] = command.velocity_setpoint[i];
            latest_command.torque_feedforward[i] = command.torque_feedforward[i];
            latest_command.damping[i] = command.damping[i];
            latest_command.velocity_integrator[i] = command.velocity_integrator[i];
            latest_command.stiffness[i] = command.stiffness[i];
            latest_command.kp[i] = command.kp[i];
            latest_command.kd[i] = command.kd[i];
        }
    }

    lowleveltypes::MotorState get_motor_states() {
        lowleveltypes::MotorState state;
        for (unsigned int i : motor_ids) {
            state.position[i] = odrv->getPositionEstimate(i);
            state.velocity[i] = odrv->getVelocityEstimate(i);
            state.torque_estimate[i] = odrv->getTorqueEstimate(i);
            state.current_setpoint[i] = odrv->getIqSetpoint(i);
            state.current_measured[i] = odrv->getIqMeasured(i);
        }
        return state;
    }

    // Runs on the emergency-stop watcher thread.
    void estop(int /*signum*/) override {
        std::puts("Running ESTOP");
        _idleAll();
    }

    void initialize_control_thread() {
        if (control_thread.joinable()) {
            throw std::runtime_error("the control thread is already running");
        }
        running.store(true);
        try {
            control_thread = startSignalBlockedThread([this] { control_loop(); });
        } catch (...) {
            running.store(false);
            throw;
        }
    }

    // Throws std::system_error (EINVAL) when there is no thread to join.
    void stop_control_thread() {
        running.store(false);
        control_thread.join();
    }

    void control_loop() {
        while (running.load()) {
            {
                std::lock_guard<std::mutex> lock(command_mutex);
                for (unsigned int i : motor_ids) {
                    _controlMotor(i);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(control_period_ms));
        }
    }

private:
    // One motor's share of a pass; allocates nothing. The arithmetic stays in
    // single precision, in this order, each step rounded on its own (the build
    // turns floating-point contraction off).
    void _controlMotor(unsigned int i) {
        const lowleveltypes::MotorCommand& c = latest_command;
        const float position_error = c.position_setpoint[i] - odrv->getPositionEstimate(i);
        const float velocity_error = c.velocity_setpoint[i] - odrv->getVelocityEstimate(i);
        float torque = c.kp[i] * position_error + c.torque_feedforward[i];
        torque = c.kd[i] * velocity_error + torque;

        switch (control_mode.load()) {
            case POSITION:
                odrv->set_stiffness(i, c.stiffness[i]);
                odrv->set_damping(i, c.damping[i], c.velocity_integrator[i]);
                odrv->position_command(i, c.position_setpoint[i], c.velocity_setpoint[i], torque);
                break;
            case VELOCITY:
                odrv->set_damping(i, c.damping[i], c.velocity_integrator[i]);
                odrv->velocity_command(i, c.velocity_setpoint[i], torque);
                break;
            case TORQUE:
                odrv->torque_command(i, torque);
                break;
            default:  // VOLTAGE and unknown modes send nothing
                break;
        }
    }

    void _stopAndJoin() noexcept {
        running.store(false);
        if (control_thread.joinable()) {
            control_thread.join();
        }
    }

    void _idleAll() {
        for (unsigned int id : motor_ids) {
            odrv->setAxisState(id, IDLE);
        }
    }

    std::shared_ptr<ODriveSocket> odrv;
    std::vector<unsigned int> motor_ids;
    // Starts as VOLTAGE, for which the loop sends nothing until a mode is chosen.
    std::atomic<uint32_t> control_mode{VOLTAGE};
    lowleveltypes::MotorCommand latest_command{};
    uint8_t control_period_ms = 2;
    std::atomic<bool> running{true};
    std::mutex command_mutex;
    std::thread control_thread;
};
