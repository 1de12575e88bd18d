#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../communication/fork_generation.hpp"
#include "../communication/odrive_socket.hpp"
#include "../communication/signal_blocked_thread.hpp"
#include "../lowleveltypes/motor_types.hpp"
#include "estop.hpp"

// Drives a fixed set of ODrive axes over one shared CAN link. A motor id is both
// the axis' CAN node id and its index in the per-motor record arrays. On its own
// thread the controller closes an impedance loop every 2 ms plus the pass time.
//
// Every command the controller sends goes out under an Estop::CommandPermit, so
// that once an emergency stop has begun it sends nothing but its IDLE frames. No
// send waits for the bus, so nobody waits on command_mutex for longer than one
// pass.
//
// A controller inherited through fork() owns no thread in the child and is not
// part of the child's emergency stop. Dropping it there sends nothing (the parent
// may still be driving those motors), and it cannot start a loop there.
class MotorController : public Estop {
public:
    // How long a destructor may retry an IDLE frame refused by a full queue.
    static constexpr std::chrono::milliseconds kDropIdleBudget{100};

    MotorController(std::shared_ptr<ODriveSocket> odrv, std::vector<unsigned int> motor_ids)
        : odrv(std::move(odrv)), motor_ids(std::move(motor_ids)), fork_generation(ForkGeneration::watch()) {
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
        if (_inherited()) {
            forgetInheritedThread(control_thread);
        } else {
            _stopAndJoin();
            _idleAll(std::chrono::steady_clock::now() + kDropIdleBudget, "MotorController");
        }
        unregister_estop();
    }

    MotorController(const MotorController&) = delete;
    MotorController& operator=(const MotorController&) = delete;

    void set_axis_state(ODriveAxisState axis_state) {
        const CommandPermit permit;
        if (!permit) {
            return;  // the emergency stop is idling the motors
        }
        for (unsigned int id : motor_ids) {
            odrv->setAxisState(id, axis_state);
        }
    }

    void set_control_mode(ODriveControlMode mode, ODriveInputMode input_mode) {
        control_mode.store(mode);
        const CommandPermit permit;
        if (!permit) {
            return;
        }
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
        const auto lock = _lockCommands();
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

    // Runs on the emergency-stop watcher thread, once no controller sends any
    // more commands: its IDLE frames are the last this controller sends.
    void estop(int /*signum*/) override {
        std::puts("Running ESTOP");
        _idleAll(Estop::stop_deadline(), "ESTOP");
    }

    void initialize_control_thread() {
        if (_inherited() || odrv->inheritedThroughFork()) {
            // Its telemetry stays in the parent: a loop here would act on values
            // frozen at the fork.
            throw std::runtime_error(
                "cannot start a control loop in a process forked after its ODriveSocket was opened: "
                "open a new ODriveSocket and MotorController in this process");
        }
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

    // Throws std::system_error (EINVAL) when there is no thread to join, as in a
    // forked child, where the thread of an inherited controller does not exist.
    void stop_control_thread() {
        running.store(false);
        if (_inherited()) {
            throw std::system_error(std::make_error_code(std::errc::invalid_argument));
        }
        control_thread.join();
    }

    void control_loop() {
        while (running.load()) {
            {
                std::lock_guard<std::mutex> lock(command_mutex);
                const CommandPermit permit;
                if (permit) {
                    for (unsigned int i : motor_ids) {
                        _controlMotor(i);
                    }
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

    // Sends IDLE to every motor, retrying a frame refused by a full queue until
    // `retry_until`, and reports on standard error each one that could not be sent.
    void _idleAll(std::chrono::steady_clock::time_point retry_until, const char* who) noexcept {
        for (unsigned int id : motor_ids) {
            const int error = odrv->trySetAxisState(id, IDLE, retry_until);
            if (error != 0) {
                char reason[128];
                std::fprintf(stderr, "%s: IDLE for node %u not sent: %s\n", who, id,
                             ::strerror_r(error, reason, sizeof reason));
                std::fflush(stderr);
            }
        }
    }

    // The command mutex, except in a forked child on an inherited controller: no
    // thread of the child uses it there besides the interpreter's (whose lock
    // serialises the calls), and it may have been held at the fork by a thread
    // that did not come through.
    std::unique_lock<std::mutex> _lockCommands() {
        return _inherited() ? std::unique_lock<std::mutex>() : std::unique_lock<std::mutex>(command_mutex);
    }

    bool _inherited() const noexcept { return ForkGeneration::current() != fork_generation; }

    std::shared_ptr<ODriveSocket> odrv;
    std::vector<unsigned int> motor_ids;
    // Starts as VOLTAGE, for which the loop sends nothing until a mode is chosen.
    std::atomic<uint32_t> control_mode{VOLTAGE};
    lowleveltypes::MotorCommand latest_command{};
    uint8_t control_period_ms = 2;
    std::atomic<bool> running{true};
    std::mutex command_mutex;
    std::thread control_thread;
    const unsigned fork_generation;  // the process generation that owns control_thread
};
