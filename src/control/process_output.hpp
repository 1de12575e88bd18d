#pragma once

#include <Python.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

// What a process that is about to end with _exit still holds of its output: the
// interpreter's own buffers of sys.stdout and sys.stderr (block-buffered when they
// go to a file or a pipe), then C's stdio buffers. They are flushed on a thread of
// their own, waited for at most a budget: an interpreter whose lock a native call
// holds, or a pipe nobody reads, must not keep the process from ending.
namespace process_output {

// Only the emergency stop uses this, once per process.
struct BoundedWork {
    void (*work)();
    std::atomic<bool> done{false};
};

inline void* runWork(void* slot) {
    // Not noexcept: a thread that asks for the interpreter's lock while it shuts
    // down is ended by pthread_exit, whose unwinding must pass through here.
    auto* bounded = static_cast<BoundedWork*>(slot);
    bounded->work();
    bounded->done.store(true);
    return nullptr;
}

// Runs bounded.work on a new detached thread, with every signal blocked in it, and
// waits until it is done or `until` has come. True when it finished.
inline bool runWithin(BoundedWork& bounded, std::chrono::steady_clock::time_point until) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // An ordinary thread, even when the stop's watcher that starts it runs at a
    // real-time priority: it runs the interpreter's and C's flushes.
    struct sched_param ordinary {};
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
    pthread_attr_setschedparam(&attributes, &ordinary);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, &runWork, &bounded) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        return false;
    }
    while (!bounded.done.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return bounded.done.load();
}

// Flushes sys.stdout and sys.stderr. It keeps the interpreter's lock: no Python
// code runs between this flush and the end of the process.
inline void flushInterpreterStreams() {
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
        return;
    }
    PyGILState_Ensure();
    for (const char* name : {"stdout", "stderr"}) {
        PyObject* stream = PySys_GetObject(name);  // borrowed
        if (stream == nullptr || stream == Py_None) {
            continue;
        }
        PyObject* result = PyObject_CallMethod(stream, "flush", nullptr);
        if (result == nullptr) {
            PyErr_Clear();  // a closed or broken stream: nothing more to save
        } else {
            Py_DECREF(result);
        }
    }
}

// What the program printed and still holds, in the order it was printed: the
// interpreter's buffers, then C's stdio (a C extension's printf). Both may wait on
// a lock another thread holds (a thread of the program blocked in its own write to
// a full pipe) or on a reader that never reads, so they run on a thread of their
// own, which is waited for until `until` at most and left behind after that: the
// process ends right after.
inline void flushWithin(std::chrono::steady_clock::time_point until) {
    static BoundedWork program{[] {
        flushInterpreterStreams();
        std::fflush(nullptr);
    }};
    runWithin(program, until);
}

}  // namespace process_output
