// libFuzzer target: the PCX reader on arbitrary bytes.  Rejections come back
// as an exception from the fatal handler.  The destination is exactly the size
// the header asks for (or one byte short, to drive the size check), so any
// write past it is caught by AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "display/error.h"
#include "files/files.h"

namespace {
struct Rejected : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void throw_rejection(const char* message) { throw Rejected(message); }
constexpr uint64_t MAX_DESTINATION = 8u << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    set_fatal_handler(throw_rejection);
    uint64_t needed = 0;
    try {
        needed = pcx_decoded_size(read_pcx_header("fuzz.pcx", data, size));
    } catch (const Rejected&) {
        return 0;
    }
    if (needed > MAX_DESTINATION)
        needed = MAX_DESTINATION;  // larger pictures are rejected by the size check
    const bool short_by_one = needed > 0 && size % 7 == 3;
    std::vector<uint8_t> pixels(needed - short_by_one);
    std::vector<uint8_t> palette(768);
    try {
        read_pcx_memory("fuzz.pcx", data, size, pixels.data(), pixels.size(),
                        size % 2 ? palette.data() : nullptr, nullptr);
    } catch (const Rejected&) {
    }
    return 0;
}
