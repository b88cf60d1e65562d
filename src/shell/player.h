// The player: pause, seeks that land on exactly the frame a headless capture
// holds at that time, loop, mute, screenshot, the time on screen and the
// sound kept with the picture.  One logic for every backend: a backend turns
// its keys into PlayerCommand values (platform/platform.h) and sends them as
// EVENT_PLAYER events; a page posts its buttons' and seek bar's commands
// through platform_player_post and reads player_state through
// platform_player_view, both set by the shell.
//
// How time runs: with no key pressed, as without the player (the platform's
// clock, the 14 ms timer).  A seek replays the show from its start on a
// clock of whole frame periods of the show's rate (--fps, 60 by default), as
// the headless backend's: frame n is made at T = n * 1000 * D / N ms with the
// 14 ms ticks due by then delivered before it, stepped over without drawing
// (the stages' advance entries) up to the target, which is drawn; the show
// then goes on from there on the platform's clock.  Pausing stops the
// show's clock and the timer.  The music is moved with every seek; while
// the show plays, its clock follows the music heard when the two drift more
// than a few ms apart (the music is moved instead when it is far off).
//
// Main thread, between frames; the shell's main loop calls the rest of it
// (shell/shell_local.h).
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// Queue a PlayerCommand (PLAYER_SEEK_TO: to ms from the show's start) to be
// carried out at the main loop's next pump step, between two frames: what a
// page's buttons and seek bar call, from wherever the page's code runs on the
// main thread (also while the loop waits inside a present).  The shape of
// platform_player_post, which it is.
void player_post(int32_t command, double ms = 0.0);

// The same at once: one PlayerCommand (a seek replays here, to the frame at
// its time rounded down to a whole frame; negative is the start, past the end
// ends the show or, looping, starts it again; anything else is ignored).  The
// music moves with it.  Only between pump steps: the shell's message pump
// calls it for the backends' EVENT_PLAYER and the posts above.
void player_command(int32_t command);

// The frame on the screen and the modes on (PlayerView, platform/platform.h:
// what a page's controls show); frame is the capture's frame number.
PlayerView player_state();

// The offset between the music heard and the frame going to the screen
// (music minus picture, ms), measured at every frame from one second after
// the start or after a seek, a pause or a move of the music: how many
// measures, their mean, the magnitude 99 % of them stay within and the
// largest.  count 0 when nothing was measured (no sound, headless).
struct PlayerSync {
    int32_t count;
    double mean_ms;
    double p99_abs_ms;
    double max_abs_ms;
    int32_t corrections;  // times the music was moved to the picture (an offset past 250 ms)
};
PlayerSync player_sync();

// The --stats line on the sound's offset; nothing when it was not measured.
void player_print_stats(FILE* out);
