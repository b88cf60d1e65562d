// A show recorded without a window, as `yurn --capture` does: every frame at
// a fixed rate on the virtual clock, the same bytes on every run:
//   capture DATA_DIR OUT_DIR [SCRIPT [FPS]]   (SCRIPT: show, engine or standin)
// writes OUT_DIR/frame-000000.png ..., frames.tsv and sound.wav; the exit
// code is the show's (19 for the photographs, 7 for the engine).
#include <cstdio>
#include <cstdlib>
#include <string>

#include <yurn/capture/capture.h>
#include <yurn/files/files.h>    // data_folder, data_path
#include <yurn/shell/options.h>
#include <yurn/shell/run.h>      // run_show
#include <yurn/shell/shell.h>    // SOUND_TRACK
#include <yurn/stages/stages.h>  // find_stage_script

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "uso: capture DATOS CARPETA [GUION [FPS]]\n");
        return 2;
    }
    Options options;
    options.script = argc > 3 ? argv[3] : "show";
    options.fps_numerator = argc > 4 ? std::atoll(argv[4]) : 2;
    options.headless = true;
    options.data = data_folder = argv[1];  // where the show and the capture read the data
    const StageScript* script = find_stage_script(options.script);
    if (!script || options.fps_numerator < 1 || options.fps_numerator > FPS_MAX) {
        std::fprintf(stderr, "capture: no hay guion \"%s\" o el ritmo no vale\n", options.script);
        return 2;
    }
    const std::string track = data_path(SOUND_TRACK);
    capture_begin({.target = argv[2],
                   .format = CAPTURE_PNG,
                   .fps_numerator = options.fps_numerator,
                   .fps_denominator = 1,
                   .sound_track = track.c_str(),
                   .music_fade_from_ms = script->music_fade_from * 1000.0,
                   .music_fade_to_ms = script->music_fade_to * 1000.0,
                   .show_length_ms = script->length * 1000.0});
    return capture_end(run_show(options));
}
