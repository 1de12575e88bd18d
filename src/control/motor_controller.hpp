#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../communication/can_socket.hpp"
#include "../communication/fork_generation.hpp"
#include "../communication/line_output.hpp"
#include "../communication/odrive_protocol.hpp"
#include "../communication/odrive_socket.hpp"
#include "../communication/send_gate.hpp"
#include "../communication/signal_blocked_thread.hpp"
#include "../lowleveltypes/motor_types.hpp"
#include "estop.hpp"
#include "idle_sequence.hpp"
#include "passes_not_out.hpp"

// Drives a fixed set of ODrive axes over one shared CAN link. A motor id is both
// the axis' CAN node id and its index in the per-motor record arrays. On its own
// thread the controller closes an impedance loop every 2 ms plus the pass time.
//
// Every command the controller sends goes out under a SendGate::Pass, so that
// once an emergency stop has begun it sends nothing but its IDLE frames. No send
// waits for the bus, so nobody waits on command_mutex for longer than one pass.
//
// On a bus that carries fewer frames than the loop sends, a fresh command beats a
// queued one: the loop writes from a socket of its own and holds a pass back while
// any frame of the pass before is still queued, so at most one pass waits in the
// kernel. A loop whose passes keep not getting out says so on standard error, at
// most every few seconds, without ever waiting for standard error.
//
// Dropping the controller, and the emergency stop, idle its motors through its
// IdleSequence: IDLE ahead of what is queued, behind it too where needed, watched
// until it has left this machine, and reported when it did not.
//
// A controller inherited through fork() owns no thread in the child and is not
// part of the child's emergency stop. Dropping it there sends nothing (the parent
// may still be driving those motors), and it cannot start a loop there.
class MotorController : public Estop {
public:
    // How long a destructor may retry an IDLE frame refused by a full queue.
    static constexpr std::chrono::milliseconds kDropIdleBudget{100};
    // How long a destructor waits for standard error to take its lines.
    static constexpr std::chrono::milliseconds kDropReportBudget{50};

    MotorController(std::shared_ptr<ODriveSocket> odrv, std::vector<unsigned int> motor_ids)
        : odrv(_checkedLink(std::move(odrv))),
          motor_ids(_checkedMotors(std::move(motor_ids))),
          fork_generation(ForkGeneration::watch()),
          loop_socket(this->odrv->interfaceName(), _loopSetup(this->motor_ids.size())),
          idle(this->odrv->interfaceName(), this->motor_ids, loop_socket, this->odrv->busState()) {
        register_estop();  // last: the object is complete
    }

    // Stops the loop, idles every motor, then leaves the registry, so an emergency
    // stop during destruction runs this controller's whole action or none of it.
    ~MotorController() {
        if (_inherited()) {
            forgetInheritedThread(control_thread);
        } else {
            _stopAndJoin();
            const auto now = std::chrono::steady_clock::now();
            idle.runAlone("MotorController", now + kDropIdleBudget, now + kDropIdleBudget + kDropReportBudget);
        }
        unregister_estop();
    }

    MotorController(const MotorController&) = delete;
    MotorController& operator=(const MotorController&) = delete;

    void set_axis_state(ODriveAxisState axis_state) {
        const SendGate::Pass pass;
        if (!pass) {
            return;  // the emergency stop is idling the motors
        }
        for (unsigned int id : motor_ids) {
            odrv->setAxisState(id, axis_state);
        }
    }

    void set_control_mode(ODriveControlMode mode, ODriveInputMode input_mode) {
        control_mode.store(mode);
        const SendGate::Pass pass;
        if (!pass) {
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
    // more commands: the IDLE frames go out ahead of what is queued at once; the
    // stop completes the sequence for every controller together, and only then
    // prints "Running ESTOP" for this one.
    void estop(int /*signum*/) override {
        IdleSequence::Run run = idle.newRun();
        idle.sendAhead(run, Estop::stop_deadline());
        join_stop(std::move(run), "Running ESTOP");
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
        PassesNotOut notOut;
        while (running.load()) {
            bool heldBack = false;
            unsigned wanted = 0;
            unsigned taken = 0;
            {
                std::lock_guard<std::mutex> lock(command_mutex);
                const SendGate::Pass pass;
                if (pass) {
                    wanted = _framesPerMotor(control_mode.load()) * static_cast<unsigned>(motor_ids.size());
                    // A pass still queued means the bus carries less than the loop
                    // sends; this pass would only queue behind it and go out stale.
                    // (Where the kernel cannot tell, -1, the send buffer's two
                    // passes are the bound.)
                    heldBack = loop_socket.queuedBytes() > 0;
                    if (!heldBack) {
                        for (unsigned int i : motor_ids) {
                            taken += _controlMotor(i);
                        }
                    }
                }
            }
            if (notOut.count(wanted, taken, heldBack, loop_socket.lastRefusal(), std::chrono::steady_clock::now())) {
                notOut.report(odrv->interfaceName(), odrv->busState(), _framesPerMotor(control_mode.load()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(control_period_ms));
        }
    }

private:
    static std::shared_ptr<ODriveSocket> _checkedLink(std::shared_ptr<ODriveSocket> link) {
        if (!link) {
            throw std::invalid_argument("MotorController needs an ODriveSocket");
        }
        return link;
    }

    static std::vector<unsigned int> _checkedMotors(std::vector<unsigned int> ids) {
        for (unsigned int id : ids) {
            if (id >= lowleveltypes::num_motors) {
                throw std::invalid_argument("motor id " + std::to_string(id) + " is out of range: motor ids must be below " +
                                            std::to_string(lowleveltypes::num_motors));
            }
        }
        return ids;
    }

    // The loop's socket holds two passes at most, however the check before each
    // pass goes. A CAN frame takes some 768 bytes of a send buffer (kernel 6.1,
    // 64-bit); the kernel's own minimum, about six frames, is used when larger.
    // Its queued frames count as commands that an IDLE must follow.
    static CanSocket::Setup _loopSetup(std::size_t motors) {
        static constexpr std::size_t kFrameBytes = 768;
        static constexpr std::size_t kMostFramesPerMotor = 3;  // position mode
        CanSocket::Setup setup;
        setup.sendBufferBytes = static_cast<int>(std::min<std::size_t>(2 * kMostFramesPerMotor * motors * kFrameBytes,
                                                                       1 << 20));
        setup.mustBind = false;  // the interface may have gone since the link was opened
        return setup;
    }

    static unsigned _framesPerMotor(uint32_t mode) {
        switch (mode) {
            case POSITION: return 3;
            case VELOCITY: return 2;
            case TORQUE: return 1;
            default: return 0;  // VOLTAGE and unknown modes send nothing
        }
    }

    // One motor's share of a pass; returns how many of its frames the kernel took.
    // Allocates nothing. The arithmetic stays in single precision, in this order,
    // each step rounded on its own (the build turns floating-point contraction off).
    unsigned _controlMotor(unsigned int i) {
        const lowleveltypes::MotorCommand& c = latest_command;
        const float position_error = c.position_setpoint[i] - odrv->getPositionEstimate(i);
        const float velocity_error = c.velocity_setpoint[i] - odrv->getVelocityEstimate(i);
        float torque = c.kp[i] * position_error + c.torque_feedforward[i];
        torque = c.kd[i] * velocity_error + torque;

        unsigned taken = 0;
        const auto send = [&](const struct can_frame& frame) { taken += loop_socket.send(frame) >= 0 ? 1 : 0; };
        switch (control_mode.load()) {
            case POSITION:
                send(odrive_frames::positionGain(i, c.stiffness[i]));
                send(odrive_frames::velocityGains(i, c.damping[i], c.velocity_integrator[i]));
                send(odrive_frames::position(i, c.position_setpoint[i], c.velocity_setpoint[i], torque));
                break;
            case VELOCITY:
                send(odrive_frames::velocityGains(i, c.damping[i], c.velocity_integrator[i]));
                send(odrive_frames::velocity(i, c.velocity_setpoint[i], torque));
                break;
            case TORQUE:
                send(odrive_frames::torque(i, torque));
                break;
            default:  // VOLTAGE and unknown modes send nothing
                break;
        }
        return taken;
    }

    void _stopAndJoin() noexcept {
        running.store(false);
        if (control_thread.joinable()) {
            control_thread.join();
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
    const unsigned fork_generation;  // the process generation that owns control_thread
    CanSocket loop_socket;           // sends the loop's frames, at most two passes queued
    IdleSequence idle;               // idles the motors: on drop and in an emergency stop
    // Starts as VOLTAGE, for which the loop sends nothing until a mode is chosen.
    std::atomic<uint32_t> control_mode{VOLTAGE};
    lowleveltypes::MotorCommand latest_command{};
    uint8_t control_period_ms = 2;
    std::atomic<bool> running{true};
    std::mutex command_mutex;
    std::thread control_thread;
};
