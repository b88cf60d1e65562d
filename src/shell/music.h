// The music (shell/music.cpp): one track, opened at start-up, started just
// before the clock base is taken, never stopped by the show (music_stop has no
// caller; a script may ask for music_fade_out).  Failures are silent.  Main
// thread; the shell's start-up and main loop are its only callers.
#pragma once

#include <cstdint>

struct Music {
    void* stream;         // the platform's stream; null when it could not be made
    uint32_t start_time;  // clock (ms) right after play was asked; 0 until then
};
extern Music* music;      // null before music_open; main thread
void music_open(const char* path);
void music_play();
void music_stop();
// Fades the playing music out to silence over length_ms (a script whose show
// ends before its track does asks for it, so the sound ends with the picture).
void music_fade_out(uint32_t length_ms);
