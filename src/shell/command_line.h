// The command line as yurn and every tool read it: one argument at a time,
// options as "--name value" or "--name=value", "--" ending the options where a
// program takes operands, and numbers of decimal digits only, bounded before
// they can wrap.  How a program words a usage error stays its own: yurn hands
// its message back to main (shell/options.cpp), a tool ends through
// cli::usage_error (tools/common/cli.h); both read through this.
//
// Part of the shell's start-up, yet built into yurn_base with the frame-size
// globals, since the tools read their command lines through it too and link
// no SDL.  It uses nothing of the program, only the standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// A command line being read; at is the next argument of argv to look at.
struct CommandLine {
    int argc;
    char** argv;
    bool double_dash_ends_options;  // "--" makes every later argument an operand (programs with operands)
    int at = 1;
    bool operands_only = false;     // a "--" was met
};

// One argument as next_argument splits it.
struct Argument {
    const char* text;       // the whole argument, as given
    std::string_view name;  // a "--" option's name before its '='; the whole text otherwise
    const char* value;      // what follows '=' in "--name=value" (possibly ""); null when there is no '='
    bool is_option;         // starts with '-', is not "-" itself, and came before any ending "--"
};

// The next argument into *argument; false when none is left.  A "--" that
// ends the options is passed over, not returned.  Only a name starting with
// "--" splits at '=' ("-x=1" is one name).
bool next_argument(CommandLine& line, Argument* argument);

// The value of the option just read: the part after its '=', else the next
// argument whatever it looks like (taken, so the next call reads past it);
// null when there is neither.  Clears argument.value, so a value given after
// '=' is taken once.
const char* take_value(CommandLine& line, Argument& argument);

// True for "-h" and "--help".
bool is_help(std::string_view name);

// A decimal number of digits only ("", signs, spaces and anything else
// refused), at most max; the value is checked digit by digit, so a long
// number is refused rather than wrapped.
bool read_decimal(std::string_view text, uint64_t max, uint64_t* value);

// "A<separator>B": two such numbers, each at most max, with exactly one
// separator between them and nothing after B.
bool read_decimal_pair(std::string_view text, char separator, uint32_t max, uint32_t* a, uint32_t* b);
