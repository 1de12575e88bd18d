#pragma once

#include <linux/pkt_sched.h>

#include <atomic>
#include <bitset>
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
#include "../communication/send_gate.hpp"
#include "../communication/signal_blocked_thread.hpp"
#include "../lowleveltypes/motor_types.hpp"
#include "estop.hpp"

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
// most every few seconds. IDLE frames go out from a socket whose priority
// overtakes what is queued (pfifo_fast, a CAN interface's default qdisc, sends it
// first); when frames of this controller's link are still queued after a control
// period, one more IDLE follows them, so an older command (a state request from
// Python) cannot undo the IDLE.
//
// A controller inherited through fork() owns no thread in the child and is not
// part of the child's emergency stop. Dropping it there sends nothing (the parent
// may still be driving those motors), and it cannot start a loop there.
class MotorController : public Estop {
public:
    // How long a destructor may retry an IDLE frame refused by a full queue.
    static constexpr std::chrono::milliseconds kDropIdleBudget{100};
    // How often a bus that cannot keep up with the loop is reported, at most.
    static constexpr std::chrono::seconds kPassesNotOutReportPeriod{5};
    // How long IDLE waits for frames still queued before it overtakes them.
    static constexpr std::chrono::milliseconds kQueueDrainWait{2};

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
        loop_link = this->odrv->openSendOnly({0, _loopSendBufferBytes()});
        idle_link = this->odrv->openSendOnly({TC_PRIO_INTERACTIVE, 0});
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
        PassesNotOut notOut;
        while (running.load()) {
            bool heldBack = false;
            bool refused = false;
            {
                std::lock_guard<std::mutex> lock(command_mutex);
                const SendGate::Pass pass;
                if (pass) {
                    // A pass still queued means the bus carries less than the loop
                    // sends; this pass would only queue behind it and go out stale.
                    // (Where the kernel cannot tell, -1, the send buffer's two
                    // passes are the bound.)
                    heldBack = loop_link->queuedBytes() > 0;
                    if (!heldBack) {
                        const unsigned long refusedBefore = loop_link->refusedFrames();
                        for (unsigned int i : motor_ids) {
                            _controlMotor(i);
                        }
                        refused = loop_link->refusedFrames() != refusedBefore;
                    }
                }
            }
            if (heldBack || refused) {
                notOut.count(odrv->interfaceName(), heldBack, refused ? loop_link->lastRefusal() : 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(control_period_ms));
        }
    }

private:
    // Counts the passes of a loop that did not get out, held back behind a pass still
    // queued or refused by the kernel, and says so on standard error: as soon as
    // kPassesNotOutToReport of them fall within a second, then at most every
    // kPassesNotOutReportPeriod. A lone pass held back now and then (a frame that lost
    // arbitration, a late interrupt) is part of a healthy bus and is only counted.
    // Allocates nothing.
    class PassesNotOut {
    public:
        void count(const char* interface, bool heldBack, int refusal) {
            ++(heldBack ? _heldBack : _refused);
            if (refusal != 0) {
                _refusal = refusal;
            }
            const auto now = std::chrono::steady_clock::now();
            if (!_reported) {
                if (now - _windowStart > std::chrono::seconds(1)) {
                    _windowStart = now;
                    _inWindow = 0;
                }
                if (++_inWindow < kPassesNotOutToReport) {
                    return;
                }
            } else if (now - _lastReport < kPassesNotOutReportPeriod) {
                return;
            }
            char window[48] = "so far";
            if (_reported) {
                const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - _lastReport).count();
                std::snprintf(window, sizeof window, "in the last %lld s", static_cast<long long>(seconds));
            }
            char heldBackPart[96] = "";
            if (_heldBack != 0) {
                std::snprintf(heldBackPart, sizeof heldBackPart, "%lu %s held back behind frames still queued",
                              _heldBack, _heldBack == 1 ? "pass" : "passes");
            }
            char refusedPart[192] = "";
            if (_refused != 0) {
                char reason[128];
                std::snprintf(refusedPart, sizeof refusedPart, "%s%lu %s refused by the kernel: %s",
                              _heldBack != 0 ? ", " : "", _refused, _refused == 1 ? "pass" : "passes",
                              ::strerror_r(_refusal, reason, sizeof reason));
            }
            std::fprintf(stderr, "torvane: the control loop on %s is not getting its frames out (%s: %s%s)\n",
                         interface, window, heldBackPart, refusedPart);
            std::fflush(stderr);
            _reported = true;
            _lastReport = now;
            _heldBack = 0;
            _refused = 0;
        }

    private:
        static constexpr unsigned kPassesNotOutToReport = 10;

        bool _reported = false;
        unsigned _inWindow = 0;  // before the first report: passes not out since _windowStart
        std::chrono::steady_clock::time_point _windowStart{};
        unsigned long _heldBack = 0;
        unsigned long _refused = 0;
        int _refusal = 0;
        std::chrono::steady_clock::time_point _lastReport{};
    };

    // The loop's socket holds two passes at most, however the check before each
    // pass goes. A CAN frame takes some 768 bytes of a send buffer (kernel 6.1,
    // 64-bit); the kernel's own minimum, about six frames, is used when larger.
    int _loopSendBufferBytes() const {
        static constexpr int kFrameBytes = 768;
        static constexpr int kMostFramesPerMotor = 3;  // position mode
        const std::size_t frames = 2 * kMostFramesPerMotor * motor_ids.size();
        return static_cast<int>(std::min<std::size_t>(frames * kFrameBytes, 1 << 20));
    }

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
                loop_link->set_stiffness(i, c.stiffness[i]);
                loop_link->set_damping(i, c.damping[i], c.velocity_integrator[i]);
                loop_link->position_command(i, c.position_setpoint[i], c.velocity_setpoint[i], torque);
                break;
            case VELOCITY:
                loop_link->set_damping(i, c.damping[i], c.velocity_integrator[i]);
                loop_link->velocity_command(i, c.velocity_setpoint[i], torque);
                break;
            case TORQUE:
                loop_link->torque_command(i, torque);
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
    // The IDLE frames overtake what is queued; when frames of this controller's link
    // were still queued, a second IDLE goes behind them, so that an older command
    // cannot follow the IDLE onto the bus. It leaves from the loop's socket, which
    // holds at most one pass and so always has room.
    void _idleAll(std::chrono::steady_clock::time_point retry_until, const char* who) noexcept {
        // On a bus that keeps up, what is queued leaves within a control period;
        // then one IDLE per motor is all it takes.
        const auto drainUntil = std::min(std::chrono::steady_clock::now() + kQueueDrainWait, retry_until);
        bool framesQueued;
        while ((framesQueued = _framesQueued()) && std::chrono::steady_clock::now() < drainUntil) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        std::bitset<MAX_CANID + 1> idled;
        for (unsigned int id : motor_ids) {
            const int error = idle_link->trySetAxisState(id, IDLE, retry_until);
            if (error == 0) {
                idled.set(id);
            } else {
                _reportIdle(who, id, "not sent", error);
            }
        }
        if (!framesQueued) {
            return;
        }
        for (unsigned int id : motor_ids) {
            if (idled.test(id)) {
                const int error = loop_link->trySetAxisState(id, IDLE, retry_until);
                if (error != 0) {
                    _reportIdle(who, id, "sent ahead of the frames still queued, but not after them", error);
                }
            }
        }
    }

    bool _framesQueued() const noexcept { return odrv->queuedBytes() != 0 || loop_link->queuedBytes() != 0; }

    static void _reportIdle(const char* who, unsigned int id, const char* what, int error) noexcept {
        char reason[128];
        std::fprintf(stderr, "%s: IDLE for node %u %s: %s\n", who, id, what,
                     ::strerror_r(error, reason, sizeof reason));
        std::fflush(stderr);
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
    std::unique_ptr<ODriveSocket> loop_link;  // sends the loop's frames, at most two passes queued
    std::unique_ptr<ODriveSocket> idle_link;  // sends IDLE ahead of what is queued
    // Starts as VOLTAGE, for which the loop sends nothing until a mode is chosen.
    std::atomic<uint32_t> control_mode{VOLTAGE};
    lowleveltypes::MotorCommand latest_command{};
    uint8_t control_period_ms = 2;
    std::atomic<bool> running{true};
    std::mutex command_mutex;
    std::thread control_thread;
    const unsigned fork_generation;  // the process generation that owns control_thread
};
