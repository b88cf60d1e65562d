// Entry point of yurn: the command line, then the show.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "capture/capture.h"
#include "files/files.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/player.h"
#include "shell/run.h"
#include "shell/shell_local.h"
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
}

}  // namespace

int main(int argc, char** argv)
{
    started_ms = steady_ms();
    Options options;
    char error[256];
    if (!parse_options(argc, argv, &options, error, sizeof error)) {
        std::fprintf(stderr, "yurn: %s\nyurn --help muestra las opciones.\n", error);
        return 2;
    }
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
    virtual_clock = options.headless || options.capture;
    if (options.stats)
        std::atexit(print_stats);
    if (options.capture) {
        // Recorded on the headless display, whose virtual clock makes frame n
        // the show at T = n / fps exactly, however long each frame takes.
        options.headless = true;
        // The sound track the show would play: in the --data folder.
        data_folder = options.data;
        const std::string track = data_path(SOUND_TRACK);
        const StageScript* script = find_stage_script(options.script);
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
