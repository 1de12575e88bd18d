#pragma once

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

// The sockets of this process that carry commands (every link's, every control
// loop's) and the interface each is bound to, so that the emergency stop can tell
// whether anything this process queued on an interface is still waiting to go
// out: such a frame (a CLOSED_LOOP_CONTROL asked for a moment before) must not
// reach an axis after its IDLE. Frames queued by other processes are out of reach.
//
// Lock-free, so that the stop reads it whatever another thread was doing, also in
// a child of fork(). A slot is claimed before its socket sends anything and freed
// before the socket closes.
struct QueuedCommandSlot {
    std::atomic<int> fd{-1};  // -1: free
    std::atomic<int> ifindex{0};
};

class QueuedCommands {
public:
    static void add(int fd, int ifindex) noexcept {
        for (QueuedCommandSlot& slot : _slots) {
            int expected = -1;
            if (slot.fd.compare_exchange_strong(expected, fd)) {
                slot.ifindex.store(ifindex);
                return;
            }
        }
        // More than kSlots command sockets: this one's frames go unwatched.
    }

    static void setInterface(int fd, int ifindex) noexcept {
        for (QueuedCommandSlot& slot : _slots) {
            if (slot.fd.load() == fd) {
                slot.ifindex.store(ifindex);
                return;
            }
        }
    }

    static void remove(int fd) noexcept {
        for (QueuedCommandSlot& slot : _slots) {
            if (slot.fd.load() == fd) {
                slot.ifindex.store(0);
                slot.fd.store(-1);
                return;
            }
        }
    }

    // Bytes of frames that this process's command sockets on interface `ifindex`
    // still have queued on their way to the bus.
    static long bytesQueuedOn(int ifindex) noexcept {
        long queued = 0;
        for (const QueuedCommandSlot& slot : _slots) {
            const int fd = slot.fd.load();
            if (fd >= 0 && slot.ifindex.load() == ifindex) {
                queued += std::max(queuedBytes(fd), 0L);
            }
        }
        return queued;
    }

    // Bytes of `fd`'s frames the kernel still holds (in the interface's queue, or in
    // an adapter that has not reported them sent); 0 once every frame has left, -1
    // where the kernel cannot tell. SIOCOUTQ is no help: CAN_RAW sockets answer it
    // with ENOTTY.
    static long queuedBytes(int fd) noexcept {
        uint32_t memory[SK_MEMINFO_VARS] = {};
        socklen_t length = sizeof memory;
        if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) < 0 ||
            length <= SK_MEMINFO_WMEM_ALLOC * sizeof memory[0]) {
            return -1;
        }
        return static_cast<long>(memory[SK_MEMINFO_WMEM_ALLOC]);
    }

private:
    static constexpr int kSlots = 256;

    static inline QueuedCommandSlot _slots[kSlots];
};
