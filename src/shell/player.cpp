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
constexpr double SYNC_SETTLE_MS = 1000.0;     // offsets count from this long after a start, seek or resume
constexpr double SYNC_CHECK_MS = 250.0;       // the music may be moved from this long after one of those
constexpr double SYNC_NUDGE_MS = 3.0;         // past this the show's clock follows the music
constexpr double SYNC_JUMP_MS = 250.0;        // past this the music is moved to the picture instead

struct Player {
    bool set_up = false;           // run_show set the player up for this run
    int64_t numerator = 60;        // the show's rate
    int64_t denominator = 1;
    // The player's own clock, while it replays or holds the show: the next
    // frame to make on the frame grid, the ticks delivered on it, and the
    // show's time (ms) the shell's clock reads meanwhile.
    bool replaying = false;
    int64_t target = 0;            // the frame the replay draws
    int64_t frame = 0;
    int64_t ticks = 0;
    double held_ms = 0.0;
    bool seek_pending = false;     // the main loop is to start the walk again
    int64_t seek_to = 0;
    double shown_ms = 0.0;         // show time of the frame on the screen
    bool paused = false;
    bool looping = false;
    bool muted = false;
    bool keys = false;
    double time_shown_until = -1.0;  // platform clock until which the time is on screen
    double from_ms = 0.0;
    bool start_paused = false;
    std::string show_name;
    double length_ms = 0.0;
    double sync_from = 0.0;        // platform clock from which offsets are counted
    double check_from = 0.0;       // platform clock from which the music may be moved
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

// The frame whose time is ms, or the last one before it.
int64_t frame_at(double ms)
{
    if (!(ms > 0.0))
        return 0;
    return int64_t(std::floor(ms * double(player.numerator) / (1000.0 * double(player.denominator)) + 1e-9));
}

int64_t shown_frame() { return frame_at(player.shown_ms); }

void show_time_for_a_moment(double now) { player.time_shown_until = now + TIME_SHOWN_MS; }

// The offsets are counted, and the music may be moved, from a moment after
// the sound was started, moved or resumed.
void settle_sync(double now)
{
    player.sync_from = now + SYNC_SETTLE_MS;
    player.check_from = now + SYNC_CHECK_MS;
}

// A seek to frame target: the timer stops at once (no tick reaches a stage
// being rewound) and the main loop starts the walk again.
void request_seek(int64_t target)
{
    stop_ticks();
    player.seek_pending = true;
    player.seek_to = target < 0 ? 0 : target;
}

// The show's time runs on the platform's clock again from show_ms: a
// virtual clock is moved to the frame there (so the frames that follow are
// the capture's), a real one gets a new base; the timer starts again.
void play_from(double show_ms, int64_t frame)
{
    if (platform->set_virtual_frame)
        platform->set_virtual_frame(frame);
    clock_base = platform->clock_ms() - show_ms;
    resume_ticks();
    settle_sync(platform->clock_ms());
}

void set_paused(bool paused)
{
    if (paused == player.paused)
        return;
    player.paused = paused;
    const double now = platform->clock_ms();
    show_time_for_a_moment(now);
    if (player.replaying)
        return;  // the landing frame holds or plays as asked
    if (paused) {
        // The show's time stops where it is; so does the music.
        player.held_ms = now - clock_base;
        stop_ticks();
        if (platform->audio_pause)
            platform->audio_pause(true);
        return;
    }
    if (platform->audio_seek)
        platform->audio_seek(player.held_ms);
    if (platform->audio_pause)
        platform->audio_pause(false);
    play_from(player.held_ms, frame_at(player.held_ms));
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
    const long long ms = (long long)std::floor(player.shown_ms);
    char name[256];
    for (int32_t k = 1; k < 1000; k++) {
        if (k == 1)
            std::snprintf(name, sizeof name, "yurn-%s-%lld.png", player.show_name.c_str(), ms);
        else
            std::snprintf(name, sizeof name, "yurn-%s-%lld-%d.png", player.show_name.c_str(), ms, k);
        if (write_png_new(name, rgb.data(), frame_width, frame_height)) {
            std::fprintf(stderr, "yurn: fotograma %lld (%.3f s) guardado en %s\n", (long long)n,
                         player.shown_ms / 1000.0, name);
            return;
        }
        if (errno != EEXIST)
            break;
    }
    std::fprintf(stderr, "yurn: no puedo guardar la captura %s: %s\n", name, std::strerror(errno));
}

// The music heard against the show's clock as a frame goes to the screen
// (music minus picture, ms): counted from a second after a start, a seek or
// a resume.  Past a few ms the show's clock follows the music (a device
// takes its samples in buffers, so a seek of the music itself would land
// anywhere within one, and a starved sound thread holds the music back);
// an offset too large to be a drift (the music stalled long or ended)
// moves the music to the picture instead.
void measure_sync()
{
    if (!platform->audio_position_ms || player.paused || player.replaying)
        return;
    const double now = platform->clock_ms();
    if (now < player.check_from)
        return;
    const double heard = platform->audio_position_ms();
    if (heard < 0.0)
        return;
    const double show = now - clock_base;
    const double offset = heard - show;
    if (now >= player.sync_from) {
        player.sync.count++;
        player.sync_sum += offset;
        player.offsets.push_back(float(std::fabs(offset)));
        if (std::fabs(offset) > player.sync.max_abs_ms)
            player.sync.max_abs_ms = std::fabs(offset);
    }
    if (std::fabs(offset) <= SYNC_NUDGE_MS)
        return;
    if (std::fabs(offset) <= SYNC_JUMP_MS) {
        clock_base -= offset;
        return;
    }
    if (platform->audio_seek)
        platform->audio_seek(show);
    player.sync.corrections++;
    player.check_from = now + SYNC_CHECK_MS;
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
    draw_player_overlay(player.mask.data(), frame_width, frame_height, player.shown_ms, player.length_ms,
                        player.keys, state);
    platform->set_overlay(player.mask.data(), frame_width, frame_height);
    player.overlay_set = true;
}

// Every tick due by the replay's clock, once each and in order, on this
// thread (the timer is stopped while the player clocks the show).
void deliver_ticks()
{
    const double now = frame_time(player.frame);
    for (;;) {
        const int64_t k = player.ticks + 1;
        if (double(k * int64_t(TICK_MS)) > now)
            break;
        player.ticks = k;
        timer_tick();
    }
}

// The replay's clock moves on to the next frame, the ticks due by then delivered.
void next_frame()
{
    player.frame++;
    deliver_ticks();
    player.held_ms = frame_time(player.frame);
}

}  // namespace

void player_setup(const PlayerSetup& setup)
{
    player = Player{};
    player.set_up = true;
    if (setup.fps_numerator > 0 && setup.fps_denominator > 0) {
        player.numerator = setup.fps_numerator;
        player.denominator = setup.fps_denominator;
    }
    player.from_ms = setup.from_ms;
    player.start_paused = setup.paused;
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

bool player_start()
{
    settle_sync(platform->clock_ms());
    if (player.start_paused) {
        player.paused = true;
        if (platform->audio_pause)
            platform->audio_pause(true);
    }
    if (player.from_ms > 0.0 || player.start_paused)
        request_seek(frame_at(player.from_ms));
    return player.seek_pending;
}

double show_clock_ms()
{
    if (player.replaying || player.paused)
        return clock_base + player.held_ms;
    return platform->clock_ms();
}

bool player_seek_requested() { return player.seek_pending; }

void player_begin_replay()
{
    player.seek_pending = false;
    player.replaying = true;
    player.target = player.seek_to;
    player.frame = 0;
    player.ticks = 0;
    player.held_ms = 0.0;
    clock_base = 0.0;
    arm_music_fade(1e300);  // no fade is started while replaying
}

bool player_replaying() { return player.replaying; }

bool player_replay_draws() { return player.replaying && player.frame >= player.target; }

bool player_holding() { return player.paused && !player.replaying; }

void player_hold()
{
    update_overlay();
    present_frame();
}

void player_before_present(double show_ms)
{
    player.shown_ms = show_ms;
    update_overlay();
    measure_sync();
}

void player_frame_done()
{
    if (!player.replaying)
        return;
    if (player.frame < player.target) {
        next_frame();
        return;
    }
    // The frame it lands on is on the screen: the music goes to its time and
    // the show holds there or goes on.  A virtual clock goes on as after any
    // present (the next frame's time, the ticks due by then); a real one from
    // the frame's time, now.
    player.replaying = false;
    const double landed_ms = player.held_ms;
    arm_music_fade(landed_ms);
    show_time_for_a_moment(platform->clock_ms());
    if (platform->audio_seek)
        platform->audio_seek(landed_ms);
    if (platform->set_virtual_frame)
        next_frame();
    if (!player.paused)
        play_from(player.held_ms, player.frame);
}

void player_reload(double length_ms)
{
    player.length_ms = length_ms;
    request_seek(shown_frame());
    if (player.paused && platform->audio_pause)
        platform->audio_pause(true);  // the new music was started playing
}

bool player_show_ended()
{
    if (!player.looping)
        return false;
    request_seek(0);
    return true;
}

void player_command(int32_t command)
{
    if (!player.set_up || !platform)
        return;
    const double at = player.shown_ms;
    switch (command) {
    case PLAYER_PAUSE: set_paused(!player.paused); break;
    case PLAYER_BACK: request_seek(frame_at(at - SEEK_LONG_MS)); break;
    case PLAYER_FORWARD: request_seek(frame_at(at + SEEK_LONG_MS)); break;
    case PLAYER_BACK_SHORT: request_seek(frame_at(at - SEEK_SHORT_MS)); break;
    case PLAYER_FORWARD_SHORT: request_seek(frame_at(at + SEEK_SHORT_MS)); break;
    case PLAYER_FRAME_BACK:
        set_paused(true);
        request_seek(shown_frame() - 1);
        break;
    case PLAYER_FRAME_FORWARD:
        set_paused(true);
        request_seek(shown_frame() + 1);
        break;
    case PLAYER_HOME: request_seek(0); break;
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
    case PLAYER_SEEK_TO: request_seek(frame_at(posted_seek_ms)); break;
    default: break;
    }
}

void player_post(int32_t command, double ms)
{
    if (command == PLAYER_SEEK_TO)
        posted_seek_ms = ms;
    post_message(WM_PLAYER, uint64_t(uint32_t(command)));
}

PlayerView player_state()
{
    return {.time_ms = player.shown_ms, .length_ms = player.length_ms, .frame = shown_frame(),
            .paused = player.paused, .looping = player.looping, .muted = player.muted};
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
