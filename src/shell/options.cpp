// Command-line parsing: one table entry per option, read through the reader
// the tools share (shell/command_line.h).
#include "shell/options.h"

#include <cstring>
#include <string_view>

#include "capture/capture.h"
#include "shell/command_line.h"
#include "platform/platform.h"
#include "stages/stages.h"

namespace {

using Apply = bool (*)(Options* options, const char* value, char* error, size_t error_size);

struct OptionEntry {
    const char* name;
    const char* value;  // name of the value it takes, null for a flag
    const char* help;
    Apply apply;
};

// Reads a positive decimal integer of digits only, up to 10^9; false for anything else.
bool read_count(std::string_view text, int64_t* out)
{
    uint64_t value = 0;
    if (!read_decimal(text, 1000000000, &value) || value == 0)
        return false;
    *out = int64_t(value);
    return true;
}

bool apply_help(Options* o, const char*, char*, size_t) { return o->help = true; }
bool apply_version(Options* o, const char*, char*, size_t) { return o->version = true; }
bool apply_window(Options* o, const char*, char*, size_t) { return o->window = true; }
bool apply_headless(Options* o, const char*, char*, size_t) { return o->headless = true; }
bool apply_stats(Options* o, const char*, char*, size_t) { return o->stats = true; }
bool apply_verbose(Options* o, const char*, char*, size_t) { return o->verbose = true; }

bool apply_data(Options* o, const char* value, char* error, size_t error_size)
{
    if (!*value) {
        std::snprintf(error, error_size, "--data necesita una carpeta (la que contiene datos/)");
        return false;
    }
    o->data = value;
    return true;
}

bool apply_fps(Options* o, const char* value, char* error, size_t error_size)
{
    const char* slash = std::strchr(value, '/');
    const size_t length = slash ? size_t(slash - value) : std::strlen(value);
    // A numerator this long is no count at all: named without the hint.
    if (length >= 32) {
        std::snprintf(error, error_size, "valor de --fps no válido: \"%s\"", value);
        return false;
    }
    int64_t n = 0, d = 1;
    if (!read_count(std::string_view(value, length), &n) || (slash && !read_count(slash + 1, &d))) {
        std::snprintf(error, error_size, "valor de --fps no válido: \"%s\" (se espera N o N/D, enteros positivos)",
                      value);
        return false;
    }
    // A frame period of hours would make one frame deliver millions of ticks.
    if (n * FPS_MIN_PERIOD_S < d || n > FPS_MAX * d) {
        std::snprintf(error, error_size,
                      "valor de --fps fuera de límites: \"%s\" (de 1/%lld, un fotograma por minuto, a %lld por segundo)",
                      value, (long long)FPS_MIN_PERIOD_S, (long long)FPS_MAX);
        return false;
    }
    o->fps_numerator = n;
    o->fps_denominator = d;
    return true;
}

bool apply_depth(Options* o, const char* value, char* error, size_t error_size)
{
    o->mode_555 = false;
    if (!std::strcmp(value, "32"))
        o->offered_modes = OFFER_32;
    else if (!std::strcmp(value, "24"))
        o->offered_modes = OFFER_24;
    else if (!std::strcmp(value, "16") || !std::strcmp(value, "16:565"))
        o->offered_modes = OFFER_16;
    else if (!std::strcmp(value, "16:555")) {
        o->offered_modes = OFFER_16;
        o->mode_555 = true;
    } else if (!std::strcmp(value, "8"))
        o->offered_modes = OFFER_8;
    else {
        std::snprintf(error, error_size, "valor de --depth no válido: \"%s\" (32, 24, 16, 16:555 u 8)", value);
        return false;
    }
    return true;
}

bool apply_script(Options* o, const char* value, char* error, size_t error_size)
{
    if (!find_stage_script(value)) {
        std::snprintf(error, error_size, "no existe el guion \"%s\" (--help los enumera)", value);
        return false;
    }
    o->script = value;
    o->script_given = true;
    return true;
}

bool apply_show(Options* o, const char* value, char* error, size_t error_size)
{
    if (!*value) {
        std::snprintf(error, error_size, "--show necesita un fichero de espectáculo (show.toml)");
        return false;
    }
    o->show = value;
    return true;
}

bool apply_print_show(Options* o, const char* value, char* error, size_t error_size)
{
    if (!find_stage_script(value)) {
        std::snprintf(error, error_size, "no existe el guion \"%s\" (--help los enumera)", value);
        return false;
    }
    o->print_show = value;
    return true;
}

bool apply_check(Options* o, const char* value, char* error, size_t error_size)
{
    if (!*value) {
        std::snprintf(error, error_size, "--check necesita un fichero de espectáculo (show.toml)");
        return false;
    }
    o->check = value;
    return true;
}

bool apply_capture(Options* o, const char* value, char* error, size_t error_size)
{
    if (!capture_target_valid(value, error, error_size))
        return false;
    o->capture = value;
    return true;
}

bool apply_overwrite(Options* o, const char*, char*, size_t) { return o->overwrite = true; }
bool apply_paused(Options* o, const char*, char*, size_t) { return o->paused = true; }
bool apply_loop(Options* o, const char*, char*, size_t) { return o->loop = true; }
bool apply_watch(Options* o, const char*, char*, size_t) { return o->watch = true; }

// Seconds as digits with up to three decimals after a '.': 12, 12.4, 0.016.
bool apply_from(Options* o, const char* value, char* error, size_t error_size)
{
    const std::string_view text(value);
    const size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    uint64_t seconds = 0, part = 0;
    const bool whole_ok = read_decimal(whole, uint64_t(FROM_MAX_S), &seconds);
    const bool fraction_ok = dot == std::string_view::npos ||
                             (!fraction.empty() && fraction.size() <= 3 && read_decimal(fraction, 999, &part));
    if (!whole_ok || !fraction_ok) {
        std::snprintf(error, error_size,
                      "valor de --from no válido: \"%s\" (se esperan segundos desde el principio, de 0 a %lld, "
                      "con hasta tres decimales: 12.5)",
                      value, (long long)FROM_MAX_S);
        return false;
    }
    for (size_t i = fraction.size(); i < 3; i++)
        part *= 10;
    o->from_ms = double(seconds) * 1000.0 + double(part);
    return true;
}

bool apply_format(Options* o, const char* value, char* error, size_t error_size)
{
    o->capture_format = capture_format_named(value);
    if (o->capture_format < 0) {
        std::snprintf(error, error_size, "valor de --format no válido: \"%s\" (png, ppm o raw)", value);
        return false;
    }
    return true;
}

constexpr OptionEntry OPTION_TABLE[] = {
    {.name = "--help", .value = nullptr, .help = "muestra esta ayuda y termina", .apply = apply_help},
    {.name = "--version", .value = nullptr, .help = "muestra la versión y termina", .apply = apply_version},
    {.name = "--window", .value = nullptr, .help = "en una ventana (3x) en vez de a pantalla completa",
     .apply = apply_window},
    {.name = "--headless", .value = nullptr,
     .help = "sin ventana ni sonido, con reloj virtual (lo más rápido posible, siempre igual)",
     .apply = apply_headless},
    {.name = "--fps", .value = "N|N/D",
     .help = "fotogramas por segundo del reloj virtual (60 por omisión; de 1/60 a 1000)", .apply = apply_fps},
    {.name = "--depth", .value = "32|24|16|16:555|8",
     .help = "la pantalla ofrece solo esa profundidad de color", .apply = apply_depth},
    {.name = "--stats", .value = nullptr,
     .help = "al terminar, informe de fotogramas por segundo en stderr (sin ventana, también el tiempo real)",
     .apply = apply_stats},
    {.name = "--data", .value = "DIR",
     .help = "carpeta que contiene datos/ y Yurn.pak (la actual si tiene datos/; si no, los datos instalados)",
     .apply = apply_data},
    {.name = "--verbose", .value = nullptr, .help = "dice en stderr de dónde se leen los datos (Yurn.pak o datos/)",
     .apply = apply_verbose},
    {.name = "--script", .value = "NOMBRE", .help = "guion de etapas que se ejecuta (\"show\" por omisión)",
     .apply = apply_script},
    {.name = "--show", .value = "FICHERO",
     .help = "muestra el espectáculo descrito en FICHERO (show.toml; sus rutas, relativas a su carpeta)",
     .apply = apply_show},
    {.name = "--check", .value = "FICHERO",
     .help = "lee el espectáculo y todos sus ficheros sin mostrarlo; escribe su horario o cada problema",
     .apply = apply_check},
    {.name = "--print-show", .value = "NOMBRE",
     .help = "escribe en la salida estándar el fichero de espectáculo equivalente al guion NOMBRE",
     .apply = apply_print_show},
    {.name = "--capture", .value = "DIR|F.mp4",
     .help = "graba cada fotograma (sin ventana, a --fps): DIR/frame-000000.png..., frames.tsv y sound.wav, "
             "o un vídeo .mp4, .mkv o .webm con ffmpeg",
     .apply = apply_capture},
    {.name = "--format", .value = "png|ppm|raw", .help = "formato de los fotogramas de --capture DIR (png)",
     .apply = apply_format},
    {.name = "--from", .value = "T", .help = "empieza en el segundo T (12.5), en el fotograma exacto de ese momento",
     .apply = apply_from},
    {.name = "--paused", .value = nullptr, .help = "empieza en pausa (Espacio sigue)", .apply = apply_paused},
    {.name = "--loop", .value = nullptr, .help = "vuelve a empezar al terminar (L lo cambia)", .apply = apply_loop},
    {.name = "--watch", .value = nullptr,
     .help = "con --show, lee de nuevo el fichero y sus datos cuando cambian y sigue en el mismo segundo",
     .apply = apply_watch},
    {.name = "--overwrite", .value = nullptr,
     .help = "--capture DIR puede sustituir los fotogramas, frames.tsv y sound.wav de una grabación anterior; "
             "--capture F.mp4, un vídeo que ya existe",
     .apply = apply_overwrite},
};

// The table entry for a name ("-h" is "--help"); null when there is none.
const OptionEntry* find_option(std::string_view name)
{
    if (is_help(name))
        name = "--help";
    for (const OptionEntry& candidate : OPTION_TABLE)
        if (name == candidate.name)
            return &candidate;
    return nullptr;
}

}  // namespace

bool parse_options(int argc, char** argv, Options* options, char* error, size_t error_size)
{
    *options = Options{};
    // yurn takes no operands: "--" is one more unknown option.
    CommandLine line{.argc = argc, .argv = argv, .double_dash_ends_options = false};
    Argument arg;
    while (next_argument(line, &arg)) {
        const OptionEntry* entry = find_option(arg.name);
        if (!entry) {
            std::snprintf(error, error_size, "opción desconocida: \"%.*s\"", int(arg.name.size()), arg.name.data());
            return false;
        }
        if (arg.value && !entry->value) {
            std::snprintf(error, error_size, "%s no lleva valor: \"%s\"", entry->name, arg.text);
            return false;
        }
        const char* value = nullptr;
        if (entry->value) {
            value = take_value(line, arg);
            if (!value) {
                std::snprintf(error, error_size, "falta el valor de %s (%s)", entry->name, entry->value);
                return false;
            }
        }
        if (!entry->apply(options, value, error, error_size))
            return false;
    }
    if (options->capture_format >= 0 && (!options->capture || capture_is_video(options->capture))) {
        std::snprintf(error, error_size, "--format vale solo con --capture DIR (un vídeo elige su formato por la extensión)");
        return false;
    }
    if (options->overwrite && !options->capture) {
        std::snprintf(error, error_size, "--overwrite vale solo con --capture");
        return false;
    }
    // A capture records the whole show from its start; without a window
    // nothing could resume a paused show or stop a looping one.
    const char* player_option = options->from_ms > 0.0 ? "--from" : options->paused ? "--paused"
                              : options->loop ? "--loop" : nullptr;
    if (player_option && options->capture) {
        std::snprintf(error, error_size, "%s no vale con --capture (se graba el espectáculo entero)", player_option);
        return false;
    }
    if ((options->paused || options->loop) && options->headless) {
        std::snprintf(error, error_size, "%s no vale con --headless (sin ventana nada lo terminaría)",
                      options->paused ? "--paused" : "--loop");
        return false;
    }
    if (options->watch && (!options->show || options->capture)) {
        std::snprintf(error, error_size, "--watch vale solo con --show FICHERO y sin --capture");
        return false;
    }
    if (options->show && (options->script_given || options->data)) {
        std::snprintf(error, error_size, "--show no va con %s: el fichero dice sus etapas y sus rutas son relativas a él",
                      options->script_given ? "--script" : "--data");
        return false;
    }
    if ((options->check || options->print_show) && (options->show || options->capture)) {
        std::snprintf(error, error_size, "%s no muestra nada: no va con --show ni con --capture",
                      options->check ? "--check" : "--print-show");
        return false;
    }
    if (options->capture && !capture_target_free(options->capture, options->overwrite, error, error_size))
        return false;
    return true;
}

void print_usage(FILE* out)
{
    std::fprintf(out,
                 "Uso: yurn [opciones]\n"
                 "Muestra el espectáculo a 320 x 240 con su música; Escape termina.\n"
                 "Alt+Intro alterna entre pantalla completa y ventana.\n"
                 "Teclas: Espacio pausa; <- -> 5 s atrás y adelante (Mayús: 1 s); , . un fotograma;\n"
                 "Inicio al principio; L bucle; M silencio; S captura PNG en la carpeta actual; ? o H las teclas.\n"
                 "Lee datos/ y Yurn.pak de la carpeta actual (o de --data DIR; sin datos/ aquí,\n"
                 "los instalados en share/yurn); Yurn.pak, si existe, se lee antes que los\n"
                 "ficheros de datos/.\n\n"
                 "Opciones (el valor va detrás o tras '=': --fps 30, --fps=30):\n");
    for (const OptionEntry& entry : OPTION_TABLE) {
        char left[64];
        std::snprintf(left, sizeof left, "%s%s%s%s", entry.name, !std::strcmp(entry.name, "--help") ? ", -h" : "",
                      entry.value ? " " : "", entry.value ? entry.value : "");
        std::fprintf(out, "  %-28s %s\n", left, entry.help);
    }
    std::fprintf(out, "\nGuiones (--script):\n");
    for (int32_t i = 0; i < stage_script_count(); i++)
        std::fprintf(out, "  %-10s %s\n", stage_script_at(i)->name, stage_script_at(i)->description);
    std::fprintf(out,
                 "\nCódigos de salida:\n"
                 "   19  el espectáculo llegó a su fin (guiones show y standin)\n"
                 "    7  el espectáculo del motor llegó a su fin (guion engine)\n"
                 "    0  Escape o la ventana cerrada\n"
                 "    N  el exit_code de un espectáculo --show que llegó a su fin\n"
                 "    1  error (el mensaje en stderr dice cuál), o un fichero de datos que falta o está mal\n"
                 "    2  línea de órdenes no válida, o un fichero de espectáculo mal escrito\n"
                 "  130  grabación interrumpida con Ctrl+C (SIGINT), tras guardar lo grabado\n"
                 "  143  grabación terminada con SIGTERM, tras guardar lo grabado\n");
}
