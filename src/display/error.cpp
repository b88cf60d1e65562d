// The two error reports: display_error for set-up failures, fatal_error for
// the end of the program.  Neither calls the display or the platform directly:
// the display registers how to release itself and show a box (DisplayReports),
// so the tools, which have no display, get fatal_error without SDL.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    if (can_show_box())
        display_reports->show_box("Error", message);
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
    if (!fatal_handler && can_show_box())
        display_reports->show_box("DDrawInterface", text);
    if (display_reports)
        display_reports->close_window();
    return code;
}
