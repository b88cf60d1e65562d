// yurn-mesh: looks at meshes in the engine's text format or in 3DS files.
//   yurn-mesh COMMAND [ARGS...]; yurn-mesh --help lists the commands.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/command_line.h"
#include "commands.h"
#include "common/cli.h"

namespace {

constexpr Command commands[] = {
    { .name = "info", .function = info_command,
      .help = "FICHERO [--json]   vértices, caras, límites y primer vértice de cada objeto" },
    { .name = "render", .function = render_command,
      .help = "FICHERO -o SALIDA.(png|ppm|jpg|bmp|tga) [opciones]   un fotograma del renderizador" },
    { .name = "view", .function = view_command,
      .help = "FICHERO [opciones]   la malla girando en una ventana (arrastrar, rueda, 1-5, Espacio)" },
};

void usage(FILE* out)
{
    std::fprintf(out, "Uso: yurn-mesh ORDEN [ARGUMENTOS...]\n     yurn-mesh --help | --version\n\nÓrdenes:\n");
    for (const Command& c : commands)
        std::fprintf(out, "  %s %s\n", c.name, c.help);
    std::fprintf(out, "\nUn fichero cuyo nombre acaba en .3ds (en mayúsculas o minúsculas) o que empieza\n"
                      "por el bloque principal de 3DS se lee como 3DS; cualquier otro, como el formato\n"
                      "de texto del motor.  yurn-mesh ORDEN --help explica cada orden.\n"
                      "Salida: 0 si todo fue bien, 1 si algo falló, 2 si la orden está mal escrita.\n");
}

}  // namespace

int main(int argc, char** argv)
{
    // Loader errors end through fatal_error: the message on standard error, exit code 1.
    cli::init("yurn-mesh");
    if (argc < 2) {
        usage(stderr);
        return cli::EXIT_USAGE;
    }
    if (is_help(argv[1]) || !std::strcmp(argv[1], "help")) {
        usage(stdout);
        return 0;
    }
    if (!std::strcmp(argv[1], "--version")) {
        cli::print_version();
        return 0;
    }
    for (const Command& c : commands)
        if (!std::strcmp(argv[1], c.name))
            return c.function(argc - 1, argv + 1);
    cli::usage_error("orden desconocida \"%s\"", argv[1]);
}
