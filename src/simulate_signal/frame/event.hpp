// Events as the module makes and drives them (frame/event.cpp).
#pragma once

#include "frame/frame.hpp"

#include <condition_variable>
#include <mutex>

namespace simsig {

// threading.Event() as the `threading` global makes it now: the module's
// native subclass of threading.Event while that global and its Event are the
// ones imported at set-up.
ref new_event();
// event.set(), event.clear(), event.wait(timeout=...) on any event; the
// module's own events directly.
void event_set(nb::handle event);
bool event_is_set(nb::handle event);
void event_clear(nb::handle event);
bool event_wait(nb::handle event, double timeout);

// Waits with the GIL released until `flag` (guarded by `mutex`) is true, or
// until `limit` seconds passed (negative: no limit); returns the flag. Waits
// in short slices so that a signal (Ctrl-C) reaches the waiting thread, as
// it would through a lock; the mutex is never held while the GIL is taken back.
bool wait_released(std::mutex &mutex, std::condition_variable &changed, const bool &flag,
                   double limit);

// A flag that threads wait on with the GIL released. Every live flag is on
// one list, so that a child made by fork() can make their mutexes new: a
// thread that held one in the parent does not exist in the child. A flag is
// made and destroyed with the GIL held, which guards that list.
struct WaitFlag {
    std::mutex mutex;                 // never held while Python runs
    std::condition_variable changed;
    bool value = false;               // guarded by mutex

    WaitFlag();
    ~WaitFlag();
    WaitFlag(const WaitFlag &) = delete;
    WaitFlag &operator=(const WaitFlag &) = delete;

    bool is_set() {
        std::lock_guard<std::mutex> guard(mutex);
        return value;
    }
    void set() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            value = true;
        }
        changed.notify_all();
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mutex);
        value = false;
    }
    // Until set, or `limit` seconds (negative: no limit); the flag.
    bool wait(double limit) { return wait_released(mutex, changed, value, limit); }

    WaitFlag *previous = nullptr, *next = nullptr;  // the list of live flags
};

// In a child just made by fork(), alone in its process: every live flag's
// mutex and condition variable made anew, keeping its value.
void renew_wait_flags_after_fork() noexcept;

} // namespace simsig
