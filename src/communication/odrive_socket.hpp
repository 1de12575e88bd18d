#pragma once

#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "can_bytes.hpp"
#include "fork_generation.hpp"
#include "send_gate.hpp"
#include "signal_blocked_thread.hpp"
#include "unique_fd.hpp"

// The messages as this link encodes and decodes them. The identifier is
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
// a receive thread keeps the per-node telemetry cache fresh, and one encoder per
// ODrive command writes its frame directly on the calling thread.
//
// No call ever waits for the bus: every frame is written without blocking, and a
// frame the kernel refuses (a full queue on a stalled bus, an interface that is
// down) is dropped, as every command is fire-and-forget. Only trySetAxisState,
// which the emergency stop and the controllers' destructors use for IDLE, retries
// a refused frame, for a bounded time, and says what became of it. Once an
// emergency stop has begun, every frame but its IDLE frames is dropped (SendGate).
//
// A controller sends from sockets of its own on the same interface (openSendOnly),
// so that its loop's frames and its IDLE frames queue apart from the link's. The
// link's socket takes in only the six telemetry messages: the controllers' frames,
// which the kernel hands to every other socket of the host, never reach the cache.
//
// After fork() the child's copy of a link owns no thread: its receive thread stayed
// in the parent. There it still sends (on the shared socket), its telemetry stays
// as it was at the fork, and dropping it touches nothing of the parent's.
class ODriveSocket {
public:
    explicit ODriveSocket(const std::string& if_name) : _forkGeneration(ForkGeneration::watch()), _receives(true) {
        _open(if_name);
        _wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!_wake.valid()) {
            throw std::system_error(errno, std::generic_category(), "eventfd for the CAN receive thread");
        }
        _pollThread = startSignalBlockedThread([this] { _poll(); });
    }

    ~ODriveSocket() {
        if (!_receives) {
            return;  // a send-only socket has no thread; its descriptor closes itself
        }
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

    void setAxisState(canid_t id, uint8_t axis_state) {
        std::array<uint8_t, 4> payload{};
        payload[0] = axis_state;
        _sendPayload(id, SET_AXIS_STATE, payload);
    }

    void setControlMode(canid_t id, uint32_t control_mode, uint32_t input_mode) {
        std::array<uint8_t, 8> payload{};
        canbytes::putU32(&payload[0], control_mode);
        canbytes::putU32(&payload[4], input_mode);
        _sendPayload(id, SET_CONTROL_MODE, payload);
    }

    // The feed-forwards travel as signed 16-bit counts of 0.001.
    void position_command(canid_t id, float pos_setpoint, float vel_feedforward, float torq_feedforward) {
        std::array<uint8_t, 8> payload{};
        canbytes::putF32(&payload[0], pos_setpoint);
        canbytes::putI16(&payload[4], canbytes::toMilliUnits(vel_feedforward));
        canbytes::putI16(&payload[6], canbytes::toMilliUnits(torq_feedforward));
        _sendPayload(id, SET_POSITION, payload);
    }

    void velocity_command(canid_t id, float vel_setpoint, float torq_feedforward) {
        _sendTwoFloats(id, SET_VELOCITY, vel_setpoint, torq_feedforward);
    }

    void torque_command(canid_t id, float torq_setpoint) { _sendOneFloat(id, SET_TORQUE, torq_setpoint); }

    void setLimits(canid_t id, float vel_limit, float curr_limit) {
        _sendTwoFloats(id, SET_LIMITS, vel_limit, curr_limit);
    }

    void set_stiffness(canid_t id, float pos_gain) { _sendOneFloat(id, SET_POS_GAIN, pos_gain); }

    void set_damping(canid_t id, float vel_gain, float vel_integrator_gain) {
        _sendTwoFloats(id, SET_VEL_GAINS, vel_gain, vel_integrator_gain);
    }

    void clearErrors(canid_t id) {
        const std::array<uint8_t, 4> payload{};
        _sendPayload(id, CLEAR_ERRORS, payload);
    }

    // ---- for the controllers (not exposed to Python) ----

    // Sends SET_AXIS_STATE like setAxisState, but a frame refused because a queue
    // is full (the socket's send buffer, or the interface's queue: EAGAIN,
    // ENOBUFS) is tried again every millisecond until `retry_until`. Returns 0
    // once the kernel took the frame, otherwise the errno of the last refusal.
    // Unlike every other frame, it goes out after an emergency stop has begun: the
    // stop's own IDLE frames are sent this way.
    int trySetAxisState(canid_t id, uint8_t axis_state, std::chrono::steady_clock::time_point retry_until) {
        std::array<uint8_t, 4> payload{};
        payload[0] = axis_state;
        const canid_t identifier = _getArbID(id, SET_AXIS_STATE);
        for (;;) {
            if (_sendUngated(identifier, payload.data(), static_cast<uint8_t>(payload.size())) >= 0) {
                return 0;
            }
            const int error = errno;
            const bool queueFull = error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
            if (error != EINTR && (!queueFull || std::chrono::steady_clock::now() >= retry_until)) {
                return error;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // True in a child of fork() for a link made before the fork.
    bool inheritedThroughFork() const noexcept { return ForkGeneration::current() != _forkGeneration; }

    // How the frames of a send-only socket queue in the kernel.
    struct SendQueueing {
        int priority;         // SO_PRIORITY; TC_PRIO_INTERACTIVE goes first through pfifo_fast
        int sendBufferBytes;  // SO_SNDBUF as the kernel counts it, 0 for its default
    };

    // Another socket on this link's interface that only sends, through the same
    // encoders, for frames that must queue apart from the link's own: a control
    // loop that must not pile up behind itself, IDLE frames that must overtake a
    // backlog. It receives nothing, so it has no telemetry (its getters throw).
    std::unique_ptr<ODriveSocket> openSendOnly(SendQueueing queueing) const {
        return std::unique_ptr<ODriveSocket>(new ODriveSocket(*this, queueing));
    }

    // Bytes of this socket's frames that the kernel still holds on their way to
    // the bus (in the interface's queue, or in an adapter that has not reported
    // them sent); 0 once every frame has left, -1 where the kernel cannot tell.
    long queuedBytes() const noexcept {
        uint32_t memory[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof memory;
        if (::getsockopt(_socket.get(), SOL_SOCKET, SO_MEMINFO, memory, &length) < 0 ||
            length <= SK_MEMINFO_WMEM_ALLOC * sizeof memory[0]) {
            return -1;
        }
        return static_cast<long>(memory[SK_MEMINFO_WMEM_ALLOC]);
    }

    const char* interfaceName() const noexcept { return _ifName.data(); }

    // How many frames the kernel has refused on this socket, and why it refused the
    // last one: for a sender that must say when its frames do not get out.
    unsigned long refusedFrames() const noexcept { return _refused.load(std::memory_order_relaxed); }
    int lastRefusal() const noexcept { return _lastRefusal.load(std::memory_order_relaxed); }

private:
    // A send-only socket on `link`'s interface (openSendOnly).
    // Its interface may be gone (an unplugged adapter): its first send binds it.
    ODriveSocket(const ODriveSocket& link, SendQueueing queueing)
        : _forkGeneration(ForkGeneration::watch()), _ifName(link._ifName), _receives(false) {
        _socket = UniqueFd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
        if (!_socket.valid()) {
            throw std::runtime_error(std::string("Failed to create CAN socket on interface ") + _ifName.data());
        }
        const int fd = _socket.get();
        (void)_bind(fd);
        const int requestedBuffer = queueing.sendBufferBytes / 2;  // the kernel doubles what it is given
        if ((queueing.priority != 0 &&
             ::setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &queueing.priority, sizeof queueing.priority) < 0) ||
            (requestedBuffer > 0 &&
             ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &requestedBuffer, sizeof requestedBuffer) < 0)) {
            throw std::system_error(errno, std::generic_category(),
                                    std::string("send-only CAN socket on interface ") + _ifName.data());
        }
    }

    // ---- socket ----

    void _open(const std::string& if_name) {
        UniqueFd sock(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
        if (!sock.valid()) {
            throw std::runtime_error("Failed to create CAN socket on interface " + if_name);
        }
        // The name must fit ifr_name with its terminator, and an embedded NUL would
        // silently name another interface.
        const bool nameFits =
            !if_name.empty() && if_name.size() < IFNAMSIZ && if_name.find('\0') == std::string::npos;
        if (nameFits) {
            std::memcpy(_ifName.data(), if_name.data(), if_name.size());
        }
        if (!nameFits || !_bind(sock.get())) {
            throw std::runtime_error("Failed to bind socket on interface " + if_name);
        }
        _socket = std::move(sock);
    }

    // Binds `fd` to the interface named in _ifName, taking in the telemetry messages
    // (from any node, in either frame format) or, for a send-only socket, nothing.
    // Also used to bind again after the interface was removed and has come back.
    bool _bind(int fd) const {
        struct ifreq request {};
        std::memcpy(request.ifr_name, _ifName.data(), IFNAMSIZ);
        // Index 0 would bind to every interface, after which every write fails.
        if (::ioctl(fd, SIOCGIFINDEX, &request) < 0 || request.ifr_ifindex <= 0) {
            return false;
        }
        // The kernel drops a socket's filters when its interface goes away; set them
        // again before binding.
        static constexpr canid_t kCommandBits = 0x1F;
        static constexpr struct can_filter kTelemetry[] = {
            {HEARTBEAT, kCommandBits},      {GET_ENCODER_ESTIMATES, kCommandBits},
            {GET_IQ, kCommandBits},         {GET_TEMPERATURE, kCommandBits},
            {GET_BUS_VOLTAGE_CURRENT, kCommandBits}, {GET_TORQUES, kCommandBits},
        };
        const int filtered = _receives ? ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, kTelemetry, sizeof kTelemetry)
                                       : ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0);
        if (filtered < 0) {
            return false;
        }
        struct sockaddr_can address {};
        address.can_family = AF_CAN;
        address.can_ifindex = request.ifr_ifindex;
        if (::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) < 0) {
            return false;
        }
        // The kernel left ENODEV pending on the socket when the interface went away;
        // the next send would report it instead of sending.
        int pending = 0;
        socklen_t length = sizeof pending;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        return true;
    }

    // Writes one classic frame without ever blocking; returns what send() returned
    // (-1 with errno set when the kernel refused it, ECANCELED once an emergency
    // stop has begun). Unused payload, padding and reserved bytes go out as zero.
    ssize_t _send(canid_t id, const uint8_t* data, uint8_t size) const {
        const SendGate::Pass pass;
        if (!pass) {
            errno = ECANCELED;
            return -1;
        }
        return _sendUngated(id, data, size);
    }

    ssize_t _sendUngated(canid_t id, const uint8_t* data, uint8_t size) const {
        if (size > CAN_MAX_DLC) {  // size <= CAN_MAX_DLC: every encoder sends 4 or 8 bytes
            errno = EMSGSIZE;
            return -1;
        }
        struct can_frame frame {};
        frame.can_id = id;
        frame.len = size;
        std::memcpy(frame.data, data, size);
        ssize_t sent = ::send(_socket.get(), &frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && errno == ENXIO && !_receives) {
            // The interface was removed under this socket (the link's receive thread
            // binds its own socket again): once it is back, bind this one too.
            if (_bind(_socket.get())) {
                sent = ::send(_socket.get(), &frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL);
            } else {
                errno = ENXIO;
            }
        }
        if (sent < 0) {
            const int error = errno;
            _refused.fetch_add(1, std::memory_order_relaxed);
            _lastRefusal.store(error, std::memory_order_relaxed);
            errno = error;
        }
        return sent;
    }

    // Every frame's identifier is made here, so this is where a bad node id stops
    // before anything is sent.
    canid_t _getArbID(canid_t node_id, uint8_t cmd_id) const {
        _checkNodeId(node_id);
        return (node_id << 5) | cmd_id;
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
                interfaceGone = !_bind(_socket.get());
                backoffMs = interfaceGone ? _nextBackoff(backoffMs) : 0;
                continue;
            }
            struct pollfd fds[2] = {{_socket.get(), POLLIN, 0}, {_wake.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
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
            const int received = ::recvmmsg(_socket.get(), messages.data(), kReceiveBatch, MSG_DONTWAIT, nullptr);
            if (received > 0) {
                backoffMs = 0;
                for (int i = 0; i < received; ++i) {
                    if (messages[i].msg_len == sizeof frames[i]) {
                        _store(frames[i]);
                    }
                }
            } else if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                continue;
            } else {
                interfaceGone = received < 0 && errno == ENODEV;
                backoffMs = _nextBackoff(backoffMs);
            }
        }
    }

    static constexpr unsigned kReceiveBatch = 32;

    static int _nextBackoff(int previousMs) { return std::min(previousMs == 0 ? 1 : previousMs * 2, 64); }

    // Decodes one received frame into the cache. Remote requests and error frames
    // carry no telemetry, and a frame shorter than its message holds bytes nobody
    // sent: neither may overwrite cached values.
    void _store(const struct can_frame& frame) {
        if ((frame.can_id & (CAN_RTR_FLAG | CAN_ERR_FLAG)) != 0) {
            return;
        }
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
        _checkNodeId(id);
        if (!_receives) {
            throw std::logic_error("a send-only CAN socket has no telemetry");
        }
        if (inheritedThroughFork()) {
            // Nothing writes the cache in this process, and the lock may have been
            // held by a thread that did not come through the fork.
            return _telemetry[id].*field;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        return _telemetry[id].*field;
    }

    // A node id above 63 would spill into bit 11 of the identifier, which a
    // controller drops: the frame would reach another node.
    static void _checkNodeId(canid_t id) {
        if (id > MAX_CANID) {
            throw std::invalid_argument("node id " + std::to_string(id) +
                                        " is out of range: id <= MAX_CANID (63) does not hold");
        }
    }

    // ---- payload encoding ----

    template <std::size_t N>
    ssize_t _sendPayload(canid_t id, ODriveCanID command, const std::array<uint8_t, N>& payload) const {
        static_assert(N <= CAN_MAX_DLC, "size <= CAN_MAX_DLC");
        return _send(_getArbID(id, command), payload.data(), static_cast<uint8_t>(N));
    }

    void _sendOneFloat(canid_t id, ODriveCanID command, float value) {
        std::array<uint8_t, 4> payload{};
        canbytes::putF32(&payload[0], value);
        _sendPayload(id, command, payload);
    }

    void _sendTwoFloats(canid_t id, ODriveCanID command, float first, float second) {
        std::array<uint8_t, 8> payload{};
        canbytes::putF32(&payload[0], first);
        canbytes::putF32(&payload[4], second);
        _sendPayload(id, command, payload);
    }

    const unsigned _forkGeneration;  // the process generation that owns the receive thread
    std::array<char, IFNAMSIZ> _ifName{};  // NUL-terminated: names are shorter than IFNAMSIZ
    const bool _receives;  // false for a send-only socket: no receive thread, no telemetry
    UniqueFd _socket;
    mutable std::atomic<unsigned long> _refused{0};  // frames the kernel refused
    mutable std::atomic<int> _lastRefusal{0};        // the errno of the last refusal
    UniqueFd _wake;  // eventfd that ends the receive thread's wait
    std::array<ODriveTelemetry, MAX_CANID + 1> _telemetry{};
    bool _stop = false;
    std::thread _pollThread;
    std::mutex _mutex;
};
