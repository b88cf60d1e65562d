// The names a capture target may have: a folder of frames, or a video whose
// extension picks the container.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "capture/capture.h"
#include "capture/capture_local.h"

namespace {

constexpr const char* VIDEO_EXTENSIONS[] = {".mp4", ".mkv", ".webm"};
// Names that ask for a video or an animation we do not write.  Made into a
// folder of frames, such a name would only mislead.
constexpr const char* OTHER_VIDEO_EXTENSIONS[] = {
    ".avi", ".mov", ".gif", ".apng", ".webp", ".mpg", ".mpeg", ".m4v", ".wmv", ".flv", ".ogv",
    ".ogg", ".ts",  ".mts", ".m2ts", ".3gp", ".mxf", ".vob",  ".asf", ".y4m", ".h264", ".hevc",
};

}  // namespace

bool has_suffix(const std::string& s, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = s[s.size() - n + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

bool is_video_target(const char* target)
{
    for (const char* ext : VIDEO_EXTENSIONS)
        if (has_suffix(target, ext))
            return true;
    return false;
}

int32_t capture_format_named(const char* name)
{
    if (!std::strcmp(name, "png"))
        return CAPTURE_PNG;
    if (!std::strcmp(name, "ppm"))
        return CAPTURE_PPM;
    if (!std::strcmp(name, "raw"))
        return CAPTURE_RAW;
    return -1;
}

bool capture_is_video(const char* target) { return target && is_video_target(target); }

bool capture_target_valid(const char* target, char* error, size_t error_size)
{
    if (!target || !*target) {
        std::snprintf(error, error_size, "--capture necesita una carpeta o un fichero .mp4, .mkv o .webm");
        return false;
    }
    struct stat st;
    const bool folder = ::stat(target, &st) == 0 && S_ISDIR(st.st_mode);
    if (is_video_target(target)) {
        // Found only when the finished video could not replace it.
        if (folder)
            std::snprintf(error, error_size,
                          "\"%s\" es una carpeta: un vídeo .mp4, .mkv o .webm se graba en un fichero", target);
        return !folder;
    }
    if (folder)
        return true;
    for (const char* ext : OTHER_VIDEO_EXTENSIONS) {
        if (has_suffix(target, ext)) {
            std::snprintf(error, error_size,
                          "no sé grabar vídeos \"%s\" (\"%s\"): --capture graba .mp4, .mkv o .webm, o fotogramas en "
                          "una carpeta",
                          ext, target);
            return false;
        }
    }
    return true;
}

bool capture_target_free(const char* target, bool overwrite, char* error, size_t error_size)
{
    struct stat st;
    if (overwrite || !target || !is_video_target(target) || ::lstat(target, &st) != 0)
        return true;
    std::snprintf(error, error_size, "\"%s\" ya existe: usa --overwrite para sustituirlo, o graba con otro nombre",
                  target);
    return false;
}
