#pragma once

#include <pthread.h>

#include <atomic>
#include <new>
#include <thread>

// Which fork of the process this is: 0 where the module was loaded, one more in
// every child of fork() after that. An object notes the generation it was made
// in; a different one later means it was inherited through fork(), and the
// threads it started stayed behind in the parent. Such an object must not wake,
// join or signal them (the descriptors it would use are shared with the parent),
// and locks it holds may have been taken by a thread that no longer exists here.
class ForkGeneration {
public:
    // Registers the fork handler once; called by every constructor that notes a
    // generation, so that no object exists before the count is kept.
    static unsigned watch() {
        static const bool registered = (::pthread_atfork(nullptr, nullptr, &_onForkChild) == 0);
        (void)registered;
        return current();
    }

    // One relaxed load: cheap enough for the getters and the control pass.
    static unsigned current() noexcept { return _generation.load(std::memory_order_relaxed); }

private:
    // Runs in the child right after fork(): async-signal-safe, lock-free.
    static void _onForkChild() noexcept { _generation.fetch_add(1, std::memory_order_relaxed); }

    static inline std::atomic<unsigned> _generation{0};
};

// Lets go of a std::thread whose thread lives in another process (the parent of
// a fork): joining it here would wait forever, and destroying it while it looks
// joinable would terminate. Its storage gets a fresh, empty thread object in its
// place; the old object's lifetime simply ends, with nothing to release.
inline void forgetInheritedThread(std::thread& inherited) noexcept { ::new (&inherited) std::thread(); }
