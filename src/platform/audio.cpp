// Sound track playback through SDL2_mixer: one music stream, decoded from the
// file as it plays.  Every failure leaves silence and says nothing.  The
// audio device is opened only when the music is first played, once the
// window exists: a run that ends before (no display, missing data) never
// wakes the sound system, and so never prints its complaints.
#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <cstdint>
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

// Sample frames per device buffer: 23 ms at 44.1 kHz, so a late callback
// moves the sound by little and its position is known to within a buffer.
constexpr int32_t DEVICE_BUFFER = 1024;

bool audio_up = false;
Track track;

// Where the music is: counted from the samples the mixer hands the device
// while the music plays (the post-mix callback, on the audio thread), from
// the position of the last play or seek.
struct Position {
    std::atomic<int64_t> mixed{0};        // sample frames mixed since base_ms
    std::atomic<double> mixed_at{0.0};    // steady_ms of the last callback
    std::atomic<bool> running{false};     // the music plays (not paused, halted or ended)
    double base_ms = 0.0;                 // music time of the last play or seek; main thread
    int32_t rate = 44100;                 // the device's sample frames per second
    int32_t frame_bytes = 4;              // bytes per sample frame
    int32_t buffer_frames = DEVICE_BUFFER;  // what is mixed ahead of what is heard
    bool paused = false;                  // main thread
    bool muted = false;                   // main thread
};
Position position;

// Audio thread: the mixer has mixed len more bytes for the device.
void count_mixed(void*, Uint8*, int len)
{
    if (!position.running.load(std::memory_order_relaxed))
        return;
    position.mixed.store(position.mixed.load(std::memory_order_relaxed) + len / position.frame_bytes,
                         std::memory_order_relaxed);
    position.mixed_at.store(steady_ms(), std::memory_order_relaxed);
}

// Audio thread: the track ended or its fade-out finished.
void music_finished() { position.running.store(false, std::memory_order_relaxed); }

// From here the count starts again at ms.
void restart_count(double ms)
{
    position.base_ms = ms;
    position.mixed.store(0, std::memory_order_relaxed);
    position.mixed_at.store(steady_ms(), std::memory_order_relaxed);
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
    if (Mix_OpenAudio(44100, MIX_DEFAULT_FORMAT, 2, DEVICE_BUFFER) != 0) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    int rate = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&rate, &format, &channels) != 0 && rate > 0 && channels > 0) {
        position.rate = rate;
        position.frame_bytes = channels * int32_t(SDL_AUDIO_BITSIZE(format) / 8);
    }
    Mix_SetPostMix(count_mixed, nullptr);
    Mix_HookMusicFinished(music_finished);
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
    if (track.music && Mix_PlayMusic(track.music, 1) == 0) {
        restart_count(0.0);
        position.running.store(!position.paused, std::memory_order_relaxed);
    }
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

void sdl_audio_pause(bool paused)
{
    position.paused = paused;
    if (!audio_up)
        return;
    if (paused) {
        Mix_PauseMusic();
        position.running.store(false, std::memory_order_relaxed);
    } else {
        Mix_ResumeMusic();
        restart_count(sdl_audio_position_ms() < 0.0 ? position.base_ms : sdl_audio_position_ms());
        position.running.store(Mix_PlayingMusic() != 0, std::memory_order_relaxed);
    }
}

void sdl_audio_seek(double ms)
{
    if (!audio_up || !track.music)
        return;
    // A track that ended or faded out plays again, at full volume.
    if (!Mix_PlayingMusic() || Mix_FadingMusic() == MIX_FADING_OUT) {
        Mix_HaltMusic();
        if (Mix_PlayMusic(track.music, 1) != 0)
            return;
        if (position.paused)
            Mix_PauseMusic();
    }
    Mix_VolumeMusic(position.muted ? 0 : MIX_MAX_VOLUME);
    position.running.store(false, std::memory_order_relaxed);
    if (Mix_SetMusicPosition(ms / 1000.0) != 0)
        Mix_RewindMusic();  // cannot seek: at least from the start
    restart_count(ms);
    position.running.store(!position.paused, std::memory_order_relaxed);
}

void sdl_audio_mute(bool muted)
{
    position.muted = muted;
    if (audio_up)
        Mix_VolumeMusic(muted ? 0 : MIX_MAX_VOLUME);
}

// What is heard lags what is mixed by the device's buffer; between two
// callbacks the heard sample moves on at the rate, up to the last one mixed.
double sdl_audio_position_ms()
{
    if (!audio_up || !track.music || !Mix_PlayingMusic())
        return -1.0;
    const int64_t mixed = position.mixed.load(std::memory_order_relaxed);
    double heard = double(mixed - position.buffer_frames);
    if (position.running.load(std::memory_order_relaxed)) {
        const double since = (steady_ms() - position.mixed_at.load(std::memory_order_relaxed)) / 1000.0;
        const double ahead = since * position.rate;
        heard += ahead < position.buffer_frames ? ahead : double(position.buffer_frames);
    } else {
        heard += position.buffer_frames;  // held: everything mixed has been heard
    }
    if (heard < 0.0)
        heard = 0.0;
    return position.base_ms + heard * 1000.0 / position.rate;
}
