// libFuzzer target: the 3DS chunk walk on arbitrary bytes.  Rejections come
// back as an exception from the fatal handler; the scene keeps (and frees)
// whatever meshes were loaded before one.
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
    Scene scene;
    try {
        load_3ds_bytes(scene, data, size, "fuzz.3ds");
    } catch (const Rejected&) {
    }
    return 0;
}
