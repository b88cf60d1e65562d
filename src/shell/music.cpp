// The sound track: opened at start-up, started once just before the show's
// clock starts, and afterwards only faded out when the script asks for it
// (the engine show).  Any failure leaves a silent show.
#include "platform/platform.h"
#include "shell/music.h"

namespace {

Music music_storage;  // the one Music object; lives until the process ends

}  // namespace

Music* music = nullptr;

void music_open(const char* path)
{
    music_storage.stream = platform->audio_open(path);
    music_storage.start_time = 0;
    music = &music_storage;
}

void music_play()
{
    if (!music)
        return;  // never opened: nothing to play
    platform->audio_play(music->stream);
    music->start_time = uint32_t(platform->clock_ms());
}

void music_stop() { platform->audio_stop(); }

void music_fade_out(uint32_t length_ms)
{
    if (music && platform->audio_fade)
        platform->audio_fade(length_ms);
}
