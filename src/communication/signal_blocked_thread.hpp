#pragma once

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

// Starts a std::thread with every blockable signal blocked in it, so that
// SIGINT and SIGTERM are delivered to the interpreter's threads and never
// interrupt our receive, control or watcher threads.
template <typename Function>
std::thread startSignalBlockedThread(Function&& body) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    struct RestoreMask {
        sigset_t* mask;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
    } restore{&previous};
    return std::thread(std::forward<Function>(body));
}
