// The one handler for SIGINT, SIGTERM and SIGHUP: it removes the watched
// temporaries and re-raises the signal, or, while a capture catches them,
// only records it.
#include "files/signals.h"

#include <unistd.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

// Temporaries being written now, for the handler: fixed buffers, since a
// handler may only read memory and call unlink.  A slot is free (0), being
// filled (1) or holds a path (2); slots are claimed by compare-and-swap, so
// writers on several threads may claim them at once.
constexpr int32_t SLOTS = 16;
char paths[SLOTS][PATH_MAX];
std::atomic<int32_t> slot_state[SLOTS];
std::atomic<bool> catching{false};
std::atomic<int32_t> caught{0};
std::atomic<bool> installed{false};
bool ignored[3] = {};  // what was ignored when the program started (nohup's SIGHUP): it stays so
static_assert(std::atomic<int32_t>::is_always_lock_free, "read by a signal handler");
static_assert(std::atomic<bool>::is_always_lock_free, "read by a signal handler");

constexpr int TERMINATION_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

void on_termination(int signal_number)
{
    // Every signal while catching is only recorded: one sent to a whole
    // process group (timeout, a terminal's Ctrl+C) may arrive twice.
    if (catching.load(std::memory_order_relaxed)) {
        caught.store(signal_number, std::memory_order_relaxed);
        return;
    }
    for (int32_t i = 0; i < SLOTS; i++)
        if (slot_state[i].load(std::memory_order_acquire) == 2)
            ::unlink(paths[i]);
    std::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// for_capture: a capture takes SIGINT and SIGTERM even when they were
// ignored (a script's background job ignores SIGINT, and stopping it with
// kill -INT has always finished the capture); an ignored SIGHUP stays so.
void install(bool for_capture)
{
    struct sigaction action {};
    action.sa_handler = on_termination;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        if (!ignored[i] || (for_capture && TERMINATION_SIGNALS[i] != SIGHUP))
            ::sigaction(TERMINATION_SIGNALS[i], &action, nullptr);
        else
            std::signal(TERMINATION_SIGNALS[i], SIG_IGN);
}

}  // namespace

void signals_init()
{
    if (installed.exchange(true))
        return;
    // A file-size limit must fail the write (EFBIG), not end the process
    // before the temporary is removed and the old file kept.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int i = 0; i < 3; ++i) {
        struct sigaction now {};
        ignored[i] = ::sigaction(TERMINATION_SIGNALS[i], nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
    }
    install(false);
}

void signals_leave_to_window()
{
    for (int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction now {};
        if (::sigaction(signal_number, nullptr, &now) == 0 && now.sa_handler == on_termination)
            std::signal(signal_number, SIG_DFL);
    }
}

int32_t signals_watch_file(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int32_t i = 0; i < SLOTS; i++) {
        int32_t free_slot = 0;
        if (slot_state[i].compare_exchange_strong(free_slot, 1, std::memory_order_acquire)) {
            std::memcpy(paths[i], path.c_str(), path.size() + 1);
            slot_state[i].store(2, std::memory_order_release);  // the path is whole before it is seen
            return i;
        }
    }
    return -1;
}

void signals_forget_file(int32_t& slot)
{
    if (slot >= 0)
        slot_state[slot].store(0, std::memory_order_release);
    slot = -1;
}

void signals_catch(bool on)
{
    signals_init();
    install(on);  // back from a window's event loop, if one had them
    caught.store(0, std::memory_order_relaxed);
    catching.store(on, std::memory_order_relaxed);
}

int32_t signals_caught(bool clear)
{
    return clear ? caught.exchange(0, std::memory_order_relaxed) : caught.load(std::memory_order_relaxed);
}
