// libFuzzer target: the text mesh reader on arbitrary bytes.  Rejections come
// back as an exception from the fatal handler; anything else must finish.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "display/error.h"
#include "engine/engine.h"

namespace {
struct Rejected : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void throw_rejection(const char* message) { throw Rejected(message); }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    set_fatal_handler(throw_rejection);
    // The last byte picks whether the texture block is read.
    current_texture_size = size && (data[size - 1] & 1) ? 0 : 256;
    try {
        Object* object = parse_object_bytes(reinterpret_cast<const char*>(data), size, "fuzz");
        transform_bounds(object);
        destroy_object(object);
    } catch (const Rejected&) {
    }
    return 0;
}
