// The web backend (WebAssembly in a browser page): a 320 x 240 canvas as the
// screen, the page's clock, the 14 ms ticks delivered on the main thread
// before each frame, and the sound track the page decoded (Web Audio), kept
// on the show's clock.  The show's
// blocking main loop runs unchanged: built with Asyncify, presenting suspends
// it until the browser's next animation frame (the web's vertical blank).
//
// With the virtual clock (--headless) the headless backend runs the timeline
// exactly as natively; the frame on screen whenever the browser gets its turn
// is drawn on the canvas, and every frame's digest is handed to a page that
// asks for them.
//
// The page provides, on the module object: canvas, and optionally
// yurnMessageBox(caption, text), yurnFrame(frame, digest_high, digest_low),
// yurnWork(ms) (time spent in our code for one real-time frame) and yurnSong
// ({context: AudioContext, buffer: AudioBuffer, path}: the track, decoded).
// It may call yurnStopMusic() once the program has ended, and
// yurnCommand(command, value) while the program listens: a PlayerCommand
// (PLAYER_SEEK_TO with value in ms; yurn_web_command below), posted to the
// shell's player for its next pump step.  The player's keys on the page are
// turned into the same commands here and arrive as the window's do
// (EVENT_PLAYER).
#include <emscripten.h>
#include <spawn.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/frame_rgb.h"
#include "platform/platform.h"
#include "platform/platform_local.h"

// ---------------------------------------------------------------------------
// The page's side, as small JavaScript functions.  The waiting ones suspend
// the program through Asyncify and are listed in ASYNCIFY_IMPORTS.
// ---------------------------------------------------------------------------

// Whole milliseconds of the page's clock.
EM_JS(double, yurn_web_now, (), { return Math.floor(performance.now()); });

// 0 when the page has a canvas; sets its size.
EM_JS(int, yurn_web_open_canvas, (int width, int height), {
    var canvas = Module['canvas'];
    if (!canvas || !canvas.getContext) return 1;
    canvas.width = width;
    canvas.height = height;
    Module.yurnContext = canvas.getContext('2d');
    return Module.yurnContext ? 0 : 1;
});

// Draws width x height RGBA pixels at pixels on the canvas, straight from
// the program's memory (the view is made again if that memory grew).
EM_JS(void, yurn_web_draw, (const uint8_t* pixels, int width, int height), {
    var context = Module.yurnContext;
    if (!context) return;
    var image = Module.yurnImage;
    if (!image || image.data.buffer !== HEAPU8.buffer || Module.yurnImageAt !== pixels || image.width != width ||
        image.height != height) {
        image = new ImageData(new Uint8ClampedArray(HEAPU8.buffer, pixels, width * height * 4), width, height);
        Module.yurnImage = image;
        Module.yurnImageAt = pixels;
    }
    context.putImageData(image, 0, 0);
});

// Keys and visibility go to a queue the program reads: [type, key, minimised].
// The page calls yurnUnlisten when the program has ended.
EM_JS(void, yurn_web_listen, (), {
    if (Module.yurnEvents) return;
    Module.yurnEvents = [];
    // The player's keys (PlayerCommand values, platform/platform.h), as the
    // window's: held keys repeat only the seeks and the frame steps.
    var command = function(event) {
        if (event.ctrlKey || event.altKey || event.metaKey) return 0;
        switch (event.key) {
        case 'ArrowLeft': return event.shiftKey ? 4 : 2;
        case 'ArrowRight': return event.shiftKey ? 5 : 3;
        case ',': return 6;
        case '.': return 7;
        }
        if (event.repeat) return 0;
        switch (event.key) {
        case ' ': return 1;
        case 'Home': return 8;
        case 'l': case 'L': return 9;
        case 'm': case 'M': return 10;
        case 's': case 'S': return 11;
        case '?': case 'h': case 'H': return 12;
        }
        return 0;
    };
    var key = function(event) {
        // A focused button acts on Enter and Space by itself; the seek bar on its keys.
        if (event.target instanceof HTMLButtonElement && (event.key == ' ' || event.key == 'Enter')) return;
        if (event.target instanceof HTMLInputElement) return;
        var player = event.key == 'Escape' ? 0 : command(event);
        if (player) {
            event.preventDefault();  // Space and the arrows would scroll
            Module.yurnEvents.push([4, player, 0]);
        } else {
            Module.yurnEvents.push([2, event.key == 'Escape' ? 27 : 0, 0]);
        }
        if (Module.yurnWake) Module.yurnWake();
    };
    Module['yurnCommand'] = function(player, value) {
        if (!Module.yurnEvents) return;
        Module['_yurn_web_command'](player, value || 0);
        if (Module.yurnWake) Module.yurnWake();
    };
    var visibility = function() {
        Module.yurnEvents.push([3, 0, document.hidden ? 1 : 0]);
        if (Module.yurnWake) Module.yurnWake();
        if (document.hidden && Module.yurnWakeFrame) Module.yurnWakeFrame();
    };
    document.addEventListener('keydown', key);
    // The page reads the player's state once a frame for its controls.
    Module['yurnPlayer'] = {time: 0, length: 0, frame: 0, paused: false, looping: false, muted: false};
    document.addEventListener('visibilitychange', visibility);
    Module['yurnUnlisten'] = function() {
        document.removeEventListener('keydown', key);
        document.removeEventListener('visibilitychange', visibility);
        Module.yurnEvents = null;
        Module['yurnUnlisten'] = null;
        Module['yurnCommand'] = null;
    };
    Module.yurnEvents.push([3, 0, document.hidden ? 1 : 0]);
});

EM_JS(void, yurn_web_unlisten, (), {
    if (Module['yurnUnlisten']) Module['yurnUnlisten']();
});

// Takes the oldest queued event into type, key and value; 0 when there is none.
EM_JS(int, yurn_web_next_event, (int32_t* out, double* value), {
    var events = Module.yurnEvents;
    if (!events || events.length == 0) return 0;
    var event = events.shift();
    HEAP32[out >> 2] = event[0];
    HEAP32[(out >> 2) + 1] = event[1];
    HEAPF64[value >> 3] = event[2];
    return 1;
});

// The player's state for the page's controls (time bar, pause button).
EM_JS(void, yurn_web_player_state, (double time_ms, double length_ms, double frame, int paused, int looping,
                                     int muted), {
    var state = Module['yurnPlayer'];
    if (!state) return;
    state.time = time_ms;
    state.length = length_ms;
    state.frame = frame;
    state.paused = !!paused;
    state.looping = !!looping;
    state.muted = !!muted;
});

// Suspends the program until the browser's next animation frame, and tells
// the page how long our code ran since it last resumed.
EM_JS(void, yurn_web_wait_frame, (), {
    return Asyncify.handleSleep(function(wake_up) {
        var now = performance.now();
        if (Module.yurnResumed !== undefined && Module['yurnWork']) Module['yurnWork'](now - Module.yurnResumed);
        // A hidden page gets no animation frames: going hidden wakes the
        // program too, so that it waits for events with its ticks going on.
        var done = false;
        var finish = function() {
            if (done) return;
            done = true;
            Module.yurnWakeFrame = null;
            Module.yurnResumed = performance.now();
            wake_up();
        };
        Module.yurnWakeFrame = finish;
        requestAnimationFrame(finish);
    });
});

// Suspends the program until an event arrives or milliseconds pass.
EM_JS(void, yurn_web_wait_event, (int milliseconds), {
    return Asyncify.handleSleep(function(wake_up) {
        if (Module.yurnEvents && Module.yurnEvents.length) { wake_up(); return; }
        var done = false;
        var finish = function() {
            if (done) return;
            done = true;
            Module.yurnWake = null;
            wake_up();
        };
        Module.yurnWake = finish;
        setTimeout(finish, milliseconds);
    });
});

// Lets the browser run (paint, input, timers) without waiting for a frame.
EM_JS(void, yurn_web_yield, (), {
    return Asyncify.handleSleep(function(wake_up) {
        var channel = new MessageChannel();
        channel.port1.onmessage = function() { wake_up(); };
        channel.port2.postMessage(0);
    });
});

EM_JS(void, yurn_web_message_box, (const char* caption, const char* text), {
    if (Module['yurnMessageBox']) Module['yurnMessageBox'](UTF8ToString(caption), UTF8ToString(text));
});

// Whether the page takes the frames' digests (its tests do; a show does not).
EM_JS(int, yurn_web_wants_digests, (), { return Module['yurnFrame'] ? 1 : 0; });

EM_JS(void, yurn_web_frame, (double frame, uint32_t high, uint32_t low), {
    if (Module['yurnFrame']) Module['yurnFrame'](frame, high >>> 0, low >>> 0);
});

// The track, played from the buffer the page decoded: 0 when the page has
// none for this path (a silent show).  Its state lives in the page's
// yurnSong.music: showBase (the page's clock when the music's time was 0,
// moved by seeks and pauses), when and offset (the context's time the
// playing source started and the track's position it started from, s),
// pausedAt (the music's time while paused, ms).
EM_JS(int, yurn_web_audio_open, (const char* path), {
    var song = Module['yurnSong'];
    if (!song || !song.buffer || !song.context || !UTF8ToString(path).endsWith(song.path)) return 0;
    var fade = song.context.createGain(), mute = song.context.createGain();
    fade.connect(mute);
    mute.connect(song.context.destination);
    song.music = {fade: fade, mute: mute, source: null, showBase: 0, when: 0, offset: 0, stopped: true,
                  paused: false, pausedAt: 0};
    Module['yurnStopMusic'] = function() {
        var music = song.music;
        if (!music) return;
        music.stopped = true;
        if (music.source) { try { music.source.stop(); } catch (e) {} }
        music.source = null;
    };
    // The context's time of the sample going out to the speakers now, from
    // its output timestamp where the browser gives one (moved on to now),
    // else its clock.
    Module.yurnAudioNow = function() {
        var context = song.context, now = performance.now();
        if (context.getOutputTimestamp) {
            var stamp = context.getOutputTimestamp();
            if (stamp && stamp.contextTime > 0 && stamp.performanceTime > 0)
                return stamp.contextTime + (now - stamp.performanceTime) / 1000;
        }
        return context.currentTime;
    };
    // Starts the track at the music's time: the first sample that can still
    // be scheduled (the next render quantum) is the one due when it is heard.
    Module.yurnMusicStart = function() {
        var context = song.context, music = song.music;
        if (music.source) { try { music.source.stop(); } catch (e) {} }
        music.source = null;
        if (music.stopped || music.paused) return;
        var when = context.currentTime;
        var offset = (performance.now() - music.showBase) / 1000 + (when - Module.yurnAudioNow());
        if (offset < 0) { when -= offset; offset = 0; }
        if (offset >= song.buffer.duration) return;
        var source = context.createBufferSource();
        source.buffer = song.buffer;
        source.connect(music.fade);
        source.start(when, offset);
        music.source = source;
        music.when = when;
        music.offset = offset;
    };
    return 1;
});

EM_JS(void, yurn_web_audio_play, (), {
    var song = Module['yurnSong'];
    if (!song || !song.music) return;
    var music = song.music;
    music.showBase = performance.now();
    music.stopped = false;
    music.pausedAt = 0;
    music.fade.gain.cancelScheduledValues(0);
    music.fade.gain.value = 1;
    Module.yurnMusicStart();
});

EM_JS(void, yurn_web_audio_stop, (), {
    if (Module['yurnStopMusic']) Module['yurnStopMusic']();
});

// Lowers the track's volume to silence over ms milliseconds.
EM_JS(void, yurn_web_audio_fade, (int ms), {
    var song = Module['yurnSong'];
    if (!song || !song.music) return;
    var gain = song.music.fade.gain, now = song.context.currentTime;
    gain.cancelScheduledValues(0);
    gain.setValueAtTime(gain.value, now);
    gain.linearRampToValueAtTime(0, now + Math.max(ms, 1) / 1000);
});

EM_JS(void, yurn_web_audio_pause, (int paused), {
    var song = Module['yurnSong'];
    var music = song && song.music;
    if (!music || !!paused == music.paused) return;
    if (paused) {
        music.pausedAt = performance.now() - music.showBase;
        music.paused = true;
        Module.yurnMusicStart();  // stops it
    } else {
        music.paused = false;
        music.showBase = performance.now() - music.pausedAt;
        Module.yurnMusicStart();
    }
});

// The music to ms from its start (playing again if it had ended or faded
// out, unless paused), at full volume.
EM_JS(void, yurn_web_audio_seek, (double ms), {
    var song = Module['yurnSong'];
    var music = song && song.music;
    if (!music) return;
    music.stopped = false;
    music.pausedAt = ms;
    music.showBase = performance.now() - ms;
    music.fade.gain.cancelScheduledValues(0);
    music.fade.gain.value = 1;
    Module.yurnMusicStart();
});

EM_JS(void, yurn_web_audio_mute, (int muted), {
    var song = Module['yurnSong'];
    if (song && song.music) song.music.mute.gain.value = muted ? 0 : 1;
});

// Where the music heard now is, in ms from the track's start; -1 when
// nothing plays (stopped, paused, ended, or the context not running yet).
EM_JS(double, yurn_web_audio_position, (), {
    var song = Module['yurnSong'];
    var music = song && song.music;
    if (!music || !music.source || music.stopped || music.paused || song.context.state != 'running') return -1;
    var heard = (Module.yurnAudioNow() - music.when + music.offset) * 1000;
    if (heard < 0 || heard >= song.buffer.duration * 1000) return -1;
    return heard;
});

namespace {

constexpr int32_t MAX_QUEUED = 16;
// While the show is hidden the loop waits for an event at most this long, so
// the ticks and the cues go on.
constexpr int32_t IDLE_WAIT_MS = 14;
// The virtual clock runs as fast as it can; it lets the page paint and take
// input this often (real milliseconds).
constexpr double VIRTUAL_YIELD_MS = 100.0;
// The page's key handler and controls send these numbers.
static_assert(PLAYER_PAUSE == 1 && PLAYER_BACK == 2 && PLAYER_FORWARD == 3 && PLAYER_BACK_SHORT == 4 &&
              PLAYER_FORWARD_SHORT == 5 && PLAYER_FRAME_BACK == 6 && PLAYER_FRAME_FORWARD == 7 &&
              PLAYER_HOME == 8 && PLAYER_LOOP == 9 && PLAYER_MUTE == 10 && PLAYER_SCREENSHOT == 11 &&
              PLAYER_KEYS == 12 && PLAYER_SEEK_TO == 13);
static_assert(EVENT_KEY_DOWN == 2 && EVENT_ACTIVATE == 3 && EVENT_PLAYER == 4);

struct Web {
    PlatformConfig config;
    bool canvas;
    bool primary;
    bool lost;
    int32_t width, height, depth;
    std::vector<uint8_t> offscreen;  // the surface convert_frame writes
    std::vector<uint8_t> back;       // RGBA, the frame
    std::vector<uint8_t> overlay;    // the player's mask over the frame (0 frame, 1 darkened, 2 white); empty: none
    std::vector<uint8_t> composed;   // RGBA, the frame with the overlay, what the canvas shows then
    uint8_t palette[768];
    double base_ms;                  // the page's clock at start-up
    TimerCallback timer;
    uint32_t timer_period;
    uint32_t timer_id;
    int64_t ticks_delivered;
    PlatformEvent pending[MAX_QUEUED];  // made here, returned before the page's
    int32_t pending_count;
    bool audio;
    double last_yield_ms;            // virtual clock: real time of the last yield
    bool yield_due;                  // virtual clock: the browser gets a turn after this frame
    bool digests;                    // virtual clock: the page takes every frame's digest
    PresentedFrame last;             // virtual clock: the newest frame, drawn or not
    bool last_drawn;
};

Web web;

double page_clock_ms() { return yurn_web_now() - web.base_ms; }

// Every tick k = 1, 2, ... with 14 k <= the clock that has not been
// delivered yet, in order, as the headless backend delivers its ticks.
void deliver_ticks()
{
    if (!web.timer)
        return;
    const double now = page_clock_ms();
    for (;;) {
        const int64_t k = web.ticks_delivered + 1;
        if (double(k * int64_t(web.timer_period)) > now || !web.timer)
            break;
        web.ticks_delivered = k;
        web.timer();
    }
}

int32_t web_open_window(int32_t width, int32_t height, char* reason, size_t reason_size)
{
    if (yurn_web_open_canvas(width, height) != 0) {
        std::snprintf(reason, reason_size, "%s", "la página no tiene un lienzo (canvas) donde dibujar");
        return 1;
    }
    web.canvas = true;
    return 0;
}

int32_t web_create_device() { return web.canvas ? DD_OK : DDERR_NODIRECTDRAWHW; }

void web_show_window() { yurn_web_listen(); }

int32_t web_set_exclusive() { return web.canvas ? DD_OK : DDERR_GENERIC; }

int32_t web_set_display_mode(int32_t width, int32_t height, int32_t depth)
{
    if (!(web.config.offered_modes & offer_bit(depth)))
        return DDERR_INVALIDMODE;
    web.width = width;
    web.height = height;
    web.depth = depth;
    return DD_OK;
}

int32_t web_create_primary()
{
    if (!web.canvas || !web.depth)
        return DDERR_GENERIC;
    web.primary = true;
    return DD_OK;
}

int32_t web_attach_back_buffer()
{
    if (!web.primary)
        return DDERR_GENERIC;
    web.back.assign(size_t(web.width) * size_t(web.height) * 4, 0);
    return DD_OK;
}

int32_t web_create_offscreen(int32_t width, int32_t height, int32_t)
{
    if (width != web.width || height != web.height)
        return DDERR_INVALIDMODE;
    web.offscreen.assign(size_t(width) * size_t(height) * size_t(web.depth / 8), 0);
    return DD_OK;
}

uint32_t web_green_mask() { return green_mask_of(web.depth, web.config.mode_555); }

uint8_t* web_lock_offscreen() { return web.offscreen.empty() ? nullptr : web.offscreen.data(); }

int32_t web_unlock_offscreen() { return web.offscreen.empty() ? DDERR_GENERIC : DD_OK; }

int32_t web_blit()
{
    if (web.lost)
        return DDERR_SURFACELOST;
    if (web.offscreen.empty() || web.back.empty())
        return DDERR_GENERIC;
    frame_to_rgb(surface_frame(web.offscreen.data(), web.width, web.height, web.depth, web.config.mode_555, web.palette),
                 RGBA_BYTES, web.back.data());
    return DD_OK;
}

// The player's state as the frame drawn on the canvas now has it, for the
// page's controls.
void tell_player_state()
{
    const PlayerView state = platform_player_view();
    yurn_web_player_state(state.time_ms, state.length_ms, double(state.frame), state.paused, state.looping,
                          state.muted);
}

int32_t web_flip()
{
    if (web.lost)
        return DDERR_SURFACELOST;
    if (web.back.empty())
        return DDERR_GENERIC;
    if (web.overlay.size() * 4 != web.back.size()) {
        yurn_web_draw(web.back.data(), web.width, web.height);
        tell_player_state();
        return DD_OK;
    }
    // The overlay goes on the canvas only: the off-screen surface, which
    // screenshots read, keeps the frame.
    web.composed = web.back;
    for (size_t i = 0; i < web.overlay.size(); i++) {
        uint8_t* pixel = &web.composed[4 * i];
        if (web.overlay[i] == 2) {
            pixel[0] = pixel[1] = pixel[2] = 255;
        } else if (web.overlay[i] == 1) {
            for (int32_t c = 0; c < 3; c++)
                pixel[c] = uint8_t(pixel[c] * 3 / 8);  // as the window's black at 5/8 opacity
        }
    }
    yurn_web_draw(web.composed.data(), web.width, web.height);
    tell_player_state();
    return DD_OK;
}

void web_set_overlay(const uint8_t* mask, int32_t width, int32_t height)
{
    if (mask)
        web.overlay.assign(mask, mask + size_t(width) * size_t(height));
    else
        web.overlay.clear();
}

int32_t web_restore_primary()
{
    if (!web.primary)
        return DDERR_GENERIC;
    web.lost = false;
    return DD_OK;
}

int32_t web_restore_offscreen() { return web.offscreen.empty() ? DDERR_GENERIC : DD_OK; }

void web_set_palette(const uint8_t* rgb) { std::memcpy(web.palette, rgb, sizeof web.palette); }

void web_release()
{
    yurn_web_unlisten();
    web.canvas = web.primary = false;
    web.offscreen.clear();
    web.back.clear();
    web.overlay.clear();
}

// The end of every present: the browser gets its turn until the next
// animation frame, then the ticks that fell due meanwhile are delivered.
void web_frame_presented(int32_t)
{
    yurn_web_wait_frame();
    deliver_ticks();
}

bool web_has_display() { return true; }

void web_message_box(const char* caption, const char* text) { yurn_web_message_box(caption, text); }

bool web_poll_event(PlatformEvent* event)
{
    if (web.pending_count > 0) {
        *event = web.pending[0];
        for (int32_t i = 1; i < web.pending_count; i++)
            web.pending[i - 1] = web.pending[i];
        web.pending_count--;
        return true;
    }
    int32_t fields[2];
    double value = 0.0;
    if (!yurn_web_next_event(fields, &value))
        return false;
    *event = {.type = fields[0], .key = fields[1], .minimised = fields[0] == EVENT_ACTIVATE ? int32_t(value) : 0};
    return true;
}

// Hidden page: no frames, but time and ticks go on.
void web_wait_event()
{
    if (web.pending_count == 0)
        yurn_web_wait_event(IDLE_WAIT_MS);
    deliver_ticks();
}

double web_clock_ms() { return page_clock_ms(); }

uint32_t web_start_timer(uint32_t period_ms, TimerCallback callback)
{
    if (period_ms == 0 || !callback)
        return 0;
    web.timer = callback;
    web.timer_period = period_ms;
    web.ticks_delivered = int64_t(page_clock_ms()) / period_ms;
    return ++web.timer_id;
}

void web_kill_timer(uint32_t id)
{
    if (id == web.timer_id)
        web.timer = nullptr;
}

void* web_audio_open(const char* path)
{
    web.audio = yurn_web_audio_open(path) != 0;
    return web.audio ? &web.audio : nullptr;
}

void web_audio_play(void* stream)
{
    if (stream)
        yurn_web_audio_play();
}

void web_audio_stop() { yurn_web_audio_stop(); }

void web_audio_fade(uint32_t length_ms)
{
    if (web.audio)
        yurn_web_audio_fade(int(length_ms));
}

void web_audio_pause(bool paused)
{
    if (web.audio)
        yurn_web_audio_pause(paused ? 1 : 0);
}

void web_audio_seek(double ms)
{
    if (web.audio)
        yurn_web_audio_seek(ms);
}

void web_audio_mute(bool muted)
{
    if (web.audio)
        yurn_web_audio_mute(muted ? 1 : 0);
}

double web_audio_position_ms() { return web.audio ? yurn_web_audio_position() : -1.0; }

// ---------------------------------------------------------------------------
// Virtual clock: the headless backend, drawn on the canvas
// ---------------------------------------------------------------------------

int32_t virtual_open_window(int32_t width, int32_t height, char* reason, size_t reason_size)
{
    if (web_open_window(width, height, reason, reason_size) != 0)
        return 1;
    return headless_platform.open_window(width, height, reason, reason_size);
}

void virtual_draw(const PresentedFrame& frame)
{
    const size_t count = size_t(frame.width) * size_t(frame.height);
    web.back.resize(count * 4);
    PresentedFrame shown = frame;
    if (!shown.palette)
        shown.palette = web.palette;
    frame_to_rgb(shown, RGBA_BYTES, web.back.data());
    yurn_web_draw(web.back.data(), frame.width, frame.height);
}

// The browser paints only when the program yields to it, so of the frames
// that reached the headless screen only the one before a yield (and the last
// one) is drawn; each frame's digest goes to the page if it takes them.
void virtual_present_hook(const PresentedFrame& frame, void*)
{
    web.yield_due = yurn_web_now() - web.last_yield_ms >= VIRTUAL_YIELD_MS;
    web.last = frame;
    web.last_drawn = web.yield_due;
    if (web.yield_due)
        virtual_draw(frame);
    if (web.digests) {
        const size_t size = size_t(frame.width) * size_t(frame.height) * size_t(frame.depth / 8);
        const uint64_t digest = frame_digest(frame.pixels, size);
        yurn_web_frame(double(frame.frame), uint32_t(digest >> 32), uint32_t(digest));
    }
}

// A show that ends keeps its display to the process's end (nothing is
// released then): the frame it ended on is drawn on the way out.
void virtual_draw_last()
{
    if (web.last.pixels && !web.last_drawn && web.canvas)
        virtual_draw(web.last);
    web.last_drawn = true;
}

void virtual_frame_presented(int32_t stage)
{
    headless_platform.frame_presented(stage);
    if (web.yield_due) {
        yurn_web_yield();
        web.last_yield_ms = yurn_web_now();
        web.yield_due = false;
    }
}

void virtual_release()
{
    virtual_draw_last();
    web.last = {};
    headless_platform.release();
    web.canvas = false;
}

Platform virtual_record()
{
    Platform record = headless_platform;  // its surfaces, clock, ticks and events
    record.name = "web-virtual";
    record.open_window = virtual_open_window;
    record.release = virtual_release;
    record.frame_presented = virtual_frame_presented;
    record.has_display = web_has_display;
    record.message_box = web_message_box;
    return record;
}

}  // namespace

// The page's controls: command is a PlayerCommand (PLAYER_SEEK_TO: to the
// time value_ms, the seek bar).  Called by the page's code, which runs
// while the program waits inside a present: the player takes it at its next
// pump step, between two frames.
extern "C" EMSCRIPTEN_KEEPALIVE void yurn_web_command(int32_t command, double value_ms)
{
    if (command > PLAYER_NONE && command < PLAYER_COMMAND_COUNT)
        platform_player_post(command, value_ms);
}

// A page starts no other program (recording to video needs ffmpeg): every
// attempt fails as a system without that program would.
extern "C" int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                            char* const[], char* const[])
{
    return ENOSYS;
}

const Platform web_platform = {
    .name = "web",
    .open_window = web_open_window,
    .create_device = web_create_device,
    .show_window = web_show_window,
    .set_exclusive = web_set_exclusive,
    .set_display_mode = web_set_display_mode,
    .create_primary = web_create_primary,
    .attach_back_buffer = web_attach_back_buffer,
    .create_offscreen = web_create_offscreen,
    .green_mask = web_green_mask,
    .lock_offscreen = web_lock_offscreen,
    .unlock_offscreen = web_unlock_offscreen,
    .blit = web_blit,
    .flip = web_flip,
    .restore_primary = web_restore_primary,
    .restore_offscreen = web_restore_offscreen,
    .set_palette = web_set_palette,
    .release = web_release,
    .frame_presented = web_frame_presented,
    .set_overlay = web_set_overlay,
    .has_display = web_has_display,
    .message_box = web_message_box,
    .poll_event = web_poll_event,
    .wait_event = web_wait_event,
    .clock_ms = web_clock_ms,
    .start_timer = web_start_timer,
    .kill_timer = web_kill_timer,
    .set_virtual_frame = nullptr,
    .audio_open = web_audio_open,
    .audio_play = web_audio_play,
    .audio_stop = web_audio_stop,
    .audio_fade = web_audio_fade,
    .audio_pause = web_audio_pause,
    .audio_seek = web_audio_seek,
    .audio_mute = web_audio_mute,
    .audio_position_ms = web_audio_position_ms,
};

const Platform web_virtual_platform = virtual_record();

void web_configure(const PlatformConfig& config)
{
    web_release();
    const uint32_t last_id = web.timer_id;
    web.config = config;
    web.lost = false;
    web.depth = 0;
    web.timer = nullptr;
    web.timer_id = last_id;
    web.pending_count = 0;
    web.base_ms = yurn_web_now();
    web.last_yield_ms = web.base_ms;
    web.yield_due = false;
    web.last = {};
    web.digests = yurn_web_wants_digests() != 0;
    if (config.headless) {
        static bool drawn_at_exit = false;
        if (!drawn_at_exit)
            std::atexit(virtual_draw_last);
        drawn_at_exit = true;
        headless_configure(config);
        headless_set_present_hook(virtual_present_hook, nullptr);
    }
}
