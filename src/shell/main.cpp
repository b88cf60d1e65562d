// Entry point of yurn: the command line, then the show.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture/capture.h"
#include "files/files.h"
#include "files/signals.h"
#include "platform/platform.h"
#include "platform/startup.h"
#include "shell/installed_data.h"
#include "shell/options.h"
#include "shell/player.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "shell/shell_local.h"
#include "stages/show_files.h"
#include "stages/stages.h"

namespace {

double started_ms = 0.0;  // steady clock when main began
bool virtual_clock = false;

// --stats: the report goes to standard error however the show ends (its
// normal end, Escape, or a fatal error's exit), hence from atexit.  On the
// virtual clock the report counts virtual time, so the real time the run
// took follows it.
void print_stats()
{
    char text[256];
    format_frame_rate(text, sizeof text);
    std::fprintf(stderr, "%s\n", text);
    player_print_stats(stderr);
    if (virtual_clock)
        std::fprintf(stderr, "Tiempo real de la ejecución: %.3f segundos\n", (steady_ms() - started_ms) / 1000.0);
    // Then the start-up, step by step, as far as it went.
    int32_t count = 0;
    bool finished = false;
    const StartupStep* steps = startup_steps(&count, &finished);
    if (count == 0)
        return;
    double total = 0.0;
    for (int32_t i = 0; i < count; i++)
        total += steps[i].ms;
    std::fprintf(stderr, finished ? "Arranque hasta el primer fotograma: %.3f segundos\n"
                                  : "Arranque, sin llegar al primer fotograma: %.3f segundos\n",
                 total / 1000.0);
    for (int32_t i = 0; i < count; i++)
        std::fprintf(stderr, "  %8.1f ms  %s\n", steps[i].ms, steps[i].name);
}

}  // namespace

int main(int argc, char** argv)
{
    signals_init();
    started_ms = steady_ms();
    Options options;
    char error[256];
    if (!parse_options(argc, argv, &options, error, sizeof error)) {
        std::fprintf(stderr, "yurn: %s\nyurn --help muestra las opciones.\n", error);
        return 2;
    }
    startup_mark("leer las opciones");
    if (options.help || options.version) {
        if (options.help)
            print_usage(stdout);
        else
            std::printf("yurn %s\n", YURN_VERSION);
        // The text lost (a full disk, a closed output) is a failure, not 0.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "yurn: no puedo escribir la salida estándar: %s\n",
                         system_reason(errno ? errno : EIO));
            return 1;
        }
        return 0;
    }
    if (options.print_show) {
        print_builtin_show(options.print_show, stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "yurn: no puedo escribir la salida estándar: %s\n", system_reason(errno ? errno : EIO));
            return 1;
        }
        return 0;
    }
    if (options.check)
        return check_show_command(options.check, stdout, stderr);
    // The show file and every file it names are read before anything opens:
    // 2 for a malformed show file, 1 for a missing or bad data file.
    if (options.show) {
        if (const int32_t code = open_show_file(options.show, stderr))
            return code;
    }
    // No --data and no datos/ here: the installed show's data, if any.
    const std::string installed = options.data ? std::string() : installed_data_folder();
    if (!installed.empty())
        options.data = installed.c_str();
    virtual_clock = options.headless || options.capture;
    if (options.stats)
        std::atexit(print_stats);
    if (options.capture) {
        // Recorded on the headless display, whose virtual clock makes frame n
        // the show at T = n / fps exactly, however long each frame takes.
        options.headless = true;
        // The sound track the show would play: in the --data folder.
        const StageScript* script = options.show ? selected_stage_script() : find_stage_script(options.script);
        data_folder = script && script->folder ? script->folder : options.data;
        const char* song = script && script->music ? script->music : SOUND_TRACK;
        const std::string track = *song ? data_path(song) : std::string();
        capture_begin({.target = options.capture,
                       .format = options.capture_format < 0 ? CAPTURE_PNG : options.capture_format,
                       .fps_numerator = options.fps_numerator,
                       .fps_denominator = options.fps_denominator,
                       .overwrite = options.overwrite,
                       .sound_track = track.c_str(),
                       .music_fade_from_ms = script ? double(script->music_fade_from) * 1000.0 : 0.0,
                       .music_fade_to_ms = script ? double(script->music_fade_to) * 1000.0 : 0.0,
                       .show_length_ms = script ? double(script->length) * 1000.0 : 0.0});
        return capture_end(run_show(options));
    }
    return run_show(options);
}
