// Stand-in stages: a test pattern with the stage's index, and one that ends
// its interval early after a number of ticks.
#include "stages/standin.h"

#include <atomic>
#include <memory>
#include <vector>

#include "display/error.h"
#include "shell/shell.h"
#include "stages/stages_local.h"

namespace {

struct StandIn {
    std::vector<uint32_t> frame;   // width * height, the record's output
    int32_t width;
    int32_t height;
    uint32_t end_after;            // ticks after which render reports done; 0 = never
    std::atomic<uint32_t> ticks;   // written by the timer only, read by render
};

// 3 x 5 digits, one row per 3 bits, top row first.
constexpr uint16_t DIGITS[10] = {
    0x7B6F, 0x2C97, 0x73E7, 0x72CF, 0x5BC9, 0x79CF, 0x79EF, 0x7249, 0x7BEF, 0x7BCF,
};
constexpr uint32_t BARS[8] = {
    0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x000000,
};
constexpr int32_t DIGIT_SCALE = 8;

StandIn* state_of(int32_t index) { return static_cast<StandIn*>(stage_table[index].data); }

void fill_rect(StandIn& s, int32_t x0, int32_t y0, int32_t w, int32_t h, uint32_t colour)
{
    for (int32_t y = y0 < 0 ? 0 : y0; y < y0 + h && y < s.height; y++)
        for (int32_t x = x0 < 0 ? 0 : x0; x < x0 + w && x < s.width; x++)
            s.frame[size_t(y) * size_t(s.width) + size_t(x)] = colour;
}

void draw_digit(StandIn& s, int32_t x0, int32_t y0, int32_t digit)
{
    for (int32_t row = 0; row < 5; row++)
        for (int32_t column = 0; column < 3; column++)
            if (DIGITS[digit] >> (14 - (row * 3 + column)) & 1)
                fill_rect(s, x0 + column * DIGIT_SCALE, y0 + row * DIGIT_SCALE, DIGIT_SCALE, DIGIT_SCALE, 0xFFFFFF);
}

void standin_prepare(int32_t index) { stage_table[index].ready.store(1, std::memory_order_relaxed); }

int32_t standin_render(int32_t index)
{
    StandIn& s = *state_of(index);
    const uint32_t ticks = s.ticks.load(std::memory_order_relaxed);
    // Colour bars on the top two thirds, a ground below: grey for the early one.
    const int32_t bar_height = s.height * 2 / 3;
    for (int32_t bar = 0; bar < 8; bar++)
        fill_rect(s, bar * s.width / 8, 0, s.width / 8 + 1, bar_height, BARS[(bar + index) % 8]);
    fill_rect(s, 0, bar_height, s.width, s.height - bar_height, s.end_after ? 0x404040 : 0x102040);
    // A bar that moves one column per tick: the timer is running.
    fill_rect(s, int32_t(ticks % uint32_t(s.width)), bar_height, 4, s.height - bar_height, 0xFF8000);
    // The index, in white, on a black plate.
    const int32_t digit_w = 4 * DIGIT_SCALE;
    const int32_t x0 = (s.width - 2 * digit_w) / 2, y0 = (s.height - 6 * DIGIT_SCALE) / 2;
    fill_rect(s, x0 - DIGIT_SCALE, y0 - DIGIT_SCALE, 2 * digit_w + DIGIT_SCALE, 7 * DIGIT_SCALE, 0);
    draw_digit(s, x0, y0, (index / 10) % 10);
    draw_digit(s, x0 + digit_w, y0, index % 10);
    return s.end_after != 0 && ticks >= s.end_after ? 1 : 0;
}

// One writer (the timer), so a load and a store: no read-modify-write needed.
void standin_tick(int32_t index)
{
    StandIn& s = *state_of(index);
    s.ticks.store(s.ticks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void standin_release(int32_t index)
{
    take_stage_state<StandIn>(index);  // the frame goes with the state
}

void standin_create(int32_t index, int32_t width, int32_t height, uint32_t end_after)
{
    std::unique_ptr<StandIn> state =
        allocate_state<StandIn>("Error: No hay memoria suficiente para la etapa de prueba %d.\n", index);
    if (width <= 0 || height <= 0)
        fatal_error("Tamaño de fotograma no válido para la etapa %d: %d x %d", index, width, height);
    state->frame.assign(size_t(width) * size_t(height), 0);
    state->width = width;
    state->height = height;
    state->end_after = end_after;
    stage_table[index].output = state->frame.data();
    install_stage(index, state.release(),
                  {.prepare = standin_prepare, .render = standin_render, .tick = standin_tick, .release = standin_release});
}

}  // namespace

void standin_pattern_create(int32_t index, int32_t width, int32_t height) { standin_create(index, width, height, 0); }

void standin_early_create(int32_t index, int32_t width, int32_t height)
{
    standin_create(index, width, height, STANDIN_EARLY_TICKS);
}

uint32_t standin_ticks(int32_t index)
{
    const Stage& stage = stage_table[index];
    if (!stage.data || (stage.create != standin_pattern_create && stage.create != standin_early_create))
        return 0;
    return static_cast<const StandIn*>(stage.data)->ticks.load(std::memory_order_relaxed);
}
