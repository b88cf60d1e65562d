// Helpers shared by the test files: fatal_error caught as an exception, and
// waiting on a condition with a bound.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "display/error.h"

// Thrown by the test handler of fatal_error; what() is the formatted message.
struct FatalError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// While alive, fatal_error throws FatalError instead of ending the process.
struct CatchFatal {
    CatchFatal() { set_fatal_handler([](const char* message) { throw FatalError(message); }); }
    ~CatchFatal() { set_fatal_handler(nullptr); }
};

// Runs f and returns the fatal message it raised, or "" when it returned.
template <class F>
std::string fatal_message_of(F&& f)
{
    CatchFatal guard;
    try {
        f();
    } catch (const FatalError& e) {
        return e.what();
    }
    return "";
}

// Polls condition every millisecond until it holds or limit_ms pass; true when
// it held.  The bound is generous: it only ends a test that would hang.
template <class Condition>
bool wait_until(Condition condition, double limit_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double, std::milli>(limit_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // poll interval
    }
    return true;
}
