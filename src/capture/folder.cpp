// The folder of frames: made or checked before the show, the frames' files
// and frames.tsv written whole, the folder flushed to disk once at the end.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture/capture_local.h"
#include "display/error.h"
#include "platform/platform.h"

namespace {

// The files a folder capture writes; --overwrite removes these and no others.
constexpr const char* FRAME_EXTENSIONS[] = {".png", ".ppm", ".raw"};


// The frames were written without a flush to disk each: one flush of the
// folder's file system puts them all there before frames.tsv lists them.
void flush_folder()
{
#if !defined(__EMSCRIPTEN__)  // the browser's file system lives in memory
    const int fd = ::open(capture->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::syncfs(fd);
    ::close(fd);
#endif
}

}  // namespace


// A name this capture writes into a folder: frame-<digits>.<png|ppm|raw>,
// frames.tsv, sound.wav, or the temporary of one of them left by a killed run.
bool is_capture_file(std::string name)
{
    if (name.size() > 1 && name[0] == '.') {
        const size_t tmp = name.rfind(".tmp-");
        if (tmp == std::string::npos)
            return false;
        name = name.substr(1, tmp - 1);
    }
    if (name == TABLE_NAME || name == SOUND_NAME)
        return true;
    if (name.compare(0, 6, "frame-") != 0 || name.size() < 6 + 1 + 4)
        return false;
    const size_t dot = name.size() - 4;
    for (size_t i = 6; i < dot; ++i)
        if (name[i] < '0' || name[i] > '9')
            return false;
    for (const char* ext : FRAME_EXTENSIONS)
        if (name.compare(dot, 4, ext) == 0)
            return true;
    return false;
}

void write_file(const std::string& path, std::initializer_list<Part> parts, bool sync)
{
    int error = 0;
    {
        // Closed before fatal_error, whose exit does not unwind: its
        // destructor removes the temporary.
        OutputFile out;
        out.sync = sync;
        bool ok = output_open(out, path.c_str());
        for (const Part& part : parts)
            ok = ok && output_write(out, part.data, part.size);
        if (ok && output_commit(out))
            return;
        error = out.error;
    }
    fatal_error("No puedo escribir \"%s\": %s", path.c_str(), system_reason(error));
}


// Makes the folder, or accepts an existing one that is empty; with
// --overwrite removes the files an earlier capture left in it first (and only
// those).
void prepare_folder()
{
    const char* folder = capture->folder.c_str();
    if (::mkdir(folder, 0777) == 0)
        return;
    if (errno != EEXIST)
        fatal_error("No puedo crear la carpeta \"%s\": %s", folder, system_reason(errno));
    struct stat st;
    if (::stat(folder, &st) != 0 || !S_ISDIR(st.st_mode))
        fatal_error("\"%s\" no es una carpeta", folder);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder), ::closedir);
    if (!dir)
        fatal_error("No puedo leer la carpeta \"%s\": %s", folder, system_reason(errno));
    std::vector<std::string> ours;
    std::string other;
    int64_t entries = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        ++entries;
        if (is_capture_file(name))
            ours.push_back(name);
        else if (other.empty())
            other = name;
    }
    if (entries == 0)
        return;
    if (!capture->options.overwrite)
        fatal_error("La carpeta \"%s\" no está vacía (%lld ficheros): los fotogramas nuevos se mezclarían con los "
                    "que ya tiene; usa --overwrite para sustituir los de una grabación anterior, o una carpeta nueva",
                    folder, static_cast<long long>(entries));
    for (const std::string& name : ours) {
        const std::string path = capture->folder + "/" + name;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            fatal_error("No puedo borrar \"%s\": %s", path.c_str(), system_reason(errno));
    }
}

void open_table()
{
    const std::string table = capture->folder + "/" + TABLE_NAME;
    static constexpr char HEADER[] = "frame\tT_ms\tstage\n";
    if (!output_open(capture->table, table.c_str()) || !output_write(capture->table, HEADER, sizeof HEADER - 1))
        fatal_error("No puedo escribir \"%s\": %s", table.c_str(), system_reason(capture->table.error));
}

void add_table_row(const PresentedFrame& frame)
{
    char line[96];
    const int length = std::snprintf(line, sizeof line, "%lld\t%.6f\t%d\n", static_cast<long long>(frame.frame),
                                     frame.time_ms, frame.stage);
    if (!output_write(capture->table, line, static_cast<size_t>(length)))
        fatal_error("No puedo escribir \"%s\": %s", capture->table.path.c_str(), system_reason(capture->table.error));
}

void finish_folder()
{
    flush_folder();
    if (!output_commit(capture->table))
        fatal_error("No puedo escribir \"%s\": %s", capture->table.path.c_str(), system_reason(capture->table.error));
}
