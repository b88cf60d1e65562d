// The installed data folder: beside the executable, then under the
// configured prefix (both paths come from the build, see cmake/install.cmake).
#include "shell/installed_data.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef YURN_DATA_FROM_BIN
#define YURN_DATA_FROM_BIN "../share/yurn"
#endif
#ifndef YURN_INSTALL_DATA
#define YURN_INSTALL_DATA "/usr/local/share/yurn"
#endif

namespace {

bool has_datos(const std::string& folder)
{
    struct stat info;
    const std::string datos = folder.empty() ? std::string("datos") : folder + "/datos";
    return stat(datos.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The running program's own file, through /proc (argv[0] may be a bare name
// found on PATH); empty when it cannot be read.
std::string own_executable()
{
    std::vector<char> buffer(4096);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0 || size_t(length) >= buffer.size() - 1)
        return {};
    return std::string(buffer.data(), size_t(length));
}

}  // namespace

std::string folder_beside(const std::string& executable, const char* relative)
{
    const size_t slash = executable.rfind('/');
    if (slash == std::string::npos)
        return relative;
    return executable.substr(0, slash + 1) + relative;
}

std::string first_data_folder(const std::string* candidates, size_t count)
{
    for (size_t i = 0; i < count; i++)
        if (!candidates[i].empty() && has_datos(candidates[i]))
            return candidates[i];
    return {};
}

std::string installed_data_folder()
{
    if (has_datos(""))
        return {};
    const std::string executable = own_executable();
    const std::string candidates[2] = {
        executable.empty() ? std::string() : folder_beside(executable, YURN_DATA_FROM_BIN),
        YURN_INSTALL_DATA,
    };
    const std::string found = first_data_folder(candidates, 2);
    // Shown by --verbose and in messages: "/usr/share/yurn", not "/usr/bin/../share/yurn".
    char* real = found.empty() ? nullptr : realpath(found.c_str(), nullptr);
    const std::string shown = real ? real : found;
    std::free(real);
    return shown;
}
