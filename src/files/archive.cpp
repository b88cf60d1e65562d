// Resource archive lookup: data files are looked for in the archive first, on
// every call, then on disk.  Nothing about the archive is cached.

#include "files/files.h"

// Bytes of an entry the lookup needs: the name and the offset.  An entry cut
// short by the end of the file before its offset is complete is not used.
constexpr size_t ENTRY_USED_SIZE = ARCHIVE_OFFSET_AT + 4;
static_assert(ARCHIVE_ENTRY_SIZE == 24 && ARCHIVE_SPARE_AT == ENTRY_USED_SIZE);

char* archive_name = nullptr;

namespace {

enum class Scan { next, found, end };

uint8_t fold(uint8_t c) { return (c >= 'a' && c <= 'z') ? uint8_t(c - 'a' + 'A') : c; }

uint32_t read_le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

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

// The mode is not used: both the archive and the plain file are read in binary.
FILE* open_data_file(const char* path, const char*)
{
    if (archive_name) {
        File archive(std::fopen(archive_name, "rb"));
        uint32_t offset = 0;
        if (archive && find_archive_member_in_stream(archive.get(), path, &offset)) {
            // A failed seek is left to the reader, which then meets the end of the file.
            std::fseek(archive.get(), long(offset), SEEK_SET);
            return archive.release();
        }
    }
    return std::fopen(path, "rb");
}

bool read_to_end(FILE* file, std::vector<uint8_t>& bytes)
{
    uint8_t block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        bytes.insert(bytes.end(), block, block + got);
    return !std::ferror(file);
}
