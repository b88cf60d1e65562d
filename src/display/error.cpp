// fatal_error: the one report for unrecoverable errors.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "display/display.h"

static FatalHandler fatal_handler = nullptr;

void set_fatal_handler(FatalHandler handler) { fatal_handler = handler; }

void fatal_error(const char* format, ...)
{
    static char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (fatal_handler) {
        fatal_handler(message);
        std::exit(1);
    }
    release_display();
    std::fprintf(stderr, "%s\n", message);
    std::exit(1);
}

// Placeholder until the display exists.
void release_display() {}
