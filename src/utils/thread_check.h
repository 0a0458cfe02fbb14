#pragma once

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

// Binds an object to the first thread that uses it and, in debug and sanitizer builds
// (K5_THREAD_CHECKS), stops the process when another thread calls in: a part that owns its
// state on one thread must not be entered from two. Release builds check nothing.
class ThreadBound {
public:
    // Any thread: true when the caller is the bound thread (binding it on first use).
    bool Current() const {
        const std::thread::id self = std::this_thread::get_id();
        std::thread::id none;
        if (owner_.compare_exchange_strong(none, self)) return true;
        return none == self;
    }
    // Any thread: the next caller binds again (an object handed over to another thread).
    void Detach() { owner_.store(std::thread::id()); }

private:
    mutable std::atomic<std::thread::id> owner_{};
};

#if defined(K5_THREAD_CHECKS)
#define K5_ASSERT_THREAD(bound)                                                                    \
    do {                                                                                           \
        if (!(bound).Current()) {                                                                  \
            std::fprintf(stderr, "[FATAL][%s:%d] %s(): called from a thread it is not bound to\n", \
                         __FILE__, __LINE__, __func__);                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
#else
#define K5_ASSERT_THREAD(bound) static_cast<void>(0)
#endif
