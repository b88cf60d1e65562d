// Resource archive lookup: data files are looked for in the archive first, on
// every call, then on disk.  Nothing about the archive is cached.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "display/error.h"
#include "files/files.h"
#include "files/little_endian.h"

// Bytes of an entry the lookup needs: the name and the offset.  An entry cut
// short by the end of the file before its offset is complete is not used.
constexpr size_t ENTRY_USED_SIZE = ARCHIVE_OFFSET_AT + 4;
static_assert(ARCHIVE_ENTRY_SIZE == 24 && ARCHIVE_SPARE_AT == ENTRY_USED_SIZE);

char* archive_name = nullptr;
const char* data_folder = nullptr;

namespace {

enum class Scan { next, found, end };

uint8_t fold(uint8_t c) { return (c >= 'a' && c <= 'z') ? uint8_t(c - 'a' + 'A') : c; }

// One directory entry of which `got` bytes were read (fewer than 24 only when
// the archive ended inside it).  Shared by the stream and the memory lookups.
// The name is tested before the end marker: an empty path matches the
// marker's empty name, and the member is then read from the marker's offset.
Scan scan_entry(const uint8_t* entry, size_t got, const char* path, uint32_t* offset)
{
    if (got < ENTRY_USED_SIZE)
        return Scan::end;
    if (archive_name_matches(entry, path)) {
        *offset = read_le32(entry + ARCHIVE_OFFSET_AT);
        return Scan::found;
    }
    return entry[0] == 0 || got < ARCHIVE_ENTRY_SIZE ? Scan::end : Scan::next;
}

} // namespace

// Policy: the first entry whose name equals the path with a-z folded to A-Z
// wins; other bytes compare as they are; a name filling all 16 bytes matches a
// path of exactly 16 characters.
bool archive_name_matches(const uint8_t* field, const char* path)
{
    const auto* p = reinterpret_cast<const unsigned char*>(path);
    for (size_t i = 0; i < ARCHIVE_NAME_SIZE; ++i) {
        if (field[i] == 0 || p[i] == 0)
            return field[i] == p[i];
        if (fold(field[i]) != fold(p[i]))
            return false;
    }
    return p[ARCHIVE_NAME_SIZE] == 0;
}

bool find_archive_member(const uint8_t* data, size_t size, const char* path, uint32_t* offset)
{
    for (size_t at = 0;; at += ARCHIVE_ENTRY_SIZE) {
        size_t got = size - at < ARCHIVE_ENTRY_SIZE ? size - at : ARCHIVE_ENTRY_SIZE;
        switch (scan_entry(data + at, got, path, offset)) {
        case Scan::found: return true;
        case Scan::end: return false;
        case Scan::next: break;
        }
    }
}

bool find_archive_member_in_stream(FILE* archive, const char* path, uint32_t* offset)
{
    uint8_t entry[ARCHIVE_ENTRY_SIZE];
    for (;;) {
        size_t got = std::fread(entry, 1, sizeof entry, archive);
        switch (scan_entry(entry, got, path, offset)) {
        case Scan::found: return true;
        case Scan::end: return false;
        case Scan::next: break;
        }
    }
}

namespace {

// What a path that is not a regular file is, for the message.
const char* kind_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return "una carpeta";
    if (S_ISFIFO(mode))
        return "una tubería (FIFO)";
    if (S_ISCHR(mode))
        return "un dispositivo de caracteres";
    if (S_ISBLK(mode))
        return "un dispositivo de bloques";
    if (S_ISSOCK(mode))
        return "un socket";
    return "un fichero especial";
}

// Opens path for reading and says what it is.  O_NONBLOCK because opening a
// FIFO for reading would otherwise wait for a writer, for ever; the stream is
// made only once the file is known to be regular, and a regular file never
// blocks anyway.  -1 with errno set when the open (or fstat) fails.
int open_and_stat(const char* path, struct stat* info)
{
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, info) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A read stream over fd, which it then owns; null (fd closed) when it cannot be made.
FILE* stream_of(int fd)
{
    FILE* stream = ::fdopen(fd, "rb");
    if (!stream)
        ::close(fd);
    return stream;
}

// The archive member named path, positioned at its first byte, or null when
// there is no usable archive or it lacks the name.  An archive that cannot be
// opened, or is not a regular file (a folder, a FIFO, a device), counts as
// absent, like a missing one: it is optional, and every data file can still
// come from the disk, where a missing one is reported by name.
FILE* open_archive_member(const char* path)
{
    struct stat info;
    const int fd = open_and_stat(archive_name, &info);
    if (fd < 0)
        return nullptr;
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    File archive(stream_of(fd));
    uint32_t offset = 0;
    if (!archive || !find_archive_member_in_stream(archive.get(), path, &offset))
        return nullptr;
    // A member that starts past the end holds nothing: every reader would
    // report the file as damaged in its own words, blaming the member.
    if (offset > uint64_t(info.st_size))
        fatal_error("El archivo de recursos \"%s\" sitúa \"%s\" en la posición %u, más allá de su final (%lld bytes)",
                    archive_name, path, unsigned(offset), static_cast<long long>(info.st_size));
    std::fseek(archive.get(), long(offset), SEEK_SET);
    return archive.release();
}

// The plain file, or null when it does not exist (the caller reports that in
// its own words).  Anything else that keeps it from being read ends here,
// saying why: a FIFO or a device would block or never end, and a folder, a
// loop of links or a file without permission is not "missing".
FILE* open_plain_file(const char* path)
{
    struct stat info;
    const int fd = open_and_stat(path, &info);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return nullptr;
        fatal_error("No puedo abrir el fichero \"%s\": %s", path, system_reason(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        fatal_error("No puedo leer \"%s\": es %s, no un fichero", path, kind_of(info.st_mode));
    }
    FILE* stream = stream_of(fd);
    if (!stream)
        fatal_error("No puedo abrir el fichero \"%s\": %s", path, system_reason(errno));
    return stream;
}

} // namespace

// The mode is not used: both the archive and the plain file are read in binary.
FILE* open_data_file(const char* path, const char*)
{
    if (archive_name) {
        if (FILE* member = open_archive_member(path))
            return member;
    }
    return open_plain_file(data_path(path).c_str());
}

std::string data_path(const char* path)
{
    if (!data_folder || !*data_folder || path[0] == '/')
        return path;
    std::string joined = data_folder;
    if (joined.back() != '/')
        joined += '/';
    return joined + path;
}

bool read_to_end(FILE* file, std::vector<uint8_t>& bytes)
{
    // A regular file's remaining size is known: one allocation (and a spare
    // byte for the read that finds the end), read in place.
    struct stat info;
    const long at = std::ftell(file);
    if (at >= 0 && ::fstat(::fileno(file), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > at)
        bytes.reserve(bytes.size() + size_t(info.st_size - at) + 1);
    for (;;) {
        const size_t start = bytes.size();
        const size_t room = bytes.capacity() > start ? bytes.capacity() - start : 65536;
        bytes.resize(start + room);
        const size_t got = std::fread(bytes.data() + start, 1, room, file);
        bytes.resize(start + got);
        if (got < room)
            return !std::ferror(file);
    }
}
