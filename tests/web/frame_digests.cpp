// Prints the digest of every frame the show presents on the headless display
// (one hexadecimal line per frame, as the web page's virtual clock reports
// them), then "exit N" with the show's result.  Takes yurn's options; the
// show always runs headless.  The browser tests compare the two lists.
#include <cinttypes>
#include <cstdio>

#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"

namespace {

void print_digest(const PresentedFrame& frame, void*)
{
    const size_t size = size_t(frame.width) * size_t(frame.height) * size_t(frame.depth / 8);
    std::printf("%016" PRIx64 "\n", frame_digest(frame.pixels, size));
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    char error[256];
    if (!parse_options(argc, argv, &options, error, sizeof error)) {
        std::fprintf(stderr, "yurn-frame-digests: %s\n", error);
        return 2;
    }
    options.headless = true;
    headless_set_present_hook(print_digest, nullptr);
    const int32_t code = run_show(options);
    std::printf("exit %d\n", code);
    return 0;
}
