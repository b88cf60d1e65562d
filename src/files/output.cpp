// Files written whole or not at all: bytes go to a temporary file beside the
// destination, which replaces the old file only once every byte is on disk.
// Temporaries a killed earlier writer left beside the same destination are
// removed by the next write to it.

#include "files/files.h"
#include "files/signals.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool fail(OutputFile& out, int error)
{
    if (out.error == 0)
        out.error = error != 0 ? error : EIO;
    return false;
}

// A device, FIFO or socket has no contents to keep and must stay what it is:
// it is opened and written directly (a FIFO waits here for its reader).
bool open_in_place(OutputFile& out)
{
    const int fd = ::open(out.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return fail(out, errno);
    if ((out.stream = ::fdopen(fd, "wb")) == nullptr) {
        const int error = errno;
        ::close(fd);
        return fail(out, error);
    }
    return true;
}

// What a temporary's name holds of the file it replaces: the name itself,
// or, when "." + name + ".tmp-XXXXXX" would pass the 255 bytes a name may
// have, its first 200 bytes (cut between characters) and a hash of the whole
// name, so any name the system accepts can be written.
constexpr size_t NAME_LIMIT = 255;
constexpr char TEMP_MARK[] = ".tmp-";
constexpr size_t TEMP_EXTRA = 1 + (sizeof TEMP_MARK - 1) + 6;  // ".", ".tmp-", "XXXXXX"

std::string temporary_stem(const std::string& name)
{
    if (name.size() + TEMP_EXTRA <= NAME_LIMIT)
        return name;
    size_t keep = 200;
    while (keep > 0 && (uint8_t(name[keep]) & 0xC0) == 0x80)
        --keep;  // not inside a UTF-8 character
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name)
        hash = (hash ^ c) * 1099511628211ull;
    char tail[24];
    std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
    return name.substr(0, keep) + tail;
}

// The folder part of path ("." when none) and the name part.
std::pair<std::string, std::string> split_path(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool is_temporary_suffix(const char* text)
{
    if (std::strncmp(text, TEMP_MARK, sizeof TEMP_MARK - 1) != 0)
        return false;
    text += sizeof TEMP_MARK - 1;
    for (int i = 0; i < 6; ++i) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return text[6] == 0;
}

// Temporaries that earlier writers may have left (a kill -9, a power cut),
// found by one listing of each folder per process and kept by the stem of
// the file they were to replace.  A folder of many files written one after
// another (a capture, an extract) is listed once, not once per file.
struct FolderTemporaries {
    dev_t device;
    ino_t inode;
    std::map<std::string, std::vector<std::string>> by_stem;
};
std::mutex temporaries_mutex;
std::map<std::string, FolderTemporaries> temporaries_by_folder;

std::vector<std::string> left_temporaries(const std::string& folder, const std::string& stem)
{
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0)
        return {};
    std::lock_guard<std::mutex> hold(temporaries_mutex);
    auto found = temporaries_by_folder.find(folder);
    if (found == temporaries_by_folder.end() || found->second.device != info.st_dev ||
        found->second.inode != info.st_ino) {
        FolderTemporaries listed{info.st_dev, info.st_ino, {}};
        if (DIR* listing = ::opendir(folder.c_str())) {
            while (const dirent* entry = ::readdir(listing)) {
                const size_t length = std::strlen(entry->d_name);
                if (entry->d_name[0] != '.' || length <= TEMP_EXTRA ||
                    !is_temporary_suffix(entry->d_name + length - (TEMP_EXTRA - 1)))
                    continue;
                listed.by_stem[std::string(entry->d_name + 1, length - TEMP_EXTRA)].push_back(entry->d_name);
            }
            ::closedir(listing);
        }
        found = temporaries_by_folder.insert_or_assign(folder, std::move(listed)).first;
    }
    auto names = found->second.by_stem.find(stem);
    if (names == found->second.by_stem.end())
        return {};
    std::vector<std::string> left = std::move(names->second);
    found->second.by_stem.erase(names);
    return left;
}

// Removes path when it is a temporary nobody is writing: a regular file of
// this user, with no other name, that no live writer holds locked (a writer
// holds its temporary locked until it is renamed into place or removed, and
// a killed writer's lock went with it).
void remove_if_abandoned(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat info, now;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1 &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::lstat(path.c_str(), &now) == 0 && now.st_dev == info.st_dev &&
        now.st_ino == info.st_ino)
        ::unlink(path.c_str());
    ::close(fd);
}

void remove_abandoned_temporaries(const std::string& replaced)
{
    const auto [folder, name] = split_path(replaced);
    for (const std::string& left : left_temporaries(folder, temporary_stem(name)))
        remove_if_abandoned(folder == "/" ? "/" + left : folder + "/" + left);
}

// A symbolic link at path that leads nowhere (dangling, or a loop): 0 when
// path is no such link, else the reason to refuse it.  Renamed over, the
// link would silently become a plain file.
int broken_link_error(const char* path)
{
    struct stat info;
    if (::lstat(path, &info) != 0 || !S_ISLNK(info.st_mode))
        return 0;
    if (::stat(path, &info) == 0)
        return 0;
    return errno == ENOENT ? OUTPUT_DANGLING_LINK : errno;
}

// Makes the temporary for out.final_path and locks it for as long as out
// lives, so a later writer's clean-up never takes it for abandoned.  A
// temporary removed by such a clean-up between its making and its locking
// (it then has no name) is made again.
int make_locked_temporary(OutputFile& out)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string temp = temporary_name(out.final_path);
        const int fd = ::mkstemp(temp.data());
        if (fd < 0)
            return -1;
        struct stat info;
        if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &info) == 0 && info.st_nlink == 0) {
            ::close(fd);
            continue;
        }
        out.lock_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);  // the lock outlives the stream's close until the rename
        out.temp_path = temp;
        return fd;
    }
    errno = EEXIST;
    return -1;
}

void release_lock(OutputFile& out)
{
    if (out.lock_fd >= 0)
        ::close(out.lock_fd);
    out.lock_fd = -1;
}

} // namespace

mode_t new_file_mode()
{
    static const mode_t mode = [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return mode_t(0666 & ~mask);
    }();
    return mode;
}

std::string replaced_path(const char* path)
{
    struct stat info;
    std::string replaced = path;
    if (::lstat(path, &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* real = ::realpath(path, nullptr)) {
            replaced = real;
            std::free(real);
        }
    }
    return replaced;
}

std::string temporary_name(const std::string& replaced)
{
    const size_t slash = replaced.rfind('/');
    const size_t name = slash == std::string::npos ? 0 : slash + 1;
    return replaced.substr(0, name) + "." + temporary_stem(replaced.substr(name)) + TEMP_MARK + "XXXXXX";
}

mode_t replacing_file_mode(const char* path)
{
    struct stat old;
    if (::stat(path, &old) == 0 && S_ISREG(old.st_mode))
        return old.st_mode & 0777;
    return new_file_mode();
}

const char* system_reason(int error)
{
    switch (error) {
    case ENOSPC: return "no queda espacio en el disco";
    case EDQUOT: return "se ha agotado la cuota de disco";
    case EFBIG: return "el fichero supera el tamaño máximo permitido";
    case EACCES:
    case EPERM: return "permiso denegado";
    case EROFS: return "el sistema de ficheros es de solo lectura";
    case ENOENT: return "no existe el fichero o la carpeta";
    case ENOTDIR: return "una parte de la ruta no es una carpeta";
    case EISDIR: return "es una carpeta";
    case ELOOP: return "demasiados enlaces simbólicos (¿un bucle?)";
    case OUTPUT_DANGLING_LINK: return "es un enlace simbólico roto: lo que señala no existe";
    case ENAMETOOLONG: return "el nombre es demasiado largo";
    case EIO: return "error de entrada/salida";
    case EMFILE:
    case ENFILE: return "demasiados ficheros abiertos";
    case EBADF: return "el descriptor de fichero no es válido (¿una salida cerrada?)";
    case EPIPE: return "quien leía la tubería la cerró";
    case ENXIO: return "no hay dispositivo ni nadie que lea al otro lado (¿un socket?)";
    default: return std::strerror(error);
    }
}

OutputFile::~OutputFile()
{
    if (stream != nullptr && stream != stdout)
        std::fclose(stream);
    if (!temp_path.empty())
        ::unlink(temp_path.c_str());
    if (lock_fd >= 0)
        ::close(lock_fd);
    signals_forget_file(live_slot);
}

bool output_open(OutputFile& out, const char* path)
{
    out.path = path;
    out.final_path = path;  // until a link is followed below
    out.error = 0;
    if (out.path == "-") {
        out.stream = stdout;
        return true;
    }
    struct stat info;
    if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return open_in_place(out);
    if (const int broken = broken_link_error(path))
        return fail(out, broken);
    out.final_path = replaced_path(path);
    remove_abandoned_temporaries(out.final_path);
    int fd = make_locked_temporary(out);
    if (fd < 0)
        return fail(out, errno);
    out.live_slot = signals_watch_file(out.temp_path);
    if (::fchmod(fd, replacing_file_mode(out.final_path.c_str())) != 0 || (out.stream = ::fdopen(fd, "wb")) == nullptr) {
        int error = errno;
        ::close(fd);
        return fail(out, error);
    }
    return true;
}

bool output_write(OutputFile& out, const void* data, size_t size)
{
    if (out.error != 0 || out.stream == nullptr)
        return fail(out, out.error);
    if (size == 0)
        return true;
    errno = 0;
    if (std::fwrite(data, 1, size, out.stream) != size)
        return fail(out, errno);
    return true;
}

bool output_commit(OutputFile& out)
{
    if (out.error != 0 || out.stream == nullptr)
        return fail(out, out.error);
    errno = 0;
    if (out.stream == stdout) {
        out.stream = nullptr;
        return std::fflush(stdout) == 0 || fail(out, errno);
    }
    FILE* stream = out.stream;
    out.stream = nullptr;
    const bool in_place = out.temp_path.empty();  // a device or a FIFO: nothing to sync or rename
    bool flushed = std::fflush(stream) == 0 && (in_place || !out.sync || ::fsync(::fileno(stream)) == 0);
    int error = errno;
    if (std::fclose(stream) != 0 && flushed) {
        flushed = false;
        error = errno;
    }
    if (!flushed)
        return fail(out, error);
    if (in_place)
        return true;
    if (::rename(out.temp_path.c_str(), out.final_path.c_str()) != 0)
        return fail(out, errno);
    signals_forget_file(out.live_slot);
    out.temp_path.clear();
    release_lock(out);
    return true;
}

bool write_whole_file(const char* path, const void* data, size_t size, int* error)
{
    OutputFile out;
    bool ok = output_open(out, path) && output_write(out, data, size) && output_commit(out);
    if (error != nullptr)
        *error = out.error;
    return ok;
}
