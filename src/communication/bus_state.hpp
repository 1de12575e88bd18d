#pragma once

#include <linux/can.h>
#include <linux/can/error.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "line_output.hpp"

// What the CAN controller under an interface last said of itself. SocketCAN hands
// a controller's error reports as error frames to the sockets that ask for them
// (CAN_RAW_ERR_FILTER); vcan has no controller and reports nothing. The link's
// receive thread feeds them in and says each change on standard error, at most
// once a second (a state that flaps is said as it stands when the second is up);
// other threads name the last state in their own lines.
class BusState {
public:
    using Clock = std::chrono::steady_clock;

    // The error frames asked for: state changes and the two conditions that explain
    // a bus on which nothing gets out. Bus errors (CAN_ERR_BUSERROR) are left out:
    // a controller may send one for every damaged frame.
    static constexpr can_err_mask_t kErrorMask =
        CAN_ERR_TX_TIMEOUT | CAN_ERR_CRTL | CAN_ERR_ACK | CAN_ERR_BUSOFF | CAN_ERR_RESTARTED;

    // Error frames are reported at most this often.
    static constexpr std::chrono::milliseconds kReportPeriod{1000};

    enum Condition : uint8_t { kNoneReported, kErrorActive, kErrorWarning, kErrorPassive, kBusOff };

    // The receive thread, for each error frame.
    void onErrorFrame(const struct can_frame& frame) noexcept {
        const canid_t flags = frame.can_id;
        Condition condition = static_cast<Condition>(_condition.load());
        if ((flags & CAN_ERR_CRTL) != 0 && frame.len >= 2) {
            const uint8_t status = frame.data[1];
            if ((status & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE)) != 0) {
                condition = kErrorPassive;
            } else if ((status & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING)) != 0) {
                condition = kErrorWarning;
            } else if ((status & CAN_ERR_CRTL_ACTIVE) != 0) {
                condition = kErrorActive;
            }
        }
        if ((flags & CAN_ERR_BUSOFF) != 0) {
            condition = kBusOff;
        }
        if ((flags & CAN_ERR_RESTARTED) != 0) {
            condition = kErrorActive;
            _restarted = true;
            _unacknowledged.store(false);
        }
        if ((flags & CAN_ERR_ACK) != 0) {
            _unacknowledged.store(true);
        }
        if ((flags & CAN_ERR_TX_TIMEOUT) != 0) {
            _timedOut = true;
        }
        _condition.store(condition);
    }

    // The receive thread, for each frame another node sent: someone is on the bus to
    // acknowledge.
    void onFrameReceived() noexcept {
        if (_unacknowledged.load(std::memory_order_relaxed)) {
            _unacknowledged.store(false);
        }
    }

    // The receive thread, after each batch of frames and whenever its wait ends:
    // writes what changed since the last report, once a report is due. Returns the
    // milliseconds until a pending change may be said, or -1 when nothing is pending.
    int report(const char* interface, Clock::time_point now) noexcept {
        const auto condition = static_cast<Condition>(_condition.load());
        const bool unacknowledged = _unacknowledged.load();
        if (condition == _saidCondition && unacknowledged == _saidUnacknowledged && !_timedOut && !_restarted) {
            return -1;
        }
        if (_saidAny && now - _saidAt < kReportPeriod) {
            return static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(kReportPeriod - (now - _saidAt)).count() + 1);
        }
        if (condition != _saidCondition || _restarted) {
            LineOutput::Line line;
            line.format("torvane: the CAN controller of %s ", interface);
            switch (condition) {
                case kBusOff:
                    line.format("is BUS-OFF: it sends nothing until it is restarted (by hand, or by itself with "
                                "`ip link set %s type can restart-ms 100`)",
                                interface);
                    break;
                case kErrorPassive:
                    line.add("is ERROR-PASSIVE: many of its frames fail (wiring, termination, a node at another "
                             "bitrate?)");
                    break;
                case kErrorWarning:
                    line.add("is at ERROR-WARNING: its error counters are rising");
                    break;
                default:
                    line.add(_restarted ? "restarted: it is ERROR-ACTIVE again" : "is ERROR-ACTIVE again");
                    break;
            }
            LineOutput::writeNow(2, line);
        }
        if (unacknowledged != _saidUnacknowledged) {
            LineOutput::Line line;
            if (unacknowledged) {
                line.format("torvane: no node acknowledges the frames sent on %s: nobody else is on the bus, or "
                            "it runs at another bitrate",
                            interface);
            } else {
                line.format("torvane: frames on %s are acknowledged again", interface);
            }
            LineOutput::writeNow(2, line);
        }
        if (_timedOut) {
            LineOutput::Line line;
            line.format("torvane: %s timed out sending a frame: its driver gave up on it", interface);
            LineOutput::writeNow(2, line);
        }
        _saidCondition = condition;
        _saidUnacknowledged = unacknowledged;
        _restarted = _timedOut = false;
        _saidAny = true;
        _saidAt = now;
        return -1;
    }

    // The last state, for another line: "CAN controller: BUS-OFF", ...
    void describe(LineOutput::Line& line) const noexcept {
        static constexpr const char* kNames[] = {"no error reported", "ERROR-ACTIVE", "ERROR-WARNING",
                                                 "ERROR-PASSIVE", "BUS-OFF"};
        const uint8_t condition = _condition.load();
        line.format("CAN controller: %s%s", kNames[condition <= kBusOff ? condition : 0],
                    _unacknowledged.load() ? ", no node acknowledging" : "");
    }

private:
    std::atomic<uint8_t> _condition{kNoneReported};
    std::atomic<bool> _unacknowledged{false};
    // The receive thread's own.
    bool _restarted = false;
    bool _timedOut = false;
    Condition _saidCondition = kNoneReported;
    bool _saidUnacknowledged = false;
    bool _saidAny = false;
    Clock::time_point _saidAt{};
};
