// Shared inside display/ only.
#pragma once

// A second line that the next fatal_error writes to standard error after its
// message (the system's reason when no display could be opened at all).
void set_fatal_note(const char* note);
