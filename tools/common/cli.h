// What every tool shares: how options are read (--opt value and --opt=value,
// -h/--help, --version; through shell/command_line.h, as yurn reads its own), how it ends (1 for a failure, 2 for a usage error,
// the message on standard error after the tool's name), how it reads and
// writes whole files (written whole or not at all; "-" is standard output),
// and how it prints names that came from a file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "shell/command_line.h"
#include "display/error.h"
#include "files/files.h"

namespace cli {

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

// The tool's name, set once by init.
inline const char* program = "";

// Set once the tool is ending on an error it has reported.
inline bool ending_on_error = false;

// The end of a tool on an error: "NAME: message" on standard error, exit code.
[[noreturn]] inline void vend(int code, const char* format, va_list args)
{
    ending_on_error = true;
    std::fprintf(stderr, "%s: ", program);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    std::exit(code);
}

// A failure: the message, exit 1.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vend(EXIT_FAILED, format, args);
}

// A usage error: the message and where to find help, exit 2.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void usage_error(const char* format, ...)
{
    ending_on_error = true;
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, " (%s --help)\n", program);
    std::exit(EXIT_USAGE);
}

// Warnings go on their own line and do not change the exit code.
__attribute__((format(printf, 1, 2))) inline void warn(const char* format, ...)
{
    std::fprintf(stderr, "%s: aviso: ", program);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// The file being read; a reader's message that does not name it gets it in front.
inline std::string subject;

// fatal_error from the reader and the loaders ends the tool as a failure.
inline void on_fatal(const char* message)
{
    std::string m = message;
    while (!m.empty() && m.back() == '\n')
        m.pop_back();
    if (!subject.empty() && m.find(subject) == std::string::npos)
        m = subject + ": " + m;
    fail("%s", m.c_str());
}

// At exit: what the tool printed on standard output (a listing, a report,
// its help) must have got there, or the tool fails saying so instead of
// ending with 0 after losing it (a full disk, a closed output).
inline void check_standard_output()
{
    if (ending_on_error)
        return;
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return;
    std::fprintf(stderr, "%s: no se puede escribir la salida estándar: %s\n", program,
                 system_reason(errno ? errno : EIO));
    std::_Exit(EXIT_FAILED);
}

// Memory that ran out anywhere ends the tool with a message, not an abort.
inline void out_of_memory()
{
    std::set_new_handler(nullptr);
    if (subject.empty())
        fail("no hay memoria suficiente");
    fail("no hay memoria suficiente para %s", subject.c_str());
}

// The first call of every tool's main: names the tool for its messages and
// makes fatal_error, lost standard output and exhausted memory end it as above.
inline void init(const char* name)
{
    program = name;
    set_fatal_handler(on_fatal);
    std::atexit(check_standard_output);
    std::set_new_handler(out_of_memory);
}

// "NAME (yurn) VERSION" on standard output, for --version.
inline void print_version() { std::printf("%s (yurn) %s\n", program, YURN_VERSION); }

// Reads the arguments one at a time through the program's one command-line
// reader (shell/command_line.h), ending the tool on a usage error.
// "--opt=value" is the option and its value; after "--" everything is an
// operand.
struct Args {
    Args(int count, char** values) : line{.argc = count, .argv = values, .double_dash_ends_options = true} {}
    CommandLine line;
    Argument current{};

    // The next argument into arg; false at the end.  is_option tells whether
    // it is an option (starts with '-' and is not "-" itself).  An option
    // given a value after '=' that nobody took ends the tool here.
    bool next(std::string& arg, bool& is_option)
    {
        if (current.value)
            usage_error("la opción %s no lleva valor", arg.c_str());
        if (!next_argument(line, &current))
            return false;
        arg.assign(current.name);
        is_option = current.is_option;
        return true;
    }

    // The whole argument last read, as given.
    const char* text() const { return current.text; }

    // The value of option: the part after '=', or the next argument.
    std::string value(const std::string& option)
    {
        const char* v = take_value(line, current);
        if (!v)
            usage_error("falta el valor de %s", option.c_str());
        return v;
    }
};

// -h/--help prints the usage and --version the version, both on standard
// output, and end the tool with 0; any other argument, and any argument
// after "--" (an operand, such as a file named "-h"), returns.
inline void answer_help_or_version(const Args& args, void (*usage)(FILE*))
{
    if (!args.current.is_option)
        return;
    if (is_help(args.current.name)) {
        usage(stdout);
        std::exit(0);
    }
    if (args.current.name == "--version") {
        print_version();
        std::exit(0);
    }
}

// The lower-case extension of path ("" when it has none).
inline std::string extension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos)
        return "";
    std::string e = path.substr(dot + 1);
    for (char& c : e)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return e;
}

// The whole file, or the end of the tool naming it and the reason.  A
// device is refused: /dev/zero would be read until memory ran out.  A FIFO
// is read (/dev/stdin from a pipe).
inline std::vector<uint8_t> read_file(const std::string& path)
{
    File f(std::fopen(path.c_str(), "rb"));
    if (!f)
        fail("no se puede abrir %s: %s", path.c_str(), system_reason(errno));
    struct stat info;
    if (::fstat(::fileno(f.get()), &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)))
        fail("no leo %s: es un dispositivo, no un fichero", path.c_str());
    std::vector<uint8_t> bytes;
    errno = 0;
    if (!read_to_end(f.get(), bytes))
        fail("error al leer %s: %s", path.c_str(), system_reason(errno ? errno : EIO));
    return bytes;
}

// Writes a whole file through a temporary (or to standard output for "-");
// on failure the old file is kept and the tool ends naming the file.
inline void write_file(const std::string& path, const void* data, size_t size)
{
    int error = 0;
    if (!write_whole_file(path.c_str(), data, size, &error))
        fail("no se puede escribir %s: %s%s", path == "-" ? "la salida estándar" : path.c_str(), system_reason(error),
             path == "-" ? "" : "; el fichero anterior, si lo había, sigue intacto");
}

// Binary data written to "-" would fill a terminal with garbage: when standard
// output is one, the tool ends before any work, saying what to do instead.
inline void refuse_binary_terminal(const std::string& path, const char* what)
{
    if (path == "-" && ::isatty(STDOUT_FILENO))
        usage_error("la salida estándar es un terminal: no escribo en él %s, que es binario; redirígela a un "
                    "fichero o a otra orden",
                    what);
}

// True when a and b are the same existing file (same device and inode).
inline bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Bytes from a file fit for a terminal: control bytes, DEL, bytes above 0x7F
// and the backslash as \xNN.
inline std::string printable(const std::string& name)
{
    std::string s;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            s.push_back(char(c));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            s += esc;
        }
    }
    return s;
}

}  // namespace cli
