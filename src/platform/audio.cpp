// Sound track playback through SDL2_mixer: one music stream, decoded from the
// file as it plays.  Every failure leaves silence and says nothing.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstdlib>

#include "platform/platform_local.h"

namespace {

bool audio_up = false;

// The music is left playing when the show ends; the mixer's thread is stopped
// at process exit so it never runs while the process is being torn down.
void close_audio_at_exit()
{
    if (!audio_up)
        return;
    Mix_HaltMusic();
    Mix_CloseAudio();
    audio_up = false;
}

}  // namespace

void* sdl_audio_open(const char* path)
{
    if (!audio_up) {
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
            return nullptr;
        Mix_Init(MIX_INIT_MP3);
        if (Mix_OpenAudio(44100, MIX_DEFAULT_FORMAT, 2, 2048) != 0) {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
            return nullptr;
        }
        audio_up = true;
        static bool registered = false;
        if (!registered) {
            registered = true;
            std::atexit(close_audio_at_exit);
        }
    }
    return Mix_LoadMUS(path);
}

void sdl_audio_play(void* stream)
{
    if (stream)
        Mix_PlayMusic(static_cast<Mix_Music*>(stream), 1);
}

void sdl_audio_stop()
{
    if (audio_up)
        Mix_HaltMusic();
}
