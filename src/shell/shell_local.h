// The main loop's own routines: the cue test, the timer tick and the
// frame-rate report.  Shared inside shell/ (and with its tests) only; the
// stages take what they need of the shell from shell/shell.h.
#pragma once

#include <cstddef>
#include <cstdint>

// 1 while the current cue time has not passed; when it has (strictly:
// cue * 1000 < elapsed ms), advances cue_index and returns 0.  Once the 25
// cues are used up every call returns 0 without reading past the schedule, so
// the remaining stages end at once and the show reaches its end.  Main thread.
int32_t cue_pending();

// The 14 ms tick: calls tick of the current record if its ready byte is 1.
// Timer thread (the headless clock calls it on the main thread).
void timer_tick();

// Calls tick of the current record whatever its ready byte.  Nothing in the
// program calls it; timer_tick is the tick the timer delivers.
void tick_current_stage();

// Called after a stage's last interval; does nothing (no stage is released).
void stage_finished(int32_t index);

// Starts the periodic timer with timer_tick; stores timer_id; 1 if it started.
int32_t start_timer(uint32_t period_ms);

// The frame-rate report text: "Efecto compatible con las Vortal 2.1 ..." with
// frames, whole seconds and frames per second since the last report (or since
// the process started).  Moves frame_rate_base on.  Main thread.
void format_frame_rate(char* text, size_t size);

// Shows the frame-rate report in a box captioned "FPS" (standard error when
// there is no display); returns 1 when a box was shown.  The show as built
// does not call it; --stats prints the text at the end instead.
int32_t show_frame_rate();
