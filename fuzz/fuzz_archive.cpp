// libFuzzer target: the archive lookup on arbitrary directories and names.
// The first byte gives the length of the path (taken from the next bytes, up
// to 20, stopping at a zero); the rest is the archive.  The memory lookup and
// the stream lookup (over fmemopen) must agree, for that path and a few fixed
// ones; a found offset must come from a directory entry inside the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "files/files.h"

namespace {

void check(const uint8_t* pak, size_t size, const char* path)
{
    uint32_t in_memory = 0, in_stream = 0;
    bool found = find_archive_member(pak, size, path, &in_memory);
    bool found_in_stream = false;
    if (FILE* f = fmemopen(const_cast<uint8_t*>(pak), size, "rb")) {
        found_in_stream = find_archive_member_in_stream(f, path, &in_stream);
        std::fclose(f);
    }
    if (size > 0 && (found != found_in_stream || (found && in_memory != in_stream)))
        std::abort();
    if (found && size < ARCHIVE_OFFSET_AT + 4)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t length = data[0] % 21;
    if (length > size - 1)
        length = size - 1;
    std::string path;
    for (size_t i = 0; i < length && data[1 + i]; ++i)
        path.push_back(char(data[1 + i]));
    const uint8_t* pak = data + 1 + length;
    const size_t pak_size = size - 1 - length;
    check(pak, pak_size, path.c_str());
    for (const char* fixed : {"datos/Foto1.pcx", "datos/Foto10.pcx", "DATOS/FOTO10.PCX", ""})
        check(pak, pak_size, fixed);
    return 0;
}
