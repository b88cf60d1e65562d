// Files written whole or not at all: bytes go to a temporary file beside the
// destination, which replaces the old file only once every byte is on disk.

#include "files/files.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporaries being written now, for the signal handler below: fixed
// buffers, since a handler may only read memory and call unlink.  A slot is
// free (0), being filled (1) or holds a path (2); slots are claimed by
// compare-and-swap, so writers on several threads may claim them at once.
constexpr int LIVE_SLOTS = 16;
char live_paths[LIVE_SLOTS][PATH_MAX];
std::atomic<int32_t> live_state[LIVE_SLOTS];
static_assert(std::atomic<int32_t>::is_always_lock_free, "read by a signal handler");

int live_add(const std::string& path)
{
    if (path.size() >= PATH_MAX)
        return -1;
    for (int i = 0; i < LIVE_SLOTS; i++) {
        int32_t free_slot = 0;
        if (live_state[i].compare_exchange_strong(free_slot, 1, std::memory_order_acquire)) {
            std::memcpy(live_paths[i], path.c_str(), path.size() + 1);
            live_state[i].store(2, std::memory_order_release);  // the path is whole before it is seen
            return i;
        }
    }
    return -1;  // more at once than slots: that one is only removed by its owner
}

void live_remove(int& slot)
{
    if (slot >= 0)
        live_state[slot].store(0, std::memory_order_release);
    slot = -1;
}

// Ctrl+C, a kill or a closed terminal while a file is being written: the
// temporaries go, then the signal does what it would have done.
void remove_live_and_die(int signal_number)
{
    for (int i = 0; i < LIVE_SLOTS; i++)
        if (live_state[i].load(std::memory_order_acquire) == 2)
            ::unlink(live_paths[i]);
    std::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Only where nobody else has chosen what the signal does (the capture keeps
// its own handlers, which end the show and commit what was captured).
void watch_signals()
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (::sigaction(signal_number, nullptr, &now) != 0 || now.sa_handler != SIG_DFL ||
            (now.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction action {};
        action.sa_handler = remove_live_and_die;
        sigemptyset(&action.sa_mask);
        ::sigaction(signal_number, &action, nullptr);
    }
}

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
    return replaced.substr(0, name) + "." + replaced.substr(name) + ".tmp-XXXXXX";
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
    live_remove(live_slot);
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
    // A file-size limit must fail the write (EFBIG), not end the process
    // before the temporary is removed and the old file kept.
    std::signal(SIGXFSZ, SIG_IGN);
    struct stat info;
    if (::stat(path, &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode))
        return open_in_place(out);
    out.final_path = replaced_path(path);
    watch_signals();
    std::string temp = temporary_name(out.final_path);
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return fail(out, errno);
    out.temp_path = temp;
    out.live_slot = live_add(temp);
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
    live_remove(out.live_slot);
    out.temp_path.clear();
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
