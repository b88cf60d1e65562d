// Who decides what a termination signal (SIGINT, SIGTERM, SIGHUP) does, in
// yurn and in every tool: one handler, set where the program starts.  By
// default it removes the temporaries of the files being written
// (output.cpp and the video capture register them) and then lets the signal
// end the process as it would have; while a capture runs, it only records
// the signal, and the capture finishes what it has and exits with 128 + it.
#pragma once

#include <cstdint>
#include <string>

// Installs the handler for SIGINT, SIGTERM and SIGHUP (but one that was
// ignored when the program started, as nohup ignores SIGHUP, stays
// ignored), and makes a file-size
// limit fail a write (EFBIG) instead of ending the process.  Called first
// thing by main in yurn and in each tool; idempotent.  Main thread.
void signals_init();

// A window's event loop takes SIGINT and SIGTERM over from here on: SDL,
// set up after this, turns them into its quit event, which closes the show
// (or the mesh viewer) as the window's close button does.  SIGHUP stays
// here.  Called just before SDL's video is set up.  Main thread.
void signals_leave_to_window();

// A file to remove if a termination signal ends the process: returns its
// slot, or -1 when the path is too long or every slot is taken (the file is
// then only removed by its owner).  Any thread.
int32_t signals_watch_file(const std::string& path);
// Forgets the file in slot (when not -1) and sets slot to -1.  Any thread.
void signals_forget_file(int32_t& slot);

// While catching, a termination signal is recorded (signals_caught) and the
// process goes on; files are not removed.  The capture turns it on for the
// show and off at its end.  Installs the handler (again, after a window had
// SIGINT and SIGTERM, or when signals_init was not called: tests).  Main thread.
void signals_catch(bool on);
// The last signal recorded while catching, or 0; reading clears it when
// clear is true.  Any thread (the capture reads it at every frame).
int32_t signals_caught(bool clear);
