// The two error reports: display_error for set-up failures, fatal_error for
// the end of the program.  Neither calls the display or the platform directly:
// the display registers how to release itself and show a box (DisplayReports),
// so the tools, which have no display, get fatal_error without SDL.
#if !defined(__EMSCRIPTEN__)
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "display/display_local.h"
#include "display/error.h"

namespace {

FatalHandler fatal_handler = nullptr;
char fatal_note[512];
std::atomic<bool> in_fatal{false};
const DisplayReports* display_reports = nullptr;

// Standard error gets every report, so a user on a terminal or in CI sees
// why the show ended even when no box can be shown.
void write_stderr(const char* text)
{
    const size_t length = std::strlen(text);
    std::fputs(text, stderr);
    if (length == 0 || text[length - 1] != '\n')
        std::fputc('\n', stderr);
    std::fflush(stderr);
}

bool can_show_box() { return display_reports && display_reports->can_show_box(); }

// The box may be a helper process of the display library's (a dialog
// program it starts and waits for): ending only this process would leave
// the box on the screen.  Every child of this process gets SIGTERM; the
// children are found by scanning /proc with system calls only, which a
// signal handler may make.  A page has no processes and no signals.
#if !defined(__EMSCRIPTEN__)
void end_children()
{
    const int folder = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    const pid_t self = ::getpid();
    alignas(8) char entries[4096];
    for (;;) {
        const long got = ::syscall(SYS_getdents64, folder, entries, sizeof entries);
        if (got <= 0)
            break;
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
            at += entry->d_reclen;
            pid_t pid = 0;
            const char* name = entry->d_name;
            for (; *name >= '0' && *name <= '9'; ++name)
                pid = pid * 10 + (*name - '0');
            if (*name != 0 || pid <= 0 || pid == self)
                continue;
            char path[64] = "/proc/";
            size_t length = 6;
            for (const char* c = entry->d_name; *c && length < 40; ++c)
                path[length++] = *c;
            std::memcpy(path + length, "/stat", 6);
            const int stat_file = ::open(path, O_RDONLY | O_CLOEXEC);
            if (stat_file < 0)
                continue;
            char line[512];
            const ssize_t read_bytes = ::read(stat_file, line, sizeof line - 1);
            ::close(stat_file);
            if (read_bytes <= 0)
                continue;
            line[read_bytes] = 0;
            // "pid (name) state ppid ...": the name may hold spaces and
            // brackets, so the fields are counted from its last ')'.
            const char* close_bracket = nullptr;
            for (const char* c = line; *c; ++c)
                if (*c == ')')
                    close_bracket = c;
            if (!close_bracket || close_bracket[1] != ' ' || !close_bracket[2] || close_bracket[3] != ' ')
                continue;
            pid_t parent = 0;
            for (const char* c = close_bracket + 4; *c >= '0' && *c <= '9'; ++c)
                parent = parent * 10 + (*c - '0');
            if (parent == self)
                ::kill(pid, SIGTERM);
        }
    }
    ::close(folder);
}

void end_with_failure(int)
{
    end_children();
    std::_Exit(1);
}

// The box waits for a click; a termination signal (a logout, a service
// manager, Ctrl+C on the terminal) must not wait with it: it ends the
// process at once with the code the box would have led to, which takes the
// box away with the connection to the display.  Whatever handler was there
// (the display library's turns these signals into quit events, which the
// box never reads) is replaced.
void end_on_termination_signals()
{
    struct sigaction action {};
    action.sa_handler = end_with_failure;
    sigemptyset(&action.sa_mask);
    sigset_t wanted;
    sigemptyset(&wanted);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaction(signal_number, &action, nullptr);
        sigaddset(&wanted, signal_number);
    }
    ::pthread_sigmask(SIG_UNBLOCK, &wanted, nullptr);
}
#else
void end_on_termination_signals() {}
#endif

void release_display_if_any()
{
    if (display_reports)
        display_reports->release();
}

}  // namespace

void set_display_reports(const DisplayReports* reports) { display_reports = reports; }

void set_fatal_handler(FatalHandler handler) { fatal_handler = handler; }

void set_fatal_note(const char* note) { std::snprintf(fatal_note, sizeof fatal_note, "%s", note); }

void fatal_error(const char* format, ...)
{
    static char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (fatal_handler) {
        fatal_note[0] = 0;
        release_display_if_any();
        fatal_handler(message);
        std::exit(1);
    }
    // Releasing the display may fail in turn and come back here: the second
    // report only adds its line and ends at once.
    if (in_fatal.exchange(true, std::memory_order_relaxed)) {
        write_stderr(message);
        std::_Exit(1);
    }
    write_stderr(message);
    if (fatal_note[0])
        write_stderr(fatal_note);
    release_display_if_any();
    if (can_show_box()) {
        end_on_termination_signals();
        display_reports->show_box("Error", message);
    }
    std::exit(1);
}

int32_t display_error(int32_t code, const char* format, ...)
{
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    release_display_if_any();
    write_stderr(text);
    if (!fatal_handler && can_show_box()) {
        end_on_termination_signals();
        display_reports->show_box("DDrawInterface", text);
    }
    if (display_reports)
        display_reports->close_window();
    return code;
}
