// The photo stage: one photograph read at start-up, shown unchanged.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "display/display.h"
#include "files/files.h"
#include "shell/shell.h"
#include "stages/show_stages.h"

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// The PCX reader fills whatever the picture holds; a smaller picture would leave
// part of the frame unwritten and a one-plane picture would fill it with palette
// indices.  So the header is looked at first and anything but a three-plane
// picture of exactly width x height is refused, naming the file.  Files that are
// not PCX at all are left to the reader, which reports them in its own words.
void check_photo_header(const char* path, int32_t width, int32_t height)
{
    File file(open_data_file(path, "rb"));
    if (!file)
        return;  // the reader says "No encuentro el fichero"
    uint8_t header[66];
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header || header[0] != 10 ||
        header[3] != 8 || (header[65] != 1 && header[65] != 3))
        return;  // not a PCX the reader takes: its own messages apply
    const int32_t xmin = header[4] | header[5] << 8, ymin = header[6] | header[7] << 8;
    const int32_t xmax = header[8] | header[9] << 8, ymax = header[10] | header[11] << 8;
    const int32_t w = xmax - xmin + 1, h = ymax - ymin + 1;
    if (header[65] == 1)
        fatal_error("La foto \"%s\" tiene 1 plano de color; hacen falta 3 (24 bits)\n", path);
    if (w != width || h != height)
        fatal_error("La foto \"%s\" mide %d x %d; hace falta %d x %d\n", path, w, h, width, height);
}

void photo_prepare(int32_t index)
{
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) == 0)
        stage.ready.store(1, std::memory_order_relaxed);
}

int32_t photo_render(int32_t) { return 0; }

void photo_tick(int32_t) {}

void photo_release(int32_t index)
{
    Stage& stage = stage_table[index];
    auto* water = static_cast<Water*>(stage.data);
    if (!water)
        return;
    std::free(water->pixels);
    std::free(water);
}

}  // namespace

constexpr StageEntries PHOTO_ENTRIES = {
    .prepare = photo_prepare,
    .render = photo_render,
    .tick = photo_tick,
    .release = photo_release,
};

void photo_create_file(int32_t index, int32_t width, int32_t height, const char* path)
{
    Stage& stage = stage_table[index];
    std::unique_ptr<Water, FreeDeleter> water(static_cast<Water*>(std::malloc(sizeof(Water))));
    if (!water)
        fatal_error("Error: No Hay Suficiente Memoria para Water.\n");
    water->width = width;
    water->height = height;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 4;
    // On a 64-byte boundary for the blend's vector loads; zero-filled, so even a
    // reader that wrote less would leave black, never garbage.
    const size_t rounded = (bytes + 63) / 64 * 64 + 64 * (bytes == 0);
    std::unique_ptr<uint32_t, FreeDeleter> pixels(static_cast<uint32_t*>(std::aligned_alloc(64, rounded)));
    if (!pixels)
        fatal_error("Error: No Hay Suficiente Memoria Para los Buffers del agua.\n");
    std::memset(pixels.get(), 0, rounded);
    water->pixels = pixels.get();
    check_photo_header(path, width, height);
    // Exactly the frame's size: the reader refuses a picture that does not fit.
    read_pcx(path, pixels.get(), bytes, nullptr);
    // Handed to the record only once the photograph is in, so a failure above
    // (which may throw under a test's fatal handler) leaves the record untouched
    // and frees everything.
    stage.output = pixels.release();
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
