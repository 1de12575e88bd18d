#pragma once

#include <atomic>
#include <chrono>
#include <thread>

// Once an emergency stop has begun, nothing but its IDLE frames may leave this
// process: a command written after an IDLE (a control pass in progress, a Python
// thread still running) could undo the stop. Every frame and every control pass
// goes out under a Pass; the stop closes the gate and then waits until every pass
// granted before has ended. Counting in before looking at the flag (the stop closes
// the gate before it looks at the count) means one of the two always sees the
// other. Two atomic operations: cheap enough for every frame.
//
// The state is per process; a child of fork() that builds its own emergency stop
// opens the gate again (reopenAfterFork), whatever its parent was doing.
class SendGate {
public:
    class Pass {
    public:
        Pass() noexcept {
            _inFlight.fetch_add(1);
            _granted = !_closed.load();
            if (!_granted) {
                _inFlight.fetch_sub(1);
            }
        }
        ~Pass() {
            if (_granted) {
                _inFlight.fetch_sub(1);
            }
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        explicit operator bool() const noexcept { return _granted; }

    private:
        bool _granted;
    };

    // Refuses every later pass and waits until the passes granted before have
    // ended, or until `deadline`. Sends never block, so they end soon.
    static void closeAndDrain(std::chrono::steady_clock::time_point deadline) noexcept {
        _closed.store(true);
        while (_inFlight.load() != 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }

    static bool closed() noexcept { return _closed.load(); }

    // For the first emergency stop of a forked child: passes held at the fork
    // belonged to threads that stayed in the parent.
    static void reopenAfterFork() noexcept {
        _closed.store(false);
        _inFlight.store(0);
    }

private:
    static inline std::atomic<bool> _closed{false};
    static inline std::atomic<unsigned> _inFlight{0};  // passes held now
};
