#pragma once

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "../communication/bus_state.hpp"
#include "../communication/line_output.hpp"

// What a control loop got out against what it had to, and when to say so on
// standard error: once kToReport passes in a second did not get out, then at most
// every kReportPeriod. A lone pass held back now and then (a frame that lost
// arbitration, a late interrupt) is part of a healthy bus and is only counted.
// Allocates nothing and never waits for standard error.
class PassesNotOut {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr unsigned kToReport = 10;
    static constexpr std::chrono::seconds kReportPeriod{5};

    // Once per pass tried: it had `wanted` frames to send and the kernel took
    // `taken` of them; `heldBack` when it waited behind the pass before.
    // True when a report is due.
    bool count(unsigned wanted, unsigned taken, bool heldBack, int refusal, Clock::time_point now) {
        if (_windowStart == Clock::time_point{}) {
            _windowStart = now;
        }
        ++_tried;
        _framesWanted += wanted;
        _framesTaken += taken;
        if (heldBack) {
            ++_heldBack;
        } else if (taken < wanted) {
            ++_refused;
            _refusal = refusal;
        }
        const unsigned long notOut = _heldBack + _refused;
        if (!_reported) {
            // A second is long enough for rates that mean something.
            if (now - _windowStart < std::chrono::seconds(1)) {
                return false;
            }
            if (notOut < kToReport) {
                _restart(now);  // a healthy second: forget it
                return false;
            }
            return true;
        }
        if (now - _windowStart < kReportPeriod) {
            return false;
        }
        if (notOut == 0) {
            _restart(now);  // a healthy period: the next report is about what follows
            return false;
        }
        return true;
    }

    void report(const char* interface, const BusState& busState, unsigned framesPerMotor) {
        const auto now = Clock::now();
        const double seconds = std::max(std::chrono::duration<double>(now - _windowStart).count(), 1e-3);
        LineOutput::Line line;
        line.format("torvane: the control loop on %s is not getting its frames out (in the last %.1f s: %lu of %lu "
                    "passes held back behind frames still queued",
                    interface, seconds, _heldBack, _tried);
        if (_refused != 0) {
            char reason[128];
            line.format(", %lu refused by the kernel: %s", _refused, ::strerror_r(_refusal, reason, sizeof reason));
        }
        const unsigned long out = _tried - _heldBack - _refused;
        line.format("): it needs %.0f frames/s and the bus took %.0f frames/s. Every command that goes out is the "
                    "newest, but the motors get %.0f%% of the passes. ",
                    _framesWanted / seconds, _framesTaken / seconds, 100.0 * out / _tried);
        if (_refused != 0 && (_refusal == ENETDOWN || _refusal == ENODEV || _refusal == ENXIO)) {
            line.format("The interface is down or gone: bring it up (ip link set %s up) (", interface);
        } else if (framesPerMotor > 1) {
            line.format("A higher bitrate, TORQUE mode (1 frame per motor a pass, not %u) or fewer motors on "
                        "this bus would help (",
                        framesPerMotor);
        } else {
            line.add("A higher bitrate or fewer motors on this bus would help (");
        }
        busState.describe(line);
        line.add(")");
        LineOutput::writeNow(2, line);
        _reported = true;
        _restart(now);
    }

private:
    void _restart(Clock::time_point now) {
        _windowStart = now;
        _tried = _heldBack = _refused = 0;
        _framesWanted = _framesTaken = 0;
    }

    bool _reported = false;
    Clock::time_point _windowStart{};
    unsigned long _tried = 0;
    unsigned long _heldBack = 0;
    unsigned long _refused = 0;  // passes of which the kernel refused a frame
    unsigned long _framesWanted = 0;
    unsigned long _framesTaken = 0;
    int _refusal = 0;
};
