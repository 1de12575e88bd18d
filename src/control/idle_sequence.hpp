#pragma once

#include <linux/pkt_sched.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../communication/bus_state.hpp"
#include "../communication/can_socket.hpp"
#include "../communication/line_output.hpp"
#include "../communication/odrive_protocol.hpp"
#include "../communication/queued_commands.hpp"

// How a controller idles its motors, when it is dropped and in an emergency stop,
// so that on a busy, slow or stalled bus the IDLE gets there first, stays the last
// word, and is said to be lost when it is:
//
//  1. Ahead. One IDLE frame per motor, from a socket per motor whose priority
//     (TC_PRIO_INTERACTIVE) puts it in the first band of pfifo_fast, the default
//     queue of a CAN interface on the kernels we test: it overtakes what this
//     process has queued. Not every system gives a CAN interface pfifo_fast (older
//     kernels, distributions that set another default); under fq_codel every CAN
//     frame is one flow and priority does not count (measured: the IDLE left 20th
//     of 21), so the IDLE waits behind the queue. Frames already inside an adapter
//     (a USB adapter holds several) are overtaken by nothing.
//  2. Behind. A command queued before the IDLE (a CLOSED_LOOP_CONTROL asked for a
//     moment earlier, on any socket of this process) would still reach the axis
//     after it and undo it. Nothing new is sent once a stop has begun (SendGate);
//     if after one control period a command socket of this process on the
//     interface still holds frames, one more IDLE per motor is queued behind them,
//     from a socket of the ordinary band. Frames queued by other processes are out
//     of reach.
//  3. Confirmed. A frame the kernel accepted is not yet on the wire. Each motor's
//     IDLE socket is watched until its frames have left this machine (the kernel
//     returns a socket's send memory once the driver is done with a frame: when a
//     controller that echoes reports it sent, at hand-over for vcan), for at most
//     kConfirmWait.
//  4. Reported. Only after every IDLE frame is anything written: each IDLE the
//     kernel refused, each one still queued at the bound, with what the CAN
//     controller last said of the bus.
//
// A controller runs all four for itself when it is dropped; the emergency stop runs
// step 1 for every controller, then steps 2 to 4 for all of them at once.
class IdleSequence {
public:
    using Clock = std::chrono::steady_clock;

    // What a bus that keeps up needs to empty its queue: one control period.
    static constexpr std::chrono::milliseconds kBehindWait{2};
    // How long the IDLE frames have to leave this machine before they are reported
    // as still queued. At 250 kbit/s, the slowest bus we name, an eight-byte frame
    // takes some 0.54 ms: an adapter's frames that cannot be overtaken (a USB
    // adapter holds up to ten), the IDLE frames of two controllers and the
    // telemetry that wins arbitration over them come to some 11 ms. The rest is for
    // the host's interrupt and scheduling latency on a busy machine (seen: 20 ms
    // was too short for our bench's emulated SJA1000 while the host was loaded). It
    // is a tenth of the half second in which an emergency stop ends the process.
    static constexpr std::chrono::milliseconds kConfirmWait{50};

    // What became of one motor's IDLE frames.
    struct Outcome {
        int ahead = 0;          // 0 once the kernel took it, else the errno of its refusal
        int behind = 0;         // the same for the one queued behind; 0 when none was needed
        bool stillQueued = false;  // accepted, but had not left this machine at the bound
    };

    // One run of the sequence over one controller's motors, with its outcomes.
    struct Run {
        IdleSequence* sequence;
        std::vector<Outcome> outcomes;  // one per motor, in list order
    };

    // `behind` is the socket that queues behind this process's commands (the
    // controller's loop socket); it must outlive the sequence.
    IdleSequence(const std::string& if_name, const std::vector<unsigned int>& motor_ids, CanSocket& behind,
                 const BusState& busState)
        : _motorIds(motor_ids), _behind(behind), _busState(busState) {
        CanSocket::Setup ahead;
        ahead.priority = TC_PRIO_INTERACTIVE;
        ahead.carriesCommands = false;  // IDLE frames are what the others must not follow
        ahead.mustBind = false;         // the interface may be gone: the first IDLE binds
        for (unsigned int id : _motorIds) {
            if (std::find(_nodes.begin(), _nodes.end(), id) == _nodes.end()) {
                _nodes.push_back(id);
                _aheadSockets.push_back(std::make_unique<CanSocket>(if_name, ahead));
            }
        }
    }

    IdleSequence(const IdleSequence&) = delete;
    IdleSequence& operator=(const IdleSequence&) = delete;

    Run newRun() { return Run{this, std::vector<Outcome>(_motorIds.size())}; }

    // Step 1: an IDLE frame per motor ahead of what is queued, a refused one offered
    // again until `retry_until`.
    void sendAhead(Run& run, Clock::time_point retry_until) noexcept {
        for (std::size_t k = 0; k < _motorIds.size(); ++k) {
            run.outcomes[k] = Outcome{};
            run.outcomes[k].ahead =
                _aheadSocket(_motorIds[k]).sendRetrying(odrive_frames::axisState(_motorIds[k], IDLE), retry_until);
        }
    }

    // Steps 2 and 3 for every run of `runs`, whose IDLE frames are already ahead.
    static void complete(Run* runs, std::size_t count, Clock::time_point retry_until) noexcept {
        const auto behindUntil = std::min(Clock::now() + kBehindWait, retry_until);
        bool queued;
        while ((queued = _anyQueuedBehind(runs, count)) && Clock::now() < behindUntil) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (queued) {
            for (std::size_t r = 0; r < count; ++r) {
                if (runs[r].sequence->_commandsQueued()) {
                    runs[r].sequence->_sendBehind(runs[r], retry_until);
                }
            }
        }
        const auto confirmUntil = Clock::now() + kConfirmWait;
        while (_anyStillQueued(runs, count) && Clock::now() < confirmUntil) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        for (std::size_t r = 0; r < count; ++r) {
            runs[r].sequence->_noteStillQueued(runs[r]);
        }
    }

    // Step 4: a line for each IDLE frame that did not do its part, appended to
    // `lines`; `who` starts each line ("ESTOP", "MotorController").
    void report(const Run& run, const char* who, std::string& lines) const {
        for (std::size_t k = 0; k < _motorIds.size(); ++k) {
            const Outcome& outcome = run.outcomes[k];
            char reason[128];
            if (outcome.ahead != 0) {
                LineOutput::Line line;
                line.format("%s: IDLE for node %u not sent: %s", who, _motorIds[k],
                            ::strerror_r(outcome.ahead, reason, sizeof reason));
                lines.append(line.data(), line.size());
                continue;
            }
            if (outcome.stillQueued) {
                LineOutput::Line line;
                line.format("%s: IDLE for node %u still queued on %s after %lld ms: it has not left this machine (",
                            who, _motorIds[k], _behind.interfaceName(), static_cast<long long>(kConfirmWait.count()));
                _busState.describe(line);
                line.add(")");
                lines.append(line.data(), line.size());
            }
            if (outcome.behind != 0) {
                LineOutput::Line line;
                line.format("%s: IDLE for node %u sent ahead of the frames still queued, but not after them: %s", who,
                            _motorIds[k], ::strerror_r(outcome.behind, reason, sizeof reason));
                lines.append(line.data(), line.size());
            }
        }
    }

    // Steps 1 to 4 for this controller alone, the lines written to standard error,
    // waiting for it at most until `write_until`.
    void runAlone(const char* who, Clock::time_point retry_until, Clock::time_point write_until) {
        Run run = newRun();
        sendAhead(run, retry_until);
        complete(&run, 1, retry_until);
        std::string lines;
        report(run, who, lines);
        if (!lines.empty()) {
            LineOutput::write(2, lines.data(), lines.size(), std::max(write_until, Clock::now()));
        }
    }

private:
    CanSocket& _aheadSocket(unsigned int id) noexcept {
        const auto at = std::find(_nodes.begin(), _nodes.end(), id) - _nodes.begin();
        return *_aheadSockets[static_cast<std::size_t>(at)];
    }

    bool _commandsQueued() const noexcept { return QueuedCommands::bytesQueuedOn(_behind.interfaceIndex()) != 0; }

    void _sendBehind(Run& run, Clock::time_point retry_until) noexcept {
        for (std::size_t k = 0; k < _motorIds.size(); ++k) {
            if (run.outcomes[k].ahead == 0) {
                run.outcomes[k].behind = _behind.sendRetrying(odrive_frames::axisState(_motorIds[k], IDLE), retry_until);
            }
        }
    }

    bool _aheadStillQueued(unsigned int id) noexcept { return _aheadSocket(id).queuedBytes() > 0; }

    void _noteStillQueued(Run& run) noexcept {
        for (std::size_t k = 0; k < _motorIds.size(); ++k) {
            run.outcomes[k].stillQueued = run.outcomes[k].ahead == 0 && _aheadStillQueued(_motorIds[k]);
        }
    }

    static bool _anyQueuedBehind(Run* runs, std::size_t count) noexcept {
        for (std::size_t r = 0; r < count; ++r) {
            if (runs[r].sequence->_commandsQueued()) {
                return true;
            }
        }
        return false;
    }

    static bool _anyStillQueued(Run* runs, std::size_t count) noexcept {
        for (std::size_t r = 0; r < count; ++r) {
            for (unsigned int id : runs[r].sequence->_nodes) {
                if (runs[r].sequence->_aheadStillQueued(id)) {
                    return true;
                }
            }
        }
        return false;
    }

    const std::vector<unsigned int> _motorIds;
    CanSocket& _behind;
    const BusState& _busState;
    std::vector<unsigned int> _nodes;                       // the distinct motor ids
    std::vector<std::unique_ptr<CanSocket>> _aheadSockets;  // one per node, in _nodes' order
};
