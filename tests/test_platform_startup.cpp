// The start-up steps behind --stats: each mark measures the time since the
// previous one, the step before main comes first, and the list closes at
// the first presented frame.  One process per test file, so the marks here
// are the only ones.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/startup.h"

namespace {

void busy_for(double ms)
{
    const double until = steady_ms() + ms;
    while (steady_ms() < until) {
    }
}

TEST(StartupSteps, MarksMeasureFromThePreviousOneAndCloseAtTheFirstFrame)
{
    int32_t count = -1;
    bool finished = true;
    startup_steps(&count, &finished);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(finished);

    busy_for(3);
    startup_mark("uno");
    const double after_first = steady_ms();
    busy_for(5);
    startup_mark("dos");
    startup_finish("primer fotograma");
    const double after_last = steady_ms();
    startup_mark("tarde");  // after the first frame: not a start-up step
    startup_finish("otra vez");

    const StartupStep* steps = startup_steps(&count, &finished);
    ASSERT_EQ(count, 4);
    EXPECT_TRUE(finished);
    EXPECT_EQ(std::string(steps[0].name), "cargar el programa y sus bibliotecas (antes de main)");
    EXPECT_GE(steps[0].ms, 0.0);
    EXPECT_LT(steps[0].ms, 60000.0);
    EXPECT_EQ(std::string(steps[1].name), "uno");
    EXPECT_EQ(std::string(steps[2].name), "dos");
    EXPECT_EQ(std::string(steps[3].name), "primer fotograma");
    // The first mark counts from the clock's zero, when the process set up
    // its statics; each next one from the mark before.
    EXPECT_GE(steps[1].ms, 3.0);
    EXPECT_LE(steps[1].ms, after_first);
    EXPECT_GE(steps[2].ms, 5.0);
    EXPECT_GE(steps[3].ms, 0.0);
    // Together the marks after main cover the clock from zero to the last.
    const double covered = steps[1].ms + steps[2].ms + steps[3].ms;
    EXPECT_LE(covered, after_last);
    EXPECT_GE(covered, after_first + 5.0);
}

}  // namespace
