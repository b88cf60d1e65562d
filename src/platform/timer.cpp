// The real clock and the real periodic timer: steady_clock milliseconds since
// the process started, and a thread of its own that calls back every period on
// drift-free deadlines.  Used by the SDL backend.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "platform/platform_local.h"

namespace {

using Clock = std::chrono::steady_clock;

// Taken during static initialisation, before main: "since the process started".
const Clock::time_point process_start = Clock::now();

// One periodic timer at a time (the show needs one).  The thread is joined by
// kill or, if the show ended with the timer still armed, at process exit
// (halt_at_exit, and the destructor as a last resort), so the process ends
// cleanly and no tick runs while the program's globals are torn down.
struct RealTimer {
    std::thread thread;
    std::atomic<bool> stop{false};
    uint32_t id = 0;
    uint32_t last_id = 0;

    ~RealTimer() { halt(); }

    void halt()
    {
        if (!thread.joinable())
            return;
        stop.store(true, std::memory_order_relaxed);
        // A callback that ends the process (fatal_error) runs this destructor on
        // the timer thread itself; it cannot join itself, and the process is
        // going away anyway.
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
        id = 0;
    }
};

RealTimer real_timer;

// Registered with the first timer, so it runs at exit before the destructors
// of every static object that existed by then: a tick never reaches state
// that another module's static destructor has freed.
void halt_at_exit() { real_timer.halt(); }

void run_timer(uint32_t period_ms, TimerCallback callback)
{
    const auto period = std::chrono::milliseconds(period_ms);
    // Each deadline is the previous one plus the period, never "now plus the
    // period", so the ticks do not drift however long a callback takes.
    auto deadline = Clock::now() + period;
    while (!real_timer.stop.load(std::memory_order_relaxed)) {
        std::this_thread::sleep_until(deadline);
        if (real_timer.stop.load(std::memory_order_relaxed))
            break;
        callback();
        deadline += period;
    }
}

}  // namespace

double steady_ms()
{
    return std::chrono::duration<double, std::milli>(Clock::now() - process_start).count();
}

uint32_t real_start_timer(uint32_t period_ms, TimerCallback callback)
{
    if (period_ms == 0 || !callback || real_timer.thread.joinable())
        return 0;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(halt_at_exit);
    }
    real_timer.stop.store(false, std::memory_order_relaxed);
    real_timer.thread = std::thread(run_timer, period_ms, callback);
    real_timer.id = ++real_timer.last_id;
    return real_timer.id;
}

void real_kill_timer(uint32_t id)
{
    if (id != 0 && id == real_timer.id)
        real_timer.halt();
}
