// Reading a command line: arguments split at '=', values, bounded numbers.
#include "shell/command_line.h"

bool next_argument(CommandLine& line, Argument* argument)
{
    while (line.at < line.argc) {
        const char* text = line.argv[line.at++];
        const std::string_view whole(text);
        if (line.double_dash_ends_options && !line.operands_only && whole == "--") {
            line.operands_only = true;
            continue;
        }
        *argument = {.text = text, .name = whole, .value = nullptr,
                     .is_option = !line.operands_only && whole.size() > 1 && whole[0] == '-'};
        if (argument->is_option && whole.starts_with("--")) {
            const size_t equals = whole.find('=');
            if (equals != std::string_view::npos) {
                argument->name = whole.substr(0, equals);
                argument->value = text + equals + 1;
            }
        }
        return true;
    }
    return false;
}

const char* take_value(CommandLine& line, Argument& argument)
{
    if (argument.value) {
        const char* value = argument.value;
        argument.value = nullptr;
        return value;
    }
    if (line.at >= line.argc)
        return nullptr;
    return line.argv[line.at++];
}

bool is_help(std::string_view name) { return name == "-h" || name == "--help"; }

bool read_decimal(std::string_view text, uint64_t max, uint64_t* value)
{
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = uint64_t(c - '0');
        // Tested before the step, so no max makes v wrap.
        if (digit > max || v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool read_decimal_pair(std::string_view text, char separator, uint32_t max, uint32_t* a, uint32_t* b)
{
    const size_t at = text.find(separator);
    uint64_t first = 0, second = 0;
    if (at == std::string_view::npos || !read_decimal(text.substr(0, at), max, &first) ||
        !read_decimal(text.substr(at + 1), max, &second))
        return false;
    *a = uint32_t(first);
    *b = uint32_t(second);
    return true;
}
