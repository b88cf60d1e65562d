// Sound track playback through SDL2_mixer: one music stream, decoded from the
// file as it plays.  Every failure leaves silence and says so in one line.  The
// audio device is opened only when the music is first played, once the
// window exists: a run that ends before (no display, missing data) never
// wakes the sound system, and so never prints its complaints.
#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#include <dlfcn.h>
#endif

#include "platform/music_fade.h"
#include "platform/platform_local.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

struct Track {
    std::string path;       // as given, for messages
    std::unique_ptr<FILE, FileCloser> file;  // the open track, checked to be a regular file
    Mix_Music* music;       // made from file when the show first plays
};

// Sample frames per device buffer: 23 ms at 44.1 kHz, so a late callback
// moves the sound by little and its position is known to within a buffer.
constexpr int32_t DEVICE_BUFFER = 1024;

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
void count_mixed(int len)
{
    if (!position.running.load(std::memory_order_relaxed))
        return;
    position.mixed.store(position.mixed.load(std::memory_order_relaxed) + len / position.frame_bytes,
                         std::memory_order_relaxed);
    position.mixed_at.store(steady_ms(), std::memory_order_relaxed);
}

// The mixer's thread, after it has mixed each buffer: the fade, then the count.
void after_mix(void* user, Uint8* stream, int length)
{
    fade_after_mix(user, stream, length);
    count_mixed(length);
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

// The one line a track that cannot be played gets, before anything the
// decoder may print in its own words.
__attribute__((format(printf, 1, 2))) void silent_show(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "%s; la función sigue sin sonido\n", text);
    std::fflush(stderr);
}

// Bytes of an MPEG audio frame that starts with header h (four bytes), or 0
// when h is no valid frame header.
uint32_t mpeg_frame_bytes(const uint8_t* h)
{
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3;     // 0: 2.5, 2: 2, 3: 1; 1 reserved
    const int layer = (h[1] >> 1) & 3;       // 3: I, 2: II, 1: III; 0 reserved
    const int bitrate_index = h[2] >> 4;
    const int rate_index = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3)
        return 0;
    static constexpr uint16_t BITRATES[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr uint32_t RATES[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int layer_number = 4 - layer;  // 1, 2 or 3
    const uint32_t bitrate = BITRATES[mpeg1 ? 0 : 1][layer_number - 1][bitrate_index] * 1000u;
    const uint32_t rate = RATES[rate_index] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    if (layer_number == 1)
        return (12 * bitrate / rate + uint32_t(padding)) * 4;
    const uint32_t per_frame = layer_number == 3 && !mpeg1 ? 72 : 144;
    return per_frame * bitrate / rate + uint32_t(padding);
}

// True when the file starts as a sound the mixer can read: an ID3 tag, two
// MPEG audio frames one after the other within its first 64 KiB, or the
// signature of an Ogg, RIFF WAVE, FLAC or MIDI file.  Garbage is told apart
// here, so the show says so in its own words before any decoder speaks.
bool looks_like_music(FILE* file)
{
    static uint8_t head[65536];
    const size_t got = std::fread(head, 1, sizeof head, file);
    std::rewind(file);
    if (got >= 4) {
        for (const char* magic : {"ID3", "OggS", "RIFF", "fLaC", "MThd"})
            if (std::memcmp(head, magic, std::strlen(magic)) == 0)
                return true;
    }
    for (size_t at = 0; at + 4 <= got; ++at) {
        const uint32_t length = mpeg_frame_bytes(head + at);
        if (length < 4 || at + length > got)
            continue;
        if (at + length == got || (at + length + 4 <= got && mpeg_frame_bytes(head + at + length) != 0))
            return true;
    }
    return false;
}

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
    int frequency = 0, channels = 0;
    Uint16 format = 0;
    if (Mix_QuerySpec(&frequency, &format, &channels) != 0) {
        device_rate = frequency;
        device_channels = channels;
        device_s16 = format == AUDIO_S16SYS;
    }
    if (frequency > 0 && channels > 0) {
        position.rate = frequency;
        position.frame_bytes = channels * int32_t(SDL_AUDIO_BITSIZE(format) / 8);
    }
    Mix_SetPostMix(after_mix, nullptr);
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

// Opens the track the way every data file is opened: without blocking (a
// FIFO would otherwise wait for a writer for ever), and only a regular file.
// Whatever keeps it from being played is said once, in one line, and the show
// goes on in silence.  The file stays open, so the decoder reads what was
// checked; the device and the decoder wait for play.
void* sdl_audio_open(const char* path)
{
    if (track.music) {
        Mix_FreeMusic(track.music);  // a previous run's track (tests run several shows)
        track.music = nullptr;
    }
    track.file.reset();
    track.path = path;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            silent_show("No encuentro la música \"%s\"", path);
        else
            silent_show("No puedo abrir la música \"%s\": %s", path, platform_reason(errno));
        return nullptr;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        silent_show("No puedo leer la música \"%s\": %s", path, platform_reason(errno));
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode)) {
        silent_show("No puedo leer la música \"%s\": es %s, no un fichero", path, platform_file_kind(uint32_t(info.st_mode)));
        ::close(fd);
        return nullptr;
    }
    track.file.reset(::fdopen(fd, "rb"));
    if (!track.file) {
        ::close(fd);
        return nullptr;
    }
    if (!looks_like_music(track.file.get())) {
        silent_show("La música \"%s\" no es un MP3 ni otro sonido que sepa leer", path);
        track.file.reset();
        return nullptr;
    }
    return &track;
}

void sdl_audio_play(void* stream)
{
    if (!stream || !track.file || !open_device())
        return;
    if (!track.music) {
        std::rewind(track.file.get());
        // The stream owns a duplicate, so the track's own stream stays valid
        // for a later run of the show in the same process.
        const int copy = ::fcntl(::fileno(track.file.get()), F_DUPFD_CLOEXEC, 0);
        FILE* copy_stream = copy >= 0 ? ::fdopen(copy, "rb") : nullptr;
        if (!copy_stream && copy >= 0)
            ::close(copy);
        SDL_RWops* source = copy_stream ? SDL_RWFromFP(copy_stream, SDL_TRUE) : nullptr;
        if (!source && copy_stream)
            std::fclose(copy_stream);
        if (source)
            track.music = Mix_LoadMUS_RW(source, 1);
        if (!track.music) {
            silent_show("El decodificador no puede leer la música \"%s\"", track.path.c_str());
            return;
        }
    }
    fade_on.store(false, std::memory_order_release);  // a new show starts unfaded
    if (Mix_PlayMusic(track.music, 1) == 0) {
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
        const double held = sdl_audio_position_ms();
        restart_count(held < 0.0 ? position.base_ms : held);
        position.running.store(Mix_PlayingMusic() != 0, std::memory_order_relaxed);
    }
}

void sdl_audio_seek(double ms)
{
    if (!audio_up || !track.music)
        return;
    // A track that ended plays again; one fading out or faded goes on at
    // full volume (the shell asks for its fade again where it is due).
    fade_on.store(false, std::memory_order_release);
    if (!Mix_PlayingMusic()) {
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
