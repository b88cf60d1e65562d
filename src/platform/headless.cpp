// The headless backend: the display without a window, the virtual clock and
// its tick source, no sound.  Every run with the same options gives the same
// frames, as fast as the machine converts them.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_local.h"

namespace {

constexpr int32_t MAX_QUEUED = 16;
constexpr int32_t MAX_REQUESTS = 16;

struct QueuedEvent {
    PlatformEvent event;
    int64_t due;  // in frame periods (presented frames + idle waits)
};

struct Headless {
    PlatformConfig config;
    bool window_open;
    bool device;
    bool primary;
    bool back_buffer;
    bool offscreen;
    bool lost;
    bool flipped;  // the current present_frame reached its flip
    int32_t width, height, depth;
    SurfaceBytes offscreen_pixels;  // on a 64-byte boundary for the conversion kernels
    SurfaceBytes back_pixels;       // filled by the blit only while a present hook looks
    SurfaceBytes front_pixels;
    // A blit's picture is copied only when it must be: the flip that follows
    // it at once (as present_frame does) hands the hook the offscreen pixels
    // themselves, which hold the same picture until the next lock.
    bool blit_pending;         // blitted, not flipped yet, the picture still only in the offscreen
    bool front_is_offscreen;   // flipped that way; the front's picture is the offscreen's
    uint8_t palette[768];
    bool has_palette;
    int64_t frames;   // present_frame calls so far
    int64_t idle;     // wait_event calls so far
    double time_ms;   // the virtual clock
    int64_t shift;    // frame periods the clock is moved by (set_virtual_frame)
    TimerCallback timer;
    uint32_t timer_period;
    uint32_t timer_id;
    int64_t ticks_delivered;
    QueuedEvent queue[MAX_QUEUED];
    int32_t queued;
    int32_t requests[MAX_REQUESTS];
    int32_t request_count;
    double fade_at = -1.0;  // virtual time the music was asked to fade out; -1: never
    uint32_t fade_length;
    std::vector<uint8_t> overlay;  // what the player last asked to show over the frame; empty: nothing
    std::vector<uint8_t> shown_overlay;  // the overlay of the last present
    HeadlessAudio audio = {.paused = false, .muted = false, .last_seek_ms = -1.0, .seeks = 0};
};

Headless state;
PresentHook present_hook = nullptr;
bool refuse_video_memory = false;  // one-shot; survives configure so a test can set it before a run
void* present_user = nullptr;

int32_t bytes_per_pixel(int32_t depth) { return depth / 8; }

// T from the count of frame periods: exact integer product, one division.
void set_time()
{
    const int64_t periods = state.frames + state.idle + state.shift;
    state.time_ms = double(periods * 1000 * state.config.fps_denominator) /
                    double(state.config.fps_numerator);
}

// The clock moves on, and the ticks that fell due are delivered.
void advance_clock()
{
    set_time();
    if (!state.timer)
        return;
    // Ticks are due at 14 k ms; each is delivered once, in order.
    for (;;) {
        const int64_t k = state.ticks_delivered + 1;
        if (double(k * int64_t(state.timer_period)) > state.time_ms || !state.timer)
            break;
        state.ticks_delivered = k;
        state.timer();
    }
}

int32_t headless_open_window(int32_t, int32_t, char*, size_t)
{
    state.window_open = true;
    return 0;
}

int32_t headless_create_device()
{
    state.device = true;
    return DD_OK;
}

void headless_show_window()
{
    headless_queue_event({.type = EVENT_ACTIVATE, .key = 0, .minimised = 0}, 0);
}

int32_t headless_set_exclusive() { return state.device ? DD_OK : DDERR_GENERIC; }

int32_t headless_set_display_mode(int32_t width, int32_t height, int32_t depth)
{
    if (state.request_count < MAX_REQUESTS)
        state.requests[state.request_count++] = depth;
    if (!(state.config.offered_modes & offer_bit(depth)))
        return DDERR_INVALIDMODE;
    state.width = width;
    state.height = height;
    state.depth = depth;
    return DD_OK;
}

int32_t headless_create_primary()
{
    if (!state.depth)
        return DDERR_GENERIC;
    state.primary = true;
    state.front_pixels.assign(size_t(state.width) * size_t(state.height) * size_t(bytes_per_pixel(state.depth)), 0);
    return DD_OK;
}

int32_t headless_attach_back_buffer()
{
    if (!state.primary)
        return DDERR_GENERIC;
    state.back_buffer = true;
    state.back_pixels.assign(state.front_pixels.size(), 0);
    return DD_OK;
}

int32_t headless_create_offscreen(int32_t width, int32_t height, int32_t memory)
{
    if (memory == MEMORY_VIDEO && refuse_video_memory) {
        refuse_video_memory = false;
        return DDERR_OUTOFMEMORY;
    }
    if (width != state.width || height != state.height)
        return DDERR_INVALIDMODE;
    state.offscreen = true;
    state.offscreen_pixels.assign(state.front_pixels.size(), 0);
    return DD_OK;
}

uint32_t headless_green_mask() { return green_mask_of(state.depth, state.config.mode_555); }

uint8_t* headless_lock_offscreen()
{
    if (!state.offscreen)
        return nullptr;
    // The offscreen is about to change: a blit not flipped yet takes its copy now.
    if (state.blit_pending && present_hook)
        std::memcpy(state.back_pixels.data(), state.offscreen_pixels.data(), state.back_pixels.size());
    state.blit_pending = state.front_is_offscreen = false;
    return state.offscreen_pixels.data();
}

int32_t headless_unlock_offscreen() { return state.offscreen ? DD_OK : DDERR_GENERIC; }

int32_t headless_blit()
{
    if (state.lost)
        return DDERR_SURFACELOST;
    if (!state.offscreen || !state.back_buffer)
        return DDERR_GENERIC;
    // The emulated screen is read by the present hook alone: with none set the
    // copy would be most of a fast run's time for nothing, and with one it
    // waits for a lock before the flip (headless_lock_offscreen), which
    // present_frame never makes.
    state.blit_pending = true;
    return DD_OK;
}

int32_t headless_flip()
{
    if (state.lost)
        return DDERR_SURFACELOST;
    if (!state.primary)
        return DDERR_GENERIC;
    state.front_pixels.swap(state.back_pixels);
    state.front_is_offscreen = state.blit_pending;
    state.blit_pending = false;
    state.shown_overlay = state.overlay;  // over the screen, never into its pixels
    state.flipped = true;
    return DD_OK;
}

int32_t headless_restore_primary()
{
    if (!state.primary)
        return DDERR_GENERIC;
    state.lost = false;
    return DD_OK;
}

int32_t headless_restore_offscreen() { return state.offscreen ? DD_OK : DDERR_GENERIC; }

void headless_set_palette(const uint8_t* rgb)
{
    std::memcpy(state.palette, rgb, sizeof state.palette);
    state.has_palette = true;
}

void headless_release()
{
    state.window_open = state.device = state.primary = state.back_buffer = state.offscreen = false;
}

// The end of present_frame: the hook sees the frame if it reached the screen,
// then the clock moves on and the ticks that fell due are delivered.
void headless_frame_presented(int32_t stage)
{
    if (state.flipped && present_hook) {
        const uint8_t* shown = state.front_is_offscreen ? state.offscreen_pixels.data() : state.front_pixels.data();
        PresentedFrame frame = surface_frame(shown, state.width, state.height, state.depth,
                                             state.config.mode_555, state.has_palette ? state.palette : nullptr);
        frame.frame = state.frames;
        frame.time_ms = state.time_ms;
        frame.stage = stage;
        present_hook(frame, present_user);
    }
    state.flipped = false;
    state.frames++;
    advance_clock();
}

bool headless_has_display() { return false; }

void headless_message_box(const char*, const char*) {}

bool headless_poll_event(PlatformEvent* event)
{
    const int64_t now = state.frames + state.idle;
    for (int32_t i = 0; i < state.queued; i++) {
        if (state.queue[i].due <= now) {
            *event = state.queue[i].event;
            for (int32_t j = i + 1; j < state.queued; j++)
                state.queue[j - 1] = state.queue[j];
            state.queued--;
            return true;
        }
    }
    return false;
}

// Blocks until a message arrives: time jumps to the earliest queued event,
// delivering the ticks on the way.  Nothing else can wake a headless run, so
// with nothing queued time moves on by one frame period and the caller looks
// again (rather than hanging for ever).
void headless_wait_event()
{
    const int64_t now = state.frames + state.idle;
    int64_t due = now + 1;
    for (int32_t i = 0; i < state.queued; i++)
        if (i == 0 || state.queue[i].due < due)
            due = state.queue[i].due;
    if (due > now)
        state.idle += due - now;
    advance_clock();
}

double headless_clock_ms() { return state.time_ms; }

void headless_set_virtual_frame(int64_t n)
{
    state.shift = n - (state.frames + state.idle);
    set_time();  // moving the clock delivers no tick: the count goes on from there
    if (state.timer)
        state.ticks_delivered = int64_t(state.time_ms) / state.timer_period;
}

uint32_t headless_start_timer(uint32_t period_ms, TimerCallback callback)
{
    if (period_ms == 0 || !callback)
        return 0;
    state.timer = callback;
    state.timer_period = period_ms;
    state.ticks_delivered = int64_t(state.time_ms) / period_ms;
    return ++state.timer_id;
}

void headless_kill_timer(uint32_t id)
{
    if (id == state.timer_id)
        state.timer = nullptr;
}

void* headless_audio_open(const char*) { return nullptr; }
void headless_audio_play(void*) {}
void headless_audio_stop() {}
void headless_audio_fade(uint32_t length_ms)
{
    state.fade_at = state.time_ms;
    state.fade_length = length_ms;
}
void headless_audio_pause(bool paused) { state.audio.paused = paused; }
void headless_audio_mute(bool muted) { state.audio.muted = muted; }
void headless_audio_seek(double ms)
{
    state.audio.last_seek_ms = ms;
    state.audio.seeks++;
}
double headless_audio_position_ms() { return -1.0; }

void headless_set_overlay(const uint8_t* mask, int32_t width, int32_t height)
{
    if (mask)
        state.overlay.assign(mask, mask + size_t(width) * size_t(height));
    else
        state.overlay.clear();
}

}  // namespace

const Platform headless_platform = {
    .name = "headless",
    .open_window = headless_open_window,
    .create_device = headless_create_device,
    .show_window = headless_show_window,
    .set_exclusive = headless_set_exclusive,
    .set_display_mode = headless_set_display_mode,
    .create_primary = headless_create_primary,
    .attach_back_buffer = headless_attach_back_buffer,
    .create_offscreen = headless_create_offscreen,
    .green_mask = headless_green_mask,
    .lock_offscreen = headless_lock_offscreen,
    .unlock_offscreen = headless_unlock_offscreen,
    .blit = headless_blit,
    .flip = headless_flip,
    .restore_primary = headless_restore_primary,
    .restore_offscreen = headless_restore_offscreen,
    .set_palette = headless_set_palette,
    .release = headless_release,
    .frame_presented = headless_frame_presented,
    .set_overlay = headless_set_overlay,
    .has_display = headless_has_display,
    .message_box = headless_message_box,
    .poll_event = headless_poll_event,
    .wait_event = headless_wait_event,
    .clock_ms = headless_clock_ms,
    .start_timer = headless_start_timer,
    .kill_timer = headless_kill_timer,
    .set_virtual_frame = headless_set_virtual_frame,
    .audio_open = headless_audio_open,
    .audio_play = headless_audio_play,
    .audio_stop = headless_audio_stop,
    .audio_fade = headless_audio_fade,
    .audio_pause = headless_audio_pause,
    .audio_seek = headless_audio_seek,
    .audio_mute = headless_audio_mute,
    .audio_position_ms = headless_audio_position_ms,
};

void headless_configure(const PlatformConfig& config)
{
    const uint32_t last_id = state.timer_id;  // ids stay unique across runs
    state = Headless{};
    state.config = config;
    if (state.config.fps_numerator <= 0 || state.config.fps_denominator <= 0) {
        state.config.fps_numerator = 60;
        state.config.fps_denominator = 1;
    }
    state.timer_id = last_id;
}

void headless_set_present_hook(PresentHook hook, void* user)
{
    present_hook = hook;
    present_user = user;
}

void headless_lose_surfaces() { state.lost = true; }

void headless_refuse_video_memory() { refuse_video_memory = true; }

void headless_queue_event(const PlatformEvent& event, int64_t periods)
{
    if (state.queued == MAX_QUEUED)
        return;
    state.queue[state.queued++] = {.event = event, .due = state.frames + state.idle + periods};
}

double headless_time_ms() { return state.time_ms; }

const uint8_t* headless_overlay() { return state.shown_overlay.empty() ? nullptr : state.shown_overlay.data(); }

HeadlessAudio headless_audio() { return state.audio; }

int32_t headless_mode_requests(int32_t* depths, int32_t capacity)
{
    const int32_t n = state.request_count < capacity ? state.request_count : capacity;
    for (int32_t i = 0; i < n; i++)
        depths[i] = state.requests[i];
    return n;
}

void headless_music_fade(double* at_ms, uint32_t* length_ms)
{
    *at_ms = state.fade_at;
    *length_ms = state.fade_length;
}
