// The one owner of SIGINT, SIGTERM and SIGHUP: nothing is installed by
// opening a file; once a program has set the handler up, a termination signal
// removes the watched temporaries and still ends the process by that signal;
// while a capture catches, signals are only recorded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include "files/files.h"
#include "files/signals.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch(const char* name)
{
    const fs::path dir = fs::temp_directory_path() / ("yurn-signals-" + std::to_string(getpid()));
    fs::create_directories(dir);
    return dir / name;
}

bool handler_is_default(int signal_number)
{
    struct sigaction now {};
    sigaction(signal_number, nullptr, &now);
    return now.sa_handler == SIG_DFL;
}

TEST(Signals, OpeningAnOutputFileInstallsNoHandler)
{
    // In a child, so this process's handlers are whatever gtest left.
    EXPECT_EXIT(
        {
            for (int s : {SIGINT, SIGTERM, SIGHUP})
                std::signal(s, SIG_DFL);
            OutputFile out;
            const bool opened = output_open(out, scratch("quiet.bin").c_str());
            const bool untouched = handler_is_default(SIGINT) && handler_is_default(SIGTERM) &&
                                   handler_is_default(SIGHUP);
            std::_Exit(opened && untouched ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    fs::remove_all(scratch("").parent_path());
}

TEST(Signals, AWatchedFileGoesAndTheSignalStillEndsTheProcess)
{
    const fs::path file = scratch("watched.tmp");
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        std::ofstream(file) << "part";
        EXPECT_EXIT(
            {
                signals_init();
                int32_t slot = signals_watch_file(file.string());
                if (slot < 0)
                    std::_Exit(3);
                std::raise(signal_number);
                std::_Exit(4);
            },
            ::testing::KilledBySignal(signal_number), "");
        EXPECT_FALSE(fs::exists(file)) << signal_number;
    }
    // A file forgotten by its owner (renamed into place) is left alone.
    std::ofstream(file) << "whole";
    EXPECT_EXIT(
        {
            signals_init();
            int32_t slot = signals_watch_file(file.string());
            signals_forget_file(slot);
            std::raise(SIGTERM);
            std::_Exit(4);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_TRUE(fs::exists(file));
    fs::remove_all(file.parent_path());
}

TEST(Signals, WhileCatchingSignalsAreOnlyRecorded)
{
    const fs::path file = scratch("caught.tmp");
    std::ofstream(file) << "part";
    // Twice, as a signal sent to a process group may come: the process goes
    // on and the watched file stays for its owner to finish.
    EXPECT_EXIT(
        {
            signals_init();
            int32_t slot = signals_watch_file(file.string());
            signals_catch(true);
            std::raise(SIGHUP);
            std::raise(SIGTERM);
            const int32_t last = signals_caught(true);
            signals_forget_file(slot);
            std::_Exit(last == SIGTERM && fs::exists(file) ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::exists(file));
    // Turned off, signals end the process again.
    EXPECT_EXIT(
        {
            signals_catch(true);
            std::raise(SIGINT);
            const int32_t first = signals_caught(true);
            signals_catch(false);
            if (first != SIGINT)
                std::_Exit(5);
            std::raise(SIGINT);
            std::_Exit(6);
        },
        ::testing::KilledBySignal(SIGINT), "");
    fs::remove_all(file.parent_path());
}

TEST(Signals, WhatWasIgnoredAtTheStartStaysIgnoredAndAWindowTakesInterruptAndTerminate)
{
    // nohup's SIGHUP: ignored before and after, even while a capture catches.
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            signals_init();
            std::raise(SIGHUP);
            signals_catch(true);
            std::raise(SIGHUP);
            const bool unseen = signals_caught(true) == 0;
            signals_catch(false);
            std::_Exit(unseen && !handler_is_default(SIGHUP) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    // A script's background job ignores SIGINT, but a capture takes it.
    EXPECT_EXIT(
        {
            std::signal(SIGINT, SIG_IGN);
            signals_init();
            std::raise(SIGINT);
            signals_catch(true);
            std::raise(SIGINT);
            std::_Exit(signals_caught(true) == SIGINT ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    // A window: SIGINT and SIGTERM go back to their default for SDL to take;
    // SIGHUP stays ours.
    EXPECT_EXIT(
        {
            for (int s : {SIGINT, SIGTERM, SIGHUP})
                std::signal(s, SIG_DFL);
            signals_init();
            signals_leave_to_window();
            std::_Exit(handler_is_default(SIGINT) && handler_is_default(SIGTERM) && !handler_is_default(SIGHUP) ? 0
                                                                                                                 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
