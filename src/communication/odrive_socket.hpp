#pragma once

#include <errno.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "bus_state.hpp"
#include "can_bytes.hpp"
#include "can_socket.hpp"
#include "fork_generation.hpp"
#include "odrive_protocol.hpp"
#include "send_gate.hpp"
#include "signal_blocked_thread.hpp"
#include "unique_fd.hpp"

// Last telemetry received from one node. Zero until its first message.
struct ODriveTelemetry {
    uint32_t axisError = 0;         // the ODrive's axis error bits
    uint8_t axisState = 0;          // an ODriveAxisState value
    float positionEstimate = 0.0f;  // turns
    float velocityEstimate = 0.0f;  // turns/s
    float torqueEstimate = 0.0f;    // Nm
    float iqSetpoint = 0.0f;        // A
    float iqMeasured = 0.0f;        // A
    float fetTemperature = 0.0f;    // °C
    float motorTemperature = 0.0f;  // °C
    float busVoltage = 0.0f;        // V
    float busCurrent = 0.0f;        // A
};

// One SocketCAN interface shared by everything that talks to the ODrives on it:
// a receive thread keeps the per-node telemetry cache fresh and follows what the
// CAN controller says of the bus, and one encoder per ODrive command writes its
// frame directly on the calling thread.
//
// No call ever waits for the bus: every frame is written without blocking, and a
// frame the kernel refuses (a full queue on a stalled bus, an interface that is
// down) is dropped, as every command is fire-and-forget. Once an emergency stop
// has begun, every frame but its IDLE frames is dropped (SendGate).
//
// The link's socket takes in only the six telemetry messages and the controller's
// error frames: the frames of this process's other sockets (a controller's own),
// which the kernel hands to every other socket of the host, never reach the cache.
//
// After fork() the child's copy of a link owns no thread: its receive thread stayed
// in the parent. There it still sends (on the shared socket), its telemetry stays
// as it was at the fork, and dropping it touches nothing of the parent's.
class ODriveSocket {
public:
    explicit ODriveSocket(const std::string& if_name)
        : _forkGeneration(ForkGeneration::watch()), _socket(if_name, _receiving()) {
        _wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!_wake.valid()) {
            throw std::system_error(errno, std::generic_category(), "eventfd for the CAN receive thread");
        }
        _pollThread = startSignalBlockedThread([this] { _poll(); });
    }

    ~ODriveSocket() {
        if (inheritedThroughFork()) {
            // The receive thread and the wake-up eventfd belong to the parent: a
            // write here would wake (and stop) the parent's thread.
            forgetInheritedThread(_pollThread);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _stop = true;
        }
        // The receive thread sleeps in poll() on the socket and on _wake; a CAN_RAW
        // socket cannot be woken by shutdown(), so the eventfd is what ends the wait.
        const uint64_t one = 1;
        ssize_t ignored = ::write(_wake.get(), &one, sizeof one);
        (void)ignored;
        if (_pollThread.joinable()) {
            _pollThread.join();
        }
    }

    ODriveSocket(const ODriveSocket&) = delete;
    ODriveSocket& operator=(const ODriveSocket&) = delete;

    // ---- telemetry getters ----

    uint32_t getAxisError(canid_t id) { return _read(id, &ODriveTelemetry::axisError); }
    uint8_t getAxisState(canid_t id) { return _read(id, &ODriveTelemetry::axisState); }
    float getPositionEstimate(canid_t id) { return _read(id, &ODriveTelemetry::positionEstimate); }
    float getVelocityEstimate(canid_t id) { return _read(id, &ODriveTelemetry::velocityEstimate); }
    float getTorqueEstimate(canid_t id) { return _read(id, &ODriveTelemetry::torqueEstimate); }
    float getIqSetpoint(canid_t id) { return _read(id, &ODriveTelemetry::iqSetpoint); }
    float getIqMeasured(canid_t id) { return _read(id, &ODriveTelemetry::iqMeasured); }
    float getFETTemperature(canid_t id) { return _read(id, &ODriveTelemetry::fetTemperature); }
    float getMotorTemperature(canid_t id) { return _read(id, &ODriveTelemetry::motorTemperature); }
    float getBusVoltage(canid_t id) { return _read(id, &ODriveTelemetry::busVoltage); }
    float getBusCurrent(canid_t id) { return _read(id, &ODriveTelemetry::busCurrent); }

    // ---- command encoders: one frame each, fire-and-forget ----

    void setAxisState(canid_t id, uint8_t axis_state) { _send(odrive_frames::axisState(id, axis_state)); }

    void setControlMode(canid_t id, uint32_t control_mode, uint32_t input_mode) {
        _send(odrive_frames::controlMode(id, control_mode, input_mode));
    }

    // The feed-forwards travel as signed 16-bit counts of 0.001.
    void position_command(canid_t id, float pos_setpoint, float vel_feedforward, float torq_feedforward) {
        _send(odrive_frames::position(id, pos_setpoint, vel_feedforward, torq_feedforward));
    }

    void velocity_command(canid_t id, float vel_setpoint, float torq_feedforward) {
        _send(odrive_frames::velocity(id, vel_setpoint, torq_feedforward));
    }

    void torque_command(canid_t id, float torq_setpoint) { _send(odrive_frames::torque(id, torq_setpoint)); }

    void setLimits(canid_t id, float vel_limit, float curr_limit) {
        _send(odrive_frames::limits(id, vel_limit, curr_limit));
    }

    void set_stiffness(canid_t id, float pos_gain) { _send(odrive_frames::positionGain(id, pos_gain)); }

    void set_damping(canid_t id, float vel_gain, float vel_integrator_gain) {
        _send(odrive_frames::velocityGains(id, vel_gain, vel_integrator_gain));
    }

    void clearErrors(canid_t id) { _send(odrive_frames::clearErrors(id)); }

    // ---- for the controllers (not exposed to Python) ----

    // True in a child of fork() for a link made before the fork.
    bool inheritedThroughFork() const noexcept { return ForkGeneration::current() != _forkGeneration; }

    const char* interfaceName() const noexcept { return _socket.interfaceName(); }

    // What the CAN controller last said of the bus, for the lines of others.
    const BusState& busState() const noexcept { return _busState; }

private:
    // Telemetry from any node, in either frame format, and the controller's reports.
    static CanSocket::Setup _receiving() noexcept {
        static constexpr canid_t kCommandBits = 0x1F;
        static constexpr struct can_filter kTelemetry[] = {
            {HEARTBEAT, kCommandBits},      {GET_ENCODER_ESTIMATES, kCommandBits},
            {GET_IQ, kCommandBits},         {GET_TEMPERATURE, kCommandBits},
            {GET_BUS_VOLTAGE_CURRENT, kCommandBits}, {GET_TORQUES, kCommandBits},
        };
        CanSocket::Setup setup;
        setup.filters = kTelemetry;
        setup.filterCount = sizeof kTelemetry / sizeof kTelemetry[0];
        setup.errorMask = BusState::kErrorMask;
        return setup;
    }

    // Writes one frame without ever blocking; returns what send() returned (-1 with
    // errno set when the kernel refused it, ECANCELED once an emergency stop has
    // begun).
    ssize_t _send(const struct can_frame& frame) {
        const SendGate::Pass pass;
        if (!pass) {
            errno = ECANCELED;
            return -1;
        }
        return _socket.send(frame);
    }

    canid_t _getCanID(canid_t id) const { return (id >> 5) & 0x3F; }
    uint8_t _getCmdID(canid_t id) const { return static_cast<uint8_t>(id & 0x1F); }

    // ---- receive thread ----

    void _poll() {
        // Frames are taken a batch per system call: under heavy bus load it is the
        // crossing into the kernel, not the decoding, that a frame costs.
        std::array<struct can_frame, kReceiveBatch> frames{};
        std::array<struct iovec, kReceiveBatch> buffers{};
        std::array<struct mmsghdr, kReceiveBatch> messages{};
        for (unsigned i = 0; i < kReceiveBatch; ++i) {
            buffers[i].iov_base = &frames[i];
            buffers[i].iov_len = sizeof frames[i];
            messages[i].msg_hdr.msg_iov = &buffers[i];
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        int backoffMs = 0;
        int reportDueMs = -1;  // a change of the bus's state waiting to be said
        bool interfaceGone = false;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(_mutex);
                if (_stop) {
                    return;
                }
            }
            if (backoffMs > 0) {
                // A read error that persists would otherwise spin a core; waiting on
                // the wake-up descriptor keeps a stop immediate.
                struct pollfd wake = {_wake.get(), POLLIN, 0};
                ::poll(&wake, 1, backoffMs);
            }
            if (interfaceGone) {
                // The interface was removed (an unplugged USB adapter, say): look for
                // it again until it returns, then bind the same socket to it, so
                // writers keep their descriptor and nobody has to rebuild the link.
                interfaceGone = !_socket.bind();
                backoffMs = interfaceGone ? _nextBackoff(backoffMs) : 0;
                continue;
            }
            struct pollfd fds[2] = {{_socket.fd(), POLLIN, 0}, {_wake.get(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, reportDueMs);
            if (ready < 0) {
                backoffMs = errno == EINTR ? 0 : _nextBackoff(backoffMs);
                continue;
            }
            if (fds[1].revents != 0) {
                // Woken for a stop; the flag is read at the top. The count is read
                // back so that a stray wake-up cannot keep poll() returning.
                uint64_t wakeups = 0;
                ssize_t ignored = ::read(_wake.get(), &wakeups, sizeof wakeups);
                (void)ignored;
                continue;
            }
            const int received =
                ready == 0 ? 0 : ::recvmmsg(_socket.fd(), messages.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
            if (received > 0) {
                backoffMs = 0;
                for (int i = 0; i < received; ++i) {
                    if (messages[i].msg_len == sizeof frames[i]) {
                        _store(frames[i]);
                    }
                }
            } else if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                interfaceGone = errno == ENODEV;
                backoffMs = _nextBackoff(backoffMs);
            }
            reportDueMs = _busState.report(_socket.interfaceName(), BusState::Clock::now());
        }
    }

    static constexpr unsigned kReceiveBatch = 32;

    static int _nextBackoff(int previousMs) { return std::min(previousMs == 0 ? 1 : previousMs * 2, 64); }

    // Decodes one received frame into the cache. An error frame is the controller's
    // report, never telemetry (CAN_ERR_TX_TIMEOUT's identifier ends like node 0's
    // heartbeat). Remote requests carry no telemetry, and a frame shorter than its
    // message holds bytes nobody sent: neither may overwrite cached values.
    void _store(const struct can_frame& frame) {
        if ((frame.can_id & CAN_ERR_FLAG) != 0) {
            _busState.onErrorFrame(frame);
            return;
        }
        if ((frame.can_id & CAN_RTR_FLAG) != 0) {
            return;
        }
        _busState.onFrameReceived();
        const canid_t node = _getCanID(frame.can_id);
        const uint8_t command = _getCmdID(frame.can_id);
        const uint8_t length = frame.len;
        switch (command) {
            case HEARTBEAT: {
                if (length < 5) return;
                const uint32_t error = canbytes::getU32(&frame.data[0]);
                const uint8_t state = frame.data[4];
                std::lock_guard<std::mutex> lock(_mutex);
                _telemetry[node].axisError = error;
                _telemetry[node].axisState = state;
                return;
            }
            case GET_ENCODER_ESTIMATES:
                _storePair(frame, &ODriveTelemetry::positionEstimate, &ODriveTelemetry::velocityEstimate);
                return;
            case GET_IQ:
                _storePair(frame, &ODriveTelemetry::iqSetpoint, &ODriveTelemetry::iqMeasured);
                return;
            case GET_TEMPERATURE:
                _storePair(frame, &ODriveTelemetry::fetTemperature, &ODriveTelemetry::motorTemperature);
                return;
            case GET_BUS_VOLTAGE_CURRENT:
                _storePair(frame, &ODriveTelemetry::busVoltage, &ODriveTelemetry::busCurrent);
                return;
            case GET_TORQUES: {
                if (length < 4) return;
                const float torque = canbytes::getF32(&frame.data[0]);
                std::lock_guard<std::mutex> lock(_mutex);
                _telemetry[node].torqueEstimate = torque;
                return;
            }
            default:
                return;
        }
    }

    // Both floats of a message are replaced together, under one lock.
    void _storePair(const struct can_frame& frame, float ODriveTelemetry::*first, float ODriveTelemetry::*second) {
        if (frame.len < 8) return;
        const float a = canbytes::getF32(&frame.data[0]);
        const float b = canbytes::getF32(&frame.data[4]);
        std::lock_guard<std::mutex> lock(_mutex);
        ODriveTelemetry& record = _telemetry[_getCanID(frame.can_id)];
        record.*first = a;
        record.*second = b;
    }

    // Every getter reads through here, so the node id is checked before the cache
    // is touched.
    template <typename T>
    T _read(canid_t id, T ODriveTelemetry::*field) {
        odrive_frames::checkNodeId(id);
        if (inheritedThroughFork()) {
            // Nothing writes the cache in this process, and the lock may have been
            // held by a thread that did not come through the fork.
            return _telemetry[id].*field;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        return _telemetry[id].*field;
    }

    const unsigned _forkGeneration;  // the process generation that owns the receive thread
    CanSocket _socket;
    UniqueFd _wake;  // eventfd that ends the receive thread's wait
    BusState _busState;
    std::array<ODriveTelemetry, MAX_CANID + 1> _telemetry{};
    bool _stop = false;
    std::thread _pollThread;
    std::mutex _mutex;
};
