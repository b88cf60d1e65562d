// Sound track playback through SDL2_mixer: one music stream, decoded from the
// file as it plays.  Every failure leaves silence and says nothing.  The
// audio device is opened only when the music is first played, once the
// window exists: a run that ends before (no display, missing data) never
// wakes the sound system, and so never prints its complaints.
#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#endif

#include "platform/music_fade.h"
#include "platform/platform_local.h"

namespace {

struct Track {
    std::string path;
    Mix_Music* music;
};

bool audio_up = false;
Track track;

// The fade-out the show asked for, applied by the mixer's thread to each
// buffer it is about to play, through the gain every recording of the show
// uses (music_fade.h), counted from the first buffer after the request.  A
// request is its length, a new serial number, then fade_on.
std::atomic<uint32_t> fade_length_ms{0};
std::atomic<uint32_t> fade_serial{0};
std::atomic<bool> fade_on{false};
int32_t device_rate = 44100;    // what the device was opened with; set before it plays
int32_t device_channels = 2;
bool device_s16 = true;
uint32_t fade_seen = ~0u;       // the mixer's thread only: the request being applied,
int64_t fade_frame = 0;         // and how many frames of it have gone out

void fade_after_mix(void*, Uint8* stream, int length)
{
    if (!fade_on.load(std::memory_order_acquire) || !device_s16)
        return;
    const uint32_t serial = fade_serial.load(std::memory_order_relaxed);
    if (serial != fade_seen) {
        fade_seen = serial;
        fade_frame = 0;
    }
    const MusicFade fade{.from_ms = 0.0, .to_ms = double(fade_length_ms.load(std::memory_order_relaxed))};
    const size_t frames = size_t(length) / (2 * size_t(device_channels));
    music_fade_apply(fade, reinterpret_cast<int16_t*>(stream), frames, device_channels, fade_frame, device_rate);
    fade_frame += int64_t(frames);
}

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
    int frequency = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&frequency, &format, &channels) != 0) {
        device_rate = frequency;
        device_channels = channels;
        device_s16 = format == AUDIO_S16SYS;
    }
    Mix_SetPostMix(fade_after_mix, nullptr);
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
    fade_on.store(false, std::memory_order_release);  // a new show starts unfaded
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
    if (!audio_up)
        return;
    if (length_ms == 0) {
        Mix_HaltMusic();
        return;
    }
    fade_length_ms.store(length_ms, std::memory_order_relaxed);
    fade_serial.fetch_add(1, std::memory_order_relaxed);
    fade_on.store(true, std::memory_order_release);
}
