// Chooses the backend for a run.
#include "platform/platform.h"

const Platform* platform = nullptr;

void select_platform(const PlatformConfig& config)
{
    if (config.headless) {
        headless_configure(config);
        platform = &headless_platform;
    } else {
        sdl_configure(config);
        platform = &sdl_platform;
    }
}
