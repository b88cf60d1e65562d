// fatal_error: the message a handler receives, and the box captioned "Error"
// that the show's display still shows on the way out (exit code 1).
#include <gtest/gtest.h>

#include <cstdio>

#include "display/display.h"
#include "display/error.h"
#include "platform/platform.h"
#include "test_support.h"

TEST(FatalError, HandlerReceivesTheFormattedMessage)
{
    EXPECT_EQ(fatal_message_of([] { fatal_error("No encuentro el fichero \"%s\"", "datos/x.pcx"); }),
              "No encuentro el fichero \"datos/x.pcx\"");
    EXPECT_EQ(fatal_message_of([] {}), "");
}

namespace {

// A platform that has a display and whose box writes its caption and text to
// standard error, where a death test can see them.
bool with_display() { return true; }
void box_to_stderr(const char* caption, const char* text) { std::fprintf(stderr, "[box %s: %s]\n", caption, text); }

}  // namespace

TEST(FatalError, TheShowsDisplayStillShowsTheBoxCaptionedError)
{
    static Platform boxed;
    boxed = headless_platform;
    boxed.has_display = with_display;
    boxed.message_box = box_to_stderr;
    EXPECT_EXIT(
        {
            platform = &boxed;
            release_display();  // the display is part of the program, as in the show
            fatal_error("No encuentro el fichero \"%s\"", "datos/x.pcx");
        },
        ::testing::ExitedWithCode(1), "\\[box Error: No encuentro el fichero \"datos/x.pcx\"\\]");
}
