// The photo stage: one photograph read at start-up, shown unchanged.
#include "shell/shell.h"
#include "stages/show_stages.h"
#include "stages/stages_local.h"

namespace {

void photo_prepare(int32_t index)
{
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) == 0)
        stage.ready.store(1, std::memory_order_relaxed);
}

int32_t photo_render(int32_t) { return 0; }

void photo_tick(int32_t) {}

// Nothing of a photograph changes while it is shown.
void photo_rewind(int32_t) {}

void photo_release(int32_t index)
{
    std::unique_ptr<Water> water = take_stage_state<Water>(index);
    if (water)
        free_frame(water->pixels);
}

}  // namespace

constexpr StageEntries PHOTO_ENTRIES = {
    .prepare = photo_prepare,
    .render = photo_render,
    .tick = photo_tick,
    .release = photo_release,
    .advance = photo_render,
    .rewind = photo_rewind,
};

void photo_create_file(int32_t index, int32_t width, int32_t height, const char* path)
{
    std::unique_ptr<Water> water = allocate_state<Water>("Error: No Hay Suficiente Memoria para Water.\n");
    water->width = width;
    water->height = height;
    FrameBuffer pixels =
        allocate_frame(int64_t(width) * height, "Error: No Hay Suficiente Memoria Para los Buffers del agua.\n");
    water->pixels = pixels.get();
    read_rgb_picture("La foto", path, pixels.get(), width, height);
    // Handed to the record only once the photograph is in, so a failure above
    // (which may throw under a test's fatal handler) leaves the record untouched
    // and frees everything.
    stage_table[index].output = pixels.release();
    install_stage(index, water.release(), PHOTO_ENTRIES);
}

void photo_create_1(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[0]); }
void photo_create_2(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[1]); }
void photo_create_3(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[2]); }
void photo_create_4(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[3]); }
void photo_create_5(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[4]); }
void photo_create_6(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[5]); }
void photo_create_7(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[6]); }
void photo_create_8(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[7]); }
void photo_create_9(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[8]); }
void photo_create_10(int32_t i, int32_t w, int32_t h) { photo_create_file(i, w, h, PHOTO_FILES[9]); }

const PhotoCreate photo_creates[PHOTO_COUNT] = {
    photo_create_1, photo_create_2, photo_create_3, photo_create_4, photo_create_5,
    photo_create_6, photo_create_7, photo_create_8, photo_create_9, photo_create_10,
};
