// yurn-mesh info: loads a mesh file as the engine would and prints, per object
// in load order, its counts, its object-space bounds and its first vertex.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "common/cli.h"
#include "engine/engine.h"
#include "files/files.h"

namespace {

// Shortest text that reads back as the same float; JSON has no inf or nan.
std::string number(float f, bool json)
{
    if (json && !std::isfinite(f))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", double(f));
    return text;
}

void print_object(const Object* o, bool json, bool first)
{
    if (json) {
        std::printf("%s\n    {\"vertices\": %u, \"faces\": %u, \"bounds\": [", first ? "" : ",", o->vertex_count,
                    o->face_count);
        for (int i = 0; i < 6; ++i)
            std::printf("%s%s", i ? ", " : "", number(o->bounds[i], true).c_str());
        std::printf("], \"first_vertex\": ");
        if (o->vertex_count) {
            const Vector& p = o->vertices[0].position;
            std::printf("[%s, %s, %s]}", number(p.x, true).c_str(), number(p.y, true).c_str(),
                        number(p.z, true).c_str());
        } else {
            std::printf("null}");
        }
        return;
    }
    std::printf("vertices %u faces %u bounds", o->vertex_count, o->face_count);
    for (int i = 0; i < 6; ++i)
        std::printf(" %s", number(o->bounds[i], false).c_str());
    if (o->vertex_count) {
        const Vector& p = o->vertices[0].position;
        std::printf(" first_vertex %s %s %s\n", number(p.x, false).c_str(), number(p.y, false).c_str(),
                    number(p.z, false).c_str());
    } else {
        std::printf(" first_vertex none\n");
    }
}

void info_usage(FILE* out)
{
    std::fputs("Uso: yurn-mesh info FICHERO [--json]\n"
               "  Carga FICHERO (3DS si su nombre acaba en .3ds, en mayúsculas o minúsculas, o si\n"
               "  empieza por el bloque principal de 3DS; si no, el formato de texto del motor) y\n"
               "  escribe una línea por objeto, en el orden de carga:\n"
               "    vertices N faces M bounds MIN_X MAX_X MIN_Y MAX_Y MIN_Z MAX_Z first_vertex X Y Z\n"
               "  en el espacio del motor (y hacia abajo).  --json escribe lo mismo como un JSON.\n",
               out);
}

bool ends_with_3ds(const char* name)
{
    const size_t n = std::strlen(name);
    if (n < 4)
        return false;
    const char* e = name + n - 4;
    return e[0] == '.' && (e[1] | 0x20) == '3' && (e[2] | 0x20) == 'd' && (e[3] | 0x20) == 's';
}

}  // namespace

bool looks_like_3ds(const char* name)
{
    if (ends_with_3ds(name))
        return true;
    File file(open_data_file(name, "rb"));
    uint8_t id[2];
    return file && std::fread(id, 1, 2, file.get()) == 2 && id[0] == 0x4D && id[1] == 0x4D;
}

int info_command(int argc, char** argv)
{
    const char* file = nullptr;
    bool json = false;
    cli::Args args(argc, argv);
    std::string a;
    bool is_option = false;
    while (args.next(a, is_option)) {
        cli::answer_help_or_version(args, info_usage);
        if (a == "--json")
            json = true;
        else if (is_option)
            cli::usage_error("opción desconocida \"%s\"", a.c_str());
        else if (file)
            cli::usage_error("sobra el argumento \"%s\"", a.c_str());
        else
            file = args.text();
    }
    if (!file) {
        info_usage(stderr);
        return cli::EXIT_USAGE;
    }

    // Loader errors go through fatal_error, which the tool turns into a
    // message on standard error and exit code 1.
    cli::subject = file;
    Scene scene;
    if (looks_like_3ds(file))
        scene.load_3ds(file);
    else
        scene.add_object(load_object(file));

    if (json)
        std::printf("{\"objects\": [");
    for (int32_t i = 0; i < scene.object_count; ++i)
        print_object(scene.objects[i], json, i == 0);
    if (json)
        std::printf("%s]}\n", scene.object_count ? "\n" : "");
    return 0;
}
