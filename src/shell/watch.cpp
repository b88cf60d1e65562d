// --watch: the show file and every file it reads, looked at a few times a
// second by their size and modification time; a change reads the show file
// again (shell.cpp plays the new show on from the same time).
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shell/shell_local.h"

namespace {

struct Watched {
    std::string path;
    bool exists;
    int64_t size;
    int64_t modified_ns;
};

std::vector<Watched> watched;

Watched look_at(const std::string& path)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return {.path = path, .exists = false, .size = 0, .modified_ns = 0};
    return {.path = path, .exists = true, .size = int64_t(info.st_size),
            .modified_ns = int64_t(info.st_mtim.tv_sec) * 1000000000 + int64_t(info.st_mtim.tv_nsec)};
}

}  // namespace

void watch_files(const std::vector<std::string>& paths)
{
    watched.clear();
    for (const std::string& path : paths)
        watched.push_back(look_at(path));
}

bool watched_files_changed()
{
    bool changed = false;
    for (Watched& file : watched) {
        const Watched now = look_at(file.path);
        if (now.exists != file.exists || now.size != file.size || now.modified_ns != file.modified_ns) {
            file = now;
            changed = true;
        }
    }
    return changed;
}
