// Sound track playback through SDL2_mixer: one music stream, decoded from the
// file as it plays.  Every failure leaves silence and says nothing.  The
// audio device is opened only when the music is first played, once the
// window exists: a run that ends before (no display, missing data) never
// wakes the sound system, and so never prints its complaints.
#include <SDL.h>
#include <SDL_mixer.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#endif

#include "platform/platform_local.h"

namespace {

struct Track {
    std::string path;
    Mix_Music* music;
};

bool audio_up = false;
Track track;

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

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
// ALSA writes every failed probe of a device (no sound card, a missing
// plug-in) to standard error.  SDL loads the library at run time; loading it
// first and giving it a silent error handler keeps those lines away, since
// SDL then gets the same copy of the library.
void alsa_silent(const char*, int, const char*, int, const char*, ...) {}

void quiet_alsa()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    void* library = dlopen("libasound.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!library)
        return;  // no ALSA: nothing to quiet; the library stays loaded otherwise
    using Handler = void (*)(const char*, int, const char*, int, const char*, ...);
    using SetHandler = int (*)(Handler);
    const auto set_handler = reinterpret_cast<SetHandler>(dlsym(library, "snd_lib_error_set_handler"));
    if (set_handler)
        set_handler(alsa_silent);
}
#else
void quiet_alsa() {}
#endif

bool open_device()
{
    if (audio_up)
        return true;
    quiet_alsa();
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return false;
    Mix_Init(MIX_INIT_MP3);
    if (Mix_OpenAudio(44100, MIX_DEFAULT_FORMAT, 2, 2048) != 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    audio_up = true;
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(close_audio_at_exit);
    }
    return true;
}

}  // namespace

// Only checks that the file can be read; the device and the decoder wait for play.
void* sdl_audio_open(const char* path)
{
    if (track.music) {
        Mix_FreeMusic(track.music);  // a previous run's track (tests run several shows)
        track.music = nullptr;
    }
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return nullptr;
    std::fclose(file);
    track.path = path;
    return &track;
}

void sdl_audio_play(void* stream)
{
    if (!stream || !open_device())
        return;
    if (!track.music)
        track.music = Mix_LoadMUS(track.path.c_str());
    if (track.music)
        Mix_PlayMusic(track.music, 1);
}

void sdl_audio_stop()
{
    if (audio_up)
        Mix_HaltMusic();
}

void sdl_audio_fade(uint32_t length_ms)
{
    if (audio_up)
        Mix_FadeOutMusic(int(length_ms));
}
