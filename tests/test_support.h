// Helpers shared by the test files: fatal_error caught as an exception.
#pragma once

#include <stdexcept>
#include <string>

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
