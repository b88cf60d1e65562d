// The start-up steps' marks (platform/startup.h).
#include "platform/startup.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <unistd.h>
#endif

#include "platform/platform.h"

namespace {

constexpr int32_t MAX_STEPS = 32;

StartupStep steps[MAX_STEPS];
int32_t step_count = 0;
double last_mark_ms = 0.0;  // steady_ms of the previous mark
bool finished = false;

// Milliseconds from the process's start (as the kernel recorded it, in clock
// ticks since boot) to steady_ms's zero (static initialisation); 0 where the
// system does not say.
double before_main_ms()
{
#if defined(__linux__) && !defined(__EMSCRIPTEN__)
    FILE* file = std::fopen("/proc/self/stat", "r");
    if (!file)
        return 0.0;
    char text[1024];
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // Field 22, starttime, counted after the command's closing parenthesis
    // (the command itself may hold spaces and parentheses).
    const char* p = std::strrchr(text, ')');
    if (!p)
        return 0.0;
    unsigned long long start_ticks = 0;
    int field = 2;
    for (; *p && field < 22; p++)
        if (*p == ' ')
            field++;
    if (field != 22 || std::sscanf(p, "%llu", &start_ticks) != 1)
        return 0.0;
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    timespec now{};
    if (ticks_per_second <= 0 || clock_gettime(CLOCK_BOOTTIME, &now) != 0)
        return 0.0;
    const double now_ms = double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
    const double start_ms = double(start_ticks) * 1000.0 / double(ticks_per_second);
    // The process's age now, less the time since steady_ms began.
    const double before = now_ms - start_ms - steady_ms();
    return before > 0.0 ? before : 0.0;
#else
    return 0.0;
#endif
}

void add(const char* name, double ms)
{
    if (step_count < MAX_STEPS)
        steps[step_count++] = {name, ms};
}

}  // namespace

void startup_mark(const char* name)
{
    if (finished)
        return;
    if (step_count == 0)
        add("cargar el programa y sus bibliotecas (antes de main)", before_main_ms());
    const double now = steady_ms();
    add(name, now - last_mark_ms);
    last_mark_ms = now;
}

void startup_finish(const char* name)
{
    startup_mark(name);
    finished = true;
}

const StartupStep* startup_steps(int32_t* count, bool* done)
{
    *count = step_count;
    *done = finished;
    return steps;
}
