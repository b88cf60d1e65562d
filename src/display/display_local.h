// Shared inside display/ only.
#pragma once

// How the error reports reach the display: release it, destroy the window, and
// show a message box when there is a display to show it on.  display.cpp
// registers its own when it is linked in; without it (the tools) fatal_error
// only writes to standard error and ends.
struct DisplayReports {
    void (*release)();
    void (*close_window)();
    bool (*can_show_box)();
    void (*show_box)(const char* caption, const char* text);
};
void set_display_reports(const DisplayReports* reports);
