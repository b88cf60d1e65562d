// Files written whole or not at all: bytes go to a temporary file beside the
// destination, which replaces the old file only once every byte is on disk.

#include "files/files.h"
#include "files/signals.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    out.final_path = replaced_path(path);
    std::string temp = temporary_name(out.final_path);
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return fail(out, errno);
    out.temp_path = temp;
    out.live_slot = signals_watch_file(temp);
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
