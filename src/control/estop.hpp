#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../communication/fork_generation.hpp"
#include "../communication/line_output.hpp"
#include "../communication/send_gate.hpp"
#include "../communication/signal_blocked_thread.hpp"
#include "../communication/unique_fd.hpp"
#include "idle_sequence.hpp"
#include "process_output.hpp"

// Process-wide emergency stop. Objects of derived classes register themselves
// once complete; the first registration installs a handler for SIGINT and
// SIGTERM. The handler only records the signal. A watcher thread then, in this
// order:
//  1. marks the stop as begun and waits until no thread is still sending a
//     command: from here on nothing leaves the process but IDLE frames (SendGate);
//  2. runs every registered stop action in registration order; each puts its
//     IDLE frames ahead of what is queued and joins the stop (join_stop);
//  3. completes the IDLE sequence of every controller together (IdleSequence:
//     IDLE behind what this process still has queued, then watched until it has
//     left this machine);
//  4. only now writes text: the program's own buffered output (the interpreter's,
//     then C's stdio, on a helper thread it does not wait for past a bound), each
//     joined action's line on standard output ("Running ESTOP"), and on standard
//     error every IDLE that was refused or is still queued; each through
//     LineOutput, which never waits for a reader past its bound;
//  5. ends the process with the signal number as its exit status.
// Each step has a bound, so the process ends within half a second of the signal
// whatever the bus, standard output and standard error are doing.
//
// A child of fork() has a stop of its own: the first registration there starts
// its own watcher and pipe, and the parent's controllers are not part of it (the
// parent may still be driving them). Nothing a child does reaches the parent's
// watcher.
//
// A program may install a handler of its own for SIGINT or SIGTERM afterwards
// (Python's signal.signal): the signal is then its own. While a controller exists,
// the watcher looks at both handlers a few times a second and says once, on
// standard error, when one is no longer the stop's.
class Estop {
public:
    virtual void estop(int signum) = 0;

    // How long one whole emergency stop may spend offering its refused frames
    // again; the IDLE sequence then takes at most IdleSequence::kConfirmWait more.
    static constexpr std::chrono::milliseconds kStopBudget{250};
    // When the process ends at the latest, from the moment the watcher woke: within
    // half a second of the signal, with room for the wake-up.
    static constexpr std::chrono::milliseconds kStopEnd{450};
    // How long it waits, at most, for the program's buffered output (sys.stdout and
    // sys.stderr, then C's stdio) to be written ...
    static constexpr std::chrono::milliseconds kProgramOutputBudget{100};
    // ... leaving the stop's own lines at least this long before kStopEnd.
    static constexpr std::chrono::milliseconds kLinesReserve{50};
    // How often the watcher looks whether SIGINT and SIGTERM still run the stop.
    static constexpr int kHandlerCheckPeriodMs = 100;

    // Until when the stop actions of the stop in progress may retry their frames.
    static std::chrono::steady_clock::time_point stop_deadline() noexcept {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(_stopDeadlineTicks.load()));
    }

    // Starts the watcher and installs the handler; a no-op once done.
    static void initialize_estop_handler() {
        Registry& registry = _registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        _installLocked(registry);
    }

protected:
    Estop() = default;
    // Non-virtual: derived objects are never destroyed through an Estop pointer.
    // A derived class unregisters in its own destructor; this is a safety net.
    ~Estop() { unregister_estop(); }

    Estop(const Estop&) = delete;
    Estop& operator=(const Estop&) = delete;

    // Called by the most-derived constructor as its last step, so a stop never
    // reaches an object that is not yet complete.
    void register_estop() {
        Registry& registry = _registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        _installLocked(registry);
        registry.estop_functions.push_back(this);
        _registered.store(registry.estop_functions.size());
    }

    // For a stop action, on the watcher thread: `run`, whose IDLE frames are out
    // ahead, is completed with every other controller's, and `line` is written on
    // standard output once every IDLE frame is out.
    static void join_stop(IdleSequence::Run run, const char* line) {
        _stopRuns().push_back(std::move(run));
        _stopLines().append(line).push_back('\n');
    }

    // After this returns, this object's stop action is neither running nor will it
    // run: a stop in progress holds the lock until the process ends.
    void unregister_estop() noexcept {
        Registry& registry = _registry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto& entries = registry.estop_functions;
        entries.erase(std::remove(entries.begin(), entries.end(), this), entries.end());
        _registered.store(entries.size());
    }

private:
    struct Registry {
        std::mutex mutex;
        std::vector<Estop*> estop_functions;  // registration order
        bool is_initialized = false;
        unsigned generation = 0;  // the process generation whose watcher this is
        UniqueFd signalRead;
        UniqueFd signalWrite;
        std::thread watcher;

        ~Registry() {
            if (generation != ForkGeneration::current()) {
                // A forked child at exit: the watcher and the pipe are the parent's,
                // and a byte written here would end the parent's watcher.
                forgetInheritedThread(watcher);
                return;
            }
            // Normal interpreter exit: the handler stops using the pipe, and a zero
            // byte ends the watcher.
            _signalFd.store(-1);
            if (watcher.joinable()) {
                const unsigned char quit = 0;
                while (::write(signalWrite.get(), &quit, 1) < 0 && errno == EINTR) {
                }
                watcher.join();
            }
        }
    };

    static Registry& _registry() {
        static Registry registry;
        return registry;
    }

    // The stop in progress: the watcher's alone.
    static std::vector<IdleSequence::Run>& _stopRuns() {
        static std::vector<IdleSequence::Run> runs;
        return runs;
    }
    static std::string& _stopLines() {  // for standard output
        static std::string lines;
        return lines;
    }
    static std::string& _stopErrors() {  // for standard error
        static std::string lines;
        return lines;
    }

    // What the signal handler reads: constant-initialised lock-free atomics, so the
    // handler never touches the registry or its lock, before or after its lifetime.
    static inline std::atomic<int> _signalFd{-1};  // write end of the watcher's pipe
    static inline std::atomic<pid_t> _signalPid{0};  // the process that owns the watcher
    static inline std::atomic<std::chrono::steady_clock::rep> _stopDeadlineTicks{0};
    static inline std::atomic<std::chrono::steady_clock::rep> _stopEndTicks{0};  // when the process ends at the latest

    static std::chrono::steady_clock::time_point _stopEnd() noexcept {
        return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(_stopEndTicks.load()));
    }
    // For the watcher, which looks at the handlers without the registry's lock.
    static inline std::atomic<std::size_t> _registered{0};  // stop actions registered now
    static inline bool _toldReplaced[2] = {false, false};   // SIGINT, SIGTERM; the watcher's own

    static void _installLocked(Registry& registry) {
        const unsigned generation = ForkGeneration::watch();
        if (registry.is_initialized && registry.generation == generation) {
            return;
        }
        if (registry.is_initialized) {
            // First registration in a forked child: the entries are the parent's
            // controllers, the watcher thread stayed in the parent, and the pipe
            // is shared with it. Start afresh with a stop of this process's own.
            registry.estop_functions.clear();
            _stopRuns().clear();
            _stopLines().clear();
            _stopErrors().clear();
            _registered.store(0);
            _toldReplaced[0] = _toldReplaced[1] = false;
            forgetInheritedThread(registry.watcher);
            // Sends in flight at the fork belonged to threads that stayed behind;
            // none is in flight in this process while it builds its first controller.
            SendGate::reopenAfterFork();
        }
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) < 0) {
            throw std::system_error(errno, std::generic_category(), "emergency-stop pipe");
        }
        registry.signalRead = UniqueFd(fds[0]);
        registry.signalWrite = UniqueFd(fds[1]);
        // A full pipe must never block the handler; one pending byte is enough.
        ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
        registry.watcher = startSignalBlockedThread([&registry] { _watch(registry); });
        registry.generation = generation;
        _signalPid.store(::getpid());
        _signalFd.store(fds[1]);

        struct sigaction action {};
        action.sa_handler = &Estop::estop_handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, nullptr);
        ::sigaction(SIGTERM, &action, nullptr);
        registry.is_initialized = true;
    }

    // Runs in signal context: async-signal-safe calls only.
    static void estop_handler(int signum) {
        const int savedErrno = errno;
        const int fd = _signalFd.load();
        if (fd < 0 || ::getpid() != _signalPid.load()) {
            // No watcher here: a forked child (whose write would stop the parent), or
            // a process already past its static destructors. The signal's default
            // action ends it.
            ::signal(signum, SIG_DFL);
            ::raise(signum);
        } else {
            const unsigned char byte = static_cast<unsigned char>(signum);
            ssize_t ignored = ::write(fd, &byte, 1);
            (void)ignored;
        }
        errno = savedErrno;
    }

    // The watcher must not wait for the scheduler once a signal came: where this
    // process may (root, CAP_SYS_NICE, or an RLIMIT_RTPRIO as robot setups grant),
    // it runs SCHED_FIFO, so that its wake-up preempts the program's own threads,
    // the busy interpreter and the control loops included. It sleeps until a
    // signal comes, so it takes nothing from them before. Elsewhere it stays an
    // ordinary thread.
    static void _raiseWatcherPriority() noexcept {
        constexpr int kWanted = 49;  // above ordinary real-time work, below the kernel's interrupt threads
        struct sched_param param {};
        param.sched_priority = std::min(kWanted, ::sched_get_priority_max(SCHED_FIFO));
        if (::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0) {
            return;
        }
        struct rlimit allowed {};
        if (::getrlimit(RLIMIT_RTPRIO, &allowed) == 0 && allowed.rlim_cur > 0) {
            param.sched_priority = static_cast<int>(std::min<rlim_t>(allowed.rlim_cur, param.sched_priority));
            ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
        }
    }

    static void _watch(Registry& registry) {
        _raiseWatcherPriority();
        for (;;) {
            struct pollfd signalled = {registry.signalRead.get(), POLLIN, 0};
            const int ready = ::poll(&signalled, 1, kHandlerCheckPeriodMs);
            if (ready == 0 || (ready < 0 && errno == EINTR)) {
                _tellReplacedHandlers();
                continue;
            }
            unsigned char signum = 0;
            const ssize_t got = ::read(registry.signalRead.get(), &signum, 1);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got != 1 || signum == 0) {
                return;
            }
            _runStop(registry, signum);
        }
    }

    // The program asked for the signal: it is not taken back, but the user learns
    // that it no longer idles the motors.
    static void _tellReplacedHandlers() noexcept {
        if (_registered.load() == 0) {
            return;
        }
        static constexpr int kSignals[2] = {SIGINT, SIGTERM};
        static constexpr const char* kNames[2] = {"SIGINT", "SIGTERM"};
        for (int i = 0; i < 2; ++i) {
            struct sigaction current {};
            if (_toldReplaced[i] || ::sigaction(kSignals[i], nullptr, &current) < 0) {
                continue;
            }
            const bool siginfo = (current.sa_flags & SA_SIGINFO) != 0;
            if (!siginfo && current.sa_handler == &Estop::estop_handler) {
                continue;
            }
            const char* what = "another handler was installed";
            if (!siginfo && current.sa_handler == SIG_IGN) {
                what = "the program ignores it";
            } else if (!siginfo && current.sa_handler == SIG_DFL) {
                what = "it was set back to its default action";
            }
            LineOutput::Line line;
            line.format("torvane: %s no longer runs the emergency stop: %s", kNames[i], what);
            LineOutput::writeNow(2, line);
            _toldReplaced[i] = true;
        }
    }

    // The stop's lines, each stream within its share of the time left: standard
    // output gets half, so that a terminal that takes nothing does not cost
    // standard error its lines.
    static void _writeStopLines() noexcept {
        const auto until = _stopEnd();
        const std::string& out = _stopLines();
        const auto now = std::chrono::steady_clock::now();
        LineOutput::write(STDOUT_FILENO, out.data(), out.size(), now + (until - now) / 2);
        const std::string& err = _stopErrors();
        if (!err.empty()) {
            LineOutput::write(STDERR_FILENO, err.data(), err.size(), until);
        }
    }

    [[noreturn]] static void _runStop(Registry& registry, int signum) {
        // The lock is never released: the process ends while holding it, so no
        // object can leave the registry half-stopped and a second signal finds
        // nothing more to do.
        registry.mutex.lock();
        const auto began = std::chrono::steady_clock::now();
        const auto deadline = began + kStopBudget;
        _stopDeadlineTicks.store(deadline.time_since_epoch().count());
        _stopEndTicks.store((began + kStopEnd).time_since_epoch().count());
        // Nothing of this process is sent any more before the first IDLE goes out,
        // so that no loop competes with the stop for a queue that may be full, and no
        // command follows an IDLE. Sends never block, so a pass in progress ends
        // soon; the deadline only guards the stop itself.
        SendGate::closeAndDrain(deadline);
        _stopRuns().reserve(registry.estop_functions.size());
        for (Estop* entry : registry.estop_functions) {
            try {
                entry->estop(signum);
            } catch (...) {
                // One failing stop action must not keep the others from running.
            }
        }
        std::vector<IdleSequence::Run>& runs = _stopRuns();
        IdleSequence::complete(runs.data(), runs.size(), deadline);
        // Every IDLE frame is out: now the text, each part within its bound. What
        // the program printed first, so that its output comes before the stop's.
        const auto end = began + kStopEnd;
        process_output::flushWithin(std::min(std::chrono::steady_clock::now() + kProgramOutputBudget,
                                             end - kLinesReserve));
        for (const IdleSequence::Run& run : runs) {
            run.sequence->report(run, "ESTOP", _stopErrors());
        }
        // LineOutput never waits for a reader past its bound, but a write to a file
        // waits for its disk: then the stop's own lines go out on a thread that is
        // left behind at the end.
        static process_output::BoundedWork lines{&_writeStopLines};
        if (LineOutput::waitsForDisk(STDOUT_FILENO) || LineOutput::waitsForDisk(STDERR_FILENO)) {
            process_output::runWithin(lines, end);
        } else {
            _writeStopLines();
        }
        // _exit rather than exit: the interpreter and our own threads are still
        // running, and static destructors must not run underneath them.
        ::_exit(signum);
    }
};
