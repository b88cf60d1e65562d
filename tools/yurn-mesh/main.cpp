// yurn-mesh: looks at meshes in the engine's text format or in 3DS files.
//   yurn-mesh COMMAND [ARGS...]; yurn-mesh --help lists the commands.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "display/display.h"

namespace {

constexpr Command commands[] = {
    { .name = "info", .function = info_command,
      .help = "FILE [--json]   counts, bounds and first vertex of every object in a mesh file" },
    { .name = "render", .function = render_command,
      .help = "FILE -o OUT.png [options]   one 320 x 240 frame drawn by the renderer" },
    { .name = "view", .function = view_command,
      .help = "FILE [options]   the mesh turning in a window (drag, wheel, keys 1-5, Space)" },
};

void usage(FILE* out)
{
    std::fprintf(out, "usage: yurn-mesh COMMAND [ARGS...]\n\ncommands:\n");
    for (const Command& c : commands)
        std::fprintf(out, "  %s %s\n", c.name, c.help);
    std::fprintf(out, "\nA file whose name ends in .3ds (any case) or that starts with the 3DS main\n"
                      "chunk is read as 3DS, any other as the engine's text mesh format.\n");
}

// Loader errors end here: the message on standard error, exit code 1.
void report_and_exit(const char* message)
{
    std::fprintf(stderr, "yurn-mesh: %s\n", message);
    std::exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    set_fatal_handler(report_and_exit);
    if (argc < 2) {
        usage(stderr);
        return 1;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        usage(stdout);
        return 0;
    }
    for (const Command& c : commands)
        if (!std::strcmp(argv[1], c.name))
            return c.function(argc - 1, argv + 1);
    std::fprintf(stderr, "yurn-mesh: orden desconocida \"%s\"\n", argv[1]);
    usage(stderr);
    return 1;
}
