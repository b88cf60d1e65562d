// The folder of frames: made or checked before the show, the frames' files
// and frames.tsv written whole, the folder flushed to disk once at the end,
// and the list of what was written (MANIFEST_NAME) put beside them, so that
// a later --overwrite knows which files are ours.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/capture_local.h"
#include "display/error.h"
#include "platform/platform.h"

namespace {

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

void write_manifest()
{
    std::string text = MANIFEST_HEADER;
    text += '\n';
    for (int64_t n = 0; n < capture->written; ++n)
        text += frame_file_name(n) + '\n';
    text += std::string(TABLE_NAME) + '\n' + SOUND_NAME + '\n';
    write_file(capture->folder + "/" + MANIFEST_NAME, {{text.data(), text.size()}}, true);
}

}  // namespace

const char* frame_extension()
{
    return capture->options.format == CAPTURE_PNG ? "png" : capture->options.format == CAPTURE_PPM ? "ppm" : "raw";
}

std::string frame_file_name(int64_t n)
{
    char name[40];
    std::snprintf(name, sizeof name, "frame-%06lld.%s", static_cast<long long>(n), frame_extension());
    return name;
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
    FolderContents contents;
    if (!read_folder(capture->folder, contents))
        fatal_error("No puedo leer la carpeta \"%s\": %s", folder, system_reason(errno));
    if (contents.names.empty())
        return;
    if (!capture->options.overwrite)
        fatal_error("La carpeta \"%s\" no está vacía (%lld ficheros): los fotogramas nuevos se mezclarían con los "
                    "que ya tiene; usa --overwrite para sustituir los de una grabación anterior, o una carpeta nueva",
                    folder, static_cast<long long>(contents.names.size()));
    // The new capture is made beside the earlier one and takes its place
    // only once whole.
    stage_beside(contents);
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

void finish_folder(bool interrupted)
{
    flush_folder();
    if (!output_commit(capture->table))
        fatal_error("No puedo escribir \"%s\": %s", capture->table.path.c_str(), system_reason(capture->table.error));
    write_sound();
    write_manifest();
    if (!capture->staging.path.empty())
        put_in_place(interrupted);
}
