#pragma once

#include <errno.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "queued_commands.hpp"
#include "unique_fd.hpp"

// One raw SocketCAN socket bound to one interface by name. It writes whole classic
// frames without ever blocking, binds again when its interface was removed and has
// come back, and tells how much it still has queued.
//
// A send() never waits for the bus: a frame the kernel refuses (a full queue on a
// stalled bus, an interface that is down) is refused at once, with errno. Only
// sendRetrying, for the IDLE frames that idle the motors, offers a refused frame
// again, for a bounded time.
class CanSocket {
public:
    struct Setup {
        const struct can_filter* filters = nullptr;  // frames taken in; none: a socket that only sends
        std::size_t filterCount = 0;
        can_err_mask_t errorMask = 0;  // the controller's error frames taken in
        int priority = 0;              // SO_PRIORITY: TC_PRIO_INTERACTIVE goes first through pfifo_fast
        int sendBufferBytes = 0;       // SO_SNDBUF as the kernel counts it; 0 for its default
        bool carriesCommands = true;   // its queued frames are commands an IDLE must not precede
        bool mustBind = true;          // false: the interface may be gone (unplugged); the first send binds
    };

    // Throws std::runtime_error, "Failed to create CAN socket on interface NAME" or
    // "Failed to bind socket on interface NAME", or std::system_error when an option
    // cannot be set.
    CanSocket(const std::string& if_name, const Setup& setup) : _setup(setup) {
        _socket = UniqueFd(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
        if (!_socket.valid()) {
            throw std::runtime_error("Failed to create CAN socket on interface " + if_name);
        }
        // The name must fit ifr_name with its terminator, and an embedded NUL would
        // silently name another interface.
        const bool nameFits =
            !if_name.empty() && if_name.size() < IFNAMSIZ && if_name.find('\0') == std::string::npos;
        if (nameFits) {
            std::memcpy(_ifName.data(), if_name.data(), if_name.size());
        }
        if (!nameFits || (!bind() && _setup.mustBind)) {
            throw std::runtime_error("Failed to bind socket on interface " + if_name);
        }
        const int fd = _socket.get();
        const int requestedBuffer = _setup.sendBufferBytes / 2;  // the kernel doubles what it is given
        if ((_setup.priority != 0 &&
             ::setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &_setup.priority, sizeof _setup.priority) < 0) ||
            (requestedBuffer > 0 &&
             ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &requestedBuffer, sizeof requestedBuffer) < 0)) {
            throw std::system_error(errno, std::generic_category(), "CAN socket on interface " + if_name);
        }
        if (_setup.carriesCommands) {
            QueuedCommands::add(fd, _ifindex.load());
        }
    }

    ~CanSocket() {
        if (_setup.carriesCommands) {
            QueuedCommands::remove(_socket.get());
        }
    }

    CanSocket(const CanSocket&) = delete;
    CanSocket& operator=(const CanSocket&) = delete;

    int fd() const noexcept { return _socket.get(); }
    const char* interfaceName() const noexcept { return _ifName.data(); }
    int interfaceIndex() const noexcept { return _ifindex.load(); }

    // Binds to the interface named at construction, taking in the frames of the
    // setup. Also used to bind again after the interface was removed and has come
    // back (possibly under another index).
    bool bind() noexcept {
        const int fd = _socket.get();
        struct ifreq request {};
        std::memcpy(request.ifr_name, _ifName.data(), IFNAMSIZ);
        // Index 0 would bind to every interface, after which every write fails.
        if (::ioctl(fd, SIOCGIFINDEX, &request) < 0 || request.ifr_ifindex <= 0) {
            return false;
        }
        // The kernel drops a socket's filters when its interface goes away; they are
        // set again before binding.
        const socklen_t filterBytes = static_cast<socklen_t>(_setup.filterCount * sizeof(struct can_filter));
        if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, _setup.filters, filterBytes) < 0 ||
            (_setup.errorMask != 0 && ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &_setup.errorMask,
                                                   sizeof _setup.errorMask) < 0)) {
            return false;
        }
        struct sockaddr_can address {};
        address.can_family = AF_CAN;
        address.can_ifindex = request.ifr_ifindex;
        if (::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), sizeof address) < 0) {
            return false;
        }
        _ifindex.store(request.ifr_ifindex);
        if (_setup.carriesCommands) {
            QueuedCommands::setInterface(fd, request.ifr_ifindex);
        }
        // The interface's removal left ENODEV pending on the socket; it is not about
        // the next frame.
        clearPendingError();
        return true;
    }

    // Writes one frame without ever blocking; returns what send() returned (-1 with
    // errno when the kernel refused it).
    ssize_t send(const struct can_frame& frame) noexcept {
        ssize_t sent = _sendOnce(frame);
        if (sent < 0 && (errno == ENETDOWN || errno == ENODEV)) {
            // An interface that went down and came back (or was removed) leaves that
            // error pending on every socket bound to it, and the send that reports it
            // sends nothing. Once more: a second refusal is the interface's own.
            sent = _sendOnce(frame);
        }
        if (sent < 0 && errno == ENXIO && _setup.filters == nullptr) {
            // The interface was removed under this socket. A socket that receives has
            // a thread that binds it again; one that only sends binds on its next frame.
            if (bind()) {
                sent = _sendOnce(frame);
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

    // Sends `frame` like send(), but a frame refused because a queue is full (the
    // socket's send buffer, or the interface's queue: EAGAIN, ENOBUFS) is offered
    // again every millisecond until `retry_until`. Returns 0 once the kernel took the
    // frame, otherwise the errno of the last refusal.
    int sendRetrying(const struct can_frame& frame, std::chrono::steady_clock::time_point retry_until) noexcept {
        clearPendingError();
        for (;;) {
            if (send(frame) >= 0) {
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

    // Forgets what the kernel left pending on the socket (SO_ERROR): an interface that
    // went down and came back, or was removed, says so on the next send otherwise.
    void clearPendingError() const noexcept {
        int pending = 0;
        socklen_t length = sizeof pending;
        ::getsockopt(_socket.get(), SOL_SOCKET, SO_ERROR, &pending, &length);
    }

    // Bytes of this socket's frames still on their way to the bus; 0 once all have
    // left this machine, -1 where the kernel cannot tell.
    long queuedBytes() const noexcept { return QueuedCommands::queuedBytes(_socket.get()); }

    // How many frames the kernel has refused on this socket, and why it refused the
    // last one: for a sender that must say when its frames do not get out.
    unsigned long refusedFrames() const noexcept { return _refused.load(std::memory_order_relaxed); }
    int lastRefusal() const noexcept { return _lastRefusal.load(std::memory_order_relaxed); }

private:
    ssize_t _sendOnce(const struct can_frame& frame) const noexcept {
        return ::send(_socket.get(), &frame, sizeof frame, MSG_DONTWAIT | MSG_NOSIGNAL);
    }

    const Setup _setup;
    std::array<char, IFNAMSIZ> _ifName{};  // NUL-terminated: names are shorter than IFNAMSIZ
    std::atomic<int> _ifindex{0};          // the interface bound now; 0 while unbound
    UniqueFd _socket;
    mutable std::atomic<unsigned long> _refused{0};
    mutable std::atomic<int> _lastRefusal{0};
};
