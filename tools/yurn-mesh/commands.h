// yurn-mesh subcommands: each file of the tool adds one function here and one
// entry in the table in main.cpp.
#pragma once

// Runs a subcommand; argv[0] is the subcommand's name.  Returns the exit code.
using CommandFunction = int (*)(int argc, char** argv);

struct Command {
    const char* name;
    CommandFunction function;
    const char* help;  // one line: arguments and what it does
};

int info_command(int argc, char** argv);  // info.cpp
int render_command(int argc, char** argv);  // render.cpp
int view_command(int argc, char** argv);  // view.cpp

// True when the tool reads name as 3DS: its name ends in ".3ds" in any case,
// or its first two bytes are the main chunk's id; else it is the text format.
bool looks_like_3ds(const char* name);  // info.cpp

// Ends the tool (exit 1) saying that name is not a mesh when it is to be read
// in the text format but starts like a binary file (a control byte other
// than white space in its first 4 KiB), such as a picture; the loader would
// only say that a number is badly written.
void refuse_binary_text_mesh(const char* name);  // info.cpp
