// The player (shell/player.h): the show's virtual clock in whole frame
// periods, its ticks, the commands, the replay behind a seek, the overlay,
// the screenshot and the music kept with the picture.
#include "shell/player.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "display/display.h"
#include "platform/frame_rgb.h"
#include "platform/platform.h"
#include "shell/shell.h"
#include "shell/shell_local.h"

namespace {

constexpr double SEEK_LONG_MS = 5000.0;
constexpr double SEEK_SHORT_MS = 1000.0;
constexpr double TIME_SHOWN_MS = 2000.0;      // the time stays on screen this long after a seek
constexpr double MAX_LATE_MS = 10000.0;       // later than this (a stopped process) the clock lets the time go
constexpr double SYNC_SETTLE_MS = 1000.0;     // offsets count from this long after a start, seek or pause
constexpr double SYNC_NUDGE_MS = 3.0;         // past this the picture's clock follows the music
constexpr double SYNC_JUMP_MS = 250.0;        // past this the music is moved to the picture instead
constexpr uint32_t TICK_SOURCE_ID = 0x504C4159u;  // no backend's timer has this id

struct Player {
    bool clocks = false;           // the player clocks the show (set up by run_show)
    int64_t numerator = 60;        // the show's rate
    int64_t denominator = 1;
    int64_t frame = 0;             // the next frame to render; the show's clock reads its time
    int64_t shown = -1;            // the frame on the screen; -1 before the first
    int64_t ticks = 0;             // ticks delivered
    uint32_t tick_period = 0;
    void (*tick)() = nullptr;
    double real_base = 0.0;        // platform clock at which frame 0 is (or was) due
    bool paused = false;
    bool looping = false;
    bool muted = false;
    bool keys = false;
    bool draw_pending = false;     // the frame at `frame` is drawn at the next step, paused or not
    double time_shown_until = -1.0;  // platform clock until which the time is on screen
    double from_ms = 0.0;
    std::string show_name;
    double length_ms = 0.0;
    double sync_from = 0.0;        // platform clock from which offsets are counted
    PlayerSync sync = {};
    double sync_sum = 0.0;
    std::vector<float> offsets;    // every offset measured, for the percentile
    std::vector<uint8_t> mask;     // the overlay being built
    bool overlay_set = false;      // the backend has an overlay from us
};

Player player;
double posted_seek_ms = 0.0;  // the time of the last PLAYER_SEEK_TO posted

// T of frame n: the exact integer product, one rounding, as the headless clock.
double frame_time(int64_t n)
{
    return double(n * 1000 * player.denominator) / double(player.numerator);
}

double period_ms() { return frame_time(1); }

// The frame whose time is ms, or the last one before it.
int64_t frame_at(double ms)
{
    if (!(ms > 0.0))
        return 0;
    return int64_t(std::floor(ms * double(player.numerator) / (1000.0 * double(player.denominator)) + 1e-9));
}

int64_t shown_frame() { return player.shown >= 0 ? player.shown : player.frame; }

// Every tick due by the show's clock, once each and in order.
void deliver_ticks()
{
    const double now = frame_time(player.frame);
    while (player.tick) {
        const int64_t k = player.ticks + 1;
        if (double(k * int64_t(player.tick_period)) > now)
            break;
        player.ticks = k;
        player.tick();
    }
}

void show_time_for_a_moment(double now) { player.time_shown_until = now + TIME_SHOWN_MS; }

// The show to frame target: back to the start first when the target lies
// behind, then every frame up to it stepped over.  The next step draws it.
void seek_frame(int64_t target)
{
    if (target < 0)
        target = 0;
    arm_music_fade(1e300);  // no fade is started while replaying
    if (target < player.frame) {
        rewind_show();
        player.frame = 0;
        player.ticks = 0;
    }
    while (player.frame < target)
        if (!quiet_step())
            break;  // the show ended on the way: the main loop ends it or loops
    const double at = frame_time(player.frame);
    arm_music_fade(at);
    player.draw_pending = true;
    const double now = platform->clock_ms();
    player.real_base = now - at;
    player.sync_from = now + SYNC_SETTLE_MS;
    show_time_for_a_moment(now);
    if (platform->audio_seek)
        platform->audio_seek(at);
}

void set_paused(bool paused)
{
    if (paused == player.paused)
        return;
    player.paused = paused;
    const double now = platform->clock_ms();
    if (!paused) {
        // The next frame is due now; the music goes on from its time.
        player.real_base = now - frame_time(player.frame);
        player.sync_from = now + SYNC_SETTLE_MS;
        if (platform->audio_seek)
            platform->audio_seek(frame_time(player.frame));
    }
    if (platform->audio_pause)
        platform->audio_pause(paused);
    show_time_for_a_moment(now);
}

// The 3-3-2 palette of the 8-bit mode, as the display sets it.
void palette_332(uint8_t* rgb)
{
    for (int32_t i = 0; i < 256; i++) {
        rgb[3 * i] = uint8_t(i & 0xE0);
        rgb[3 * i + 1] = uint8_t((i << 3) & 0xE0);
        rgb[3 * i + 2] = uint8_t((i << 6) & 0xC0);
    }
}

// The frame on the screen, as the off-screen surface holds it (no overlay),
// to a new yurn-<show>-<ms>.png in the current folder.
void take_screenshot()
{
    uint8_t* surface = platform->lock_offscreen();
    if (!surface)
        return;
    uint8_t palette[768];
    palette_332(palette);
    PresentedFrame frame = {.pixels = surface, .width = frame_width, .height = frame_height,
                            .depth = display_depth, .rgb565 = rgb565, .palette = palette,
                            .frame = 0, .time_ms = 0.0, .stage = 0};
    std::vector<uint8_t> rgb(size_t(frame_width) * size_t(frame_height) * 3);
    frame_to_rgb(frame, RGB_BYTES, rgb.data());
    platform->unlock_offscreen();

    const int64_t n = shown_frame();
    const long long ms = (long long)std::floor(frame_time(n));
    char name[256];
    for (int32_t k = 1; k < 1000; k++) {
        if (k == 1)
            std::snprintf(name, sizeof name, "yurn-%s-%lld.png", player.show_name.c_str(), ms);
        else
            std::snprintf(name, sizeof name, "yurn-%s-%lld-%d.png", player.show_name.c_str(), ms, k);
        if (write_png_new(name, rgb.data(), frame_width, frame_height)) {
            std::fprintf(stderr, "yurn: fotograma %lld (%.3f s) guardado en %s\n", (long long)n,
                         frame_time(n) / 1000.0, name);
            return;
        }
        if (errno != EEXIST)
            break;
    }
    std::fprintf(stderr, "yurn: no puedo guardar la captura %s: %s\n", name, std::strerror(errno));
}

// The picture's clock follows the music heard: the clock is moved to the
// music's position (the frame due is then the one nearest the sound, and
// the picture holds or steps over a frame to get there); an offset too large
// to be a drift moves the music to the picture instead.
void follow_music(double now)
{
    if (!platform->audio_position_ms || player.paused)
        return;
    const double heard = platform->audio_position_ms();
    if (heard < 0.0)
        return;
    const double offset = heard - (now - player.real_base);
    if (std::fabs(offset) > SYNC_JUMP_MS) {
        if (platform->audio_seek)
            platform->audio_seek(now - player.real_base);
        player.sync.corrections++;
        player.sync_from = now + SYNC_SETTLE_MS;
    } else if (std::fabs(offset) > SYNC_NUDGE_MS) {
        player.real_base -= offset;
    }
}

// The offset as seen: the music heard as the frame goes to the screen,
// against that frame's show time.  Counted from a second after a start, a
// seek or a pause on.
void measure_sync()
{
    if (!platform->audio_position_ms || player.paused)
        return;
    const double now = platform->clock_ms();
    if (now < player.sync_from)
        return;
    const double heard = platform->audio_position_ms();
    if (heard < 0.0)
        return;
    const double offset = heard - frame_time(player.frame);
    player.sync.count++;
    player.sync_sum += offset;
    player.offsets.push_back(float(std::fabs(offset)));
    if (std::fabs(offset) > player.sync.max_abs_ms)
        player.sync.max_abs_ms = std::fabs(offset);
}

// The overlay for what is presented next: the time while paused, for a
// moment after a seek and with the keys; nothing otherwise.
void update_overlay()
{
    if (!platform->set_overlay)
        return;
    const double now = platform->clock_ms();
    const bool time_on = player.paused || now < player.time_shown_until || player.keys;
    if (!time_on) {
        if (player.overlay_set)
            platform->set_overlay(nullptr, 0, 0);
        player.overlay_set = false;
        return;
    }
    player.mask.assign(size_t(frame_width) * size_t(frame_height), 0);
    const char* state = player.looping ? (player.muted ? "BUCLE SILENCIO" : "BUCLE") : player.muted ? "SILENCIO" : "";
    draw_player_overlay(player.mask.data(), frame_width, frame_height, frame_time(shown_frame()), player.length_ms,
                        player.keys, state);
    platform->set_overlay(player.mask.data(), frame_width, frame_height);
    player.overlay_set = true;
}

}  // namespace

void player_setup(const PlayerSetup& setup)
{
    player = Player{};
    player.clocks = true;
    if (setup.fps_numerator > 0 && setup.fps_denominator > 0) {
        player.numerator = setup.fps_numerator;
        player.denominator = setup.fps_denominator;
    }
    player.from_ms = setup.from_ms;
    player.paused = setup.paused;
    player.looping = setup.loop;
    // The name goes into a file name: letters, digits, '-' and '_' only.
    player.show_name = setup.show_name && *setup.show_name ? setup.show_name : "show";
    for (char& c : player.show_name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            c = '-';
    player.length_ms = setup.length_ms;
    if (platform->set_overlay)
        platform->set_overlay(nullptr, 0, 0);
}

void player_start()
{
    const double now = platform->clock_ms();
    player.real_base = now;
    player.sync_from = now + SYNC_SETTLE_MS;
    if (player.from_ms > 0.0)
        seek_frame(frame_at(player.from_ms));
    if (player.paused) {
        player.draw_pending = true;  // the first frame is drawn, then held
        if (platform->audio_pause)
            platform->audio_pause(true);
    }
}

double show_clock_ms() { return player.clocks ? frame_time(player.frame) : platform->clock_ms(); }

bool player_clocks_show() { return player.clocks; }

uint32_t player_start_ticks(uint32_t period_ms, void (*callback)())
{
    if (period_ms == 0 || !callback)
        return 0;
    player.tick = callback;
    player.tick_period = period_ms;
    player.ticks = int64_t(frame_time(player.frame)) / period_ms;
    return TICK_SOURCE_ID;
}

PlayerStep player_next_step()
{
    const double now = platform->clock_ms();
    if (player.draw_pending) {
        player.draw_pending = false;
        return PLAYER_STEP_FRAME;
    }
    if (player.paused)
        return PLAYER_STEP_HOLD;
    follow_music(now);
    const int64_t due = std::llround((now - player.real_base) / period_ms());
    if (player.frame > due)
        return PLAYER_STEP_HOLD;
    if (frame_time(due - player.frame) > MAX_LATE_MS) {
        player.real_base = now - frame_time(player.frame);  // too late to catch up: the time is let go
        return PLAYER_STEP_FRAME;
    }
    if (player.frame < due)
        return PLAYER_STEP_QUIET;
    return PLAYER_STEP_FRAME;
}

void player_hold()
{
    update_overlay();
    present_frame();
}

void player_before_present()
{
    player.shown = player.frame;
    update_overlay();
    measure_sync();
}

void player_frame_done()
{
    if (!player.clocks)
        return;
    player.frame++;
    deliver_ticks();
}

void player_idle(double before)
{
    if (!player.clocks)
        return;
    const int64_t periods = std::llround((platform->clock_ms() - before) / period_ms());
    if (periods <= 0)
        return;
    player.frame += periods;
    deliver_ticks();
}

void player_reload(double length_ms)
{
    const int64_t target = shown_frame();
    player.frame = 0;
    player.ticks = 0;
    player.length_ms = length_ms;
    seek_frame(target);
    if (player.paused && platform->audio_pause)
        platform->audio_pause(true);  // the new music was started playing
}

bool player_show_ended()
{
    if (!player.looping)
        return false;
    seek_frame(0);
    return true;
}

void player_command(int32_t command)
{
    if (!player.clocks || !platform)
        return;
    const double at = frame_time(shown_frame());
    switch (command) {
    case PLAYER_PAUSE: set_paused(!player.paused); break;
    case PLAYER_BACK: seek_frame(frame_at(at - SEEK_LONG_MS)); break;
    case PLAYER_FORWARD: seek_frame(frame_at(at + SEEK_LONG_MS)); break;
    case PLAYER_BACK_SHORT: seek_frame(frame_at(at - SEEK_SHORT_MS)); break;
    case PLAYER_FORWARD_SHORT: seek_frame(frame_at(at + SEEK_SHORT_MS)); break;
    case PLAYER_FRAME_BACK:
        set_paused(true);
        seek_frame(shown_frame() - 1);
        break;
    case PLAYER_FRAME_FORWARD:
        set_paused(true);
        seek_frame(player.shown >= 0 ? player.shown + 1 : player.frame);
        break;
    case PLAYER_HOME: seek_frame(0); break;
    case PLAYER_LOOP:
        player.looping = !player.looping;
        show_time_for_a_moment(platform->clock_ms());
        break;
    case PLAYER_MUTE:
        player.muted = !player.muted;
        if (platform->audio_mute)
            platform->audio_mute(player.muted);
        show_time_for_a_moment(platform->clock_ms());
        break;
    case PLAYER_SCREENSHOT: take_screenshot(); break;
    case PLAYER_KEYS: player.keys = !player.keys; break;
    case PLAYER_SEEK_TO: seek_frame(frame_at(posted_seek_ms)); break;
    default: break;
    }
}

void player_post(int32_t command) { post_message(WM_PLAYER, uint64_t(uint32_t(command))); }

void player_post_seek_ms(double ms)
{
    posted_seek_ms = ms;
    player_post(PLAYER_SEEK_TO);
}

void player_seek_ms(double ms)
{
    if (player.clocks && platform)
        seek_frame(frame_at(ms));
}

PlayerState player_state()
{
    return {.time_ms = frame_time(shown_frame()), .length_ms = player.length_ms, .frame = shown_frame(),
            .paused = player.paused, .looping = player.looping, .muted = player.muted, .keys_shown = player.keys};
}

PlayerSync player_sync()
{
    PlayerSync sync = player.sync;
    sync.mean_ms = sync.count > 0 ? player.sync_sum / sync.count : 0.0;
    sync.p99_abs_ms = 0.0;
    if (!player.offsets.empty()) {
        std::vector<float> sorted = player.offsets;
        const size_t k = (sorted.size() * 99) / 100;
        std::nth_element(sorted.begin(), sorted.begin() + ptrdiff_t(k), sorted.end());
        sync.p99_abs_ms = sorted[k];
    }
    return sync;
}

void player_print_stats(FILE* out)
{
    const PlayerSync sync = player_sync();
    if (sync.count == 0)
        return;
    std::fprintf(out,
                 "Desfase entre música e imagen: media %+.1f ms, el 99 %% dentro de %.1f ms, máximo %.1f ms "
                 "en %d medidas (desde el primer segundo); la música se movió %d veces\n",
                 sync.mean_ms, sync.p99_abs_ms, sync.max_abs_ms, sync.count, sync.corrections);
}
