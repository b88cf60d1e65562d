// Entry point of yurn: the command line, then the show.
#include <cstdio>
#include <cstdlib>

#include "shell/options.h"
#include "shell/shell.h"

namespace {

// --stats: the report goes to standard error however the show ends (its
// normal end, Escape, or a fatal error's exit), hence from atexit.
void print_stats()
{
    char text[256];
    format_frame_rate(text, sizeof text);
    std::fprintf(stderr, "%s\n", text);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    char error[256];
    if (!parse_options(argc, argv, &options, error, sizeof error)) {
        std::fprintf(stderr, "yurn: %s\nyurn --help muestra las opciones.\n", error);
        return 2;
    }
    if (options.help) {
        print_usage(stdout);
        return 0;
    }
    if (options.version) {
        std::printf("yurn %s\n", YURN_VERSION);
        return 0;
    }
    if (options.stats)
        std::atexit(print_stats);
    return run_show(options);
}
