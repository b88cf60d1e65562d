// Ceiling fade-in stage: brings the next stage's picture up out of black by
// capping every byte of its frame at a level that climbs one step per tick.
#include <cstdlib>
#include <new>

#include "display/display.h"
#include "shell/shell.h"
#include "stages/fades.h"

static CeilingState* state_of(int32_t index) { return static_cast<CeilingState*>(stage_table[index].data); }

static void ceiling_prepare(int32_t index)
{
    stage_table[index + 1].prepare(index + 1);
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) == 0) {
        CeilingState* state = state_of(index);
        state->buffer = static_cast<uint32_t*>(std::calloc(size_t(state->count), 4));
        if (!state->buffer) fatal_error("Error: No Hay Suficiente Memoria.\n");
        stage.output = state->buffer;
        stage.ready.store(1, std::memory_order_relaxed);
    }
}

static int32_t ceiling_render(int32_t index)
{
    Stage& next = stage_table[index + 1];
    next.render(index + 1);
    CeilingState* state = state_of(index);
    // One level for the whole frame, even if a tick lands halfway through.
    uint8_t level = state->level.load(std::memory_order_relaxed);
    ceiling_pass(state->buffer, next.output, level, state->count);
    return state->finished.load(std::memory_order_relaxed);
}

// Timer thread.  The only writer of level and finished after create.
static void ceiling_tick(int32_t index)
{
    stage_table[index + 1].tick.load(std::memory_order_relaxed)(index + 1);
    CeilingState* state = state_of(index);
    uint8_t level = state->level.load(std::memory_order_relaxed);
    if (level == 255)
        state->finished.store(1, std::memory_order_relaxed);
    else
        state->level.store(uint8_t(level + 1), std::memory_order_relaxed);
}

static void ceiling_release(int32_t index)
{
    CeilingState* state = state_of(index);
    if (!state) return;
    std::free(state->buffer);
    state->~CeilingState();
    std::free(state);
}

constexpr StageEntries CEILING_ENTRIES = {
    .prepare = ceiling_prepare,
    .render = ceiling_render,
    .tick = ceiling_tick,
    .release = ceiling_release,
};

void ceiling_create(int32_t index, int32_t width, int32_t height)
{
    void* memory = std::malloc(sizeof(CeilingState));
    if (!memory) fatal_error("Error: No Hay Suficiente Memoria.\n");
    CeilingState* state = new (memory) CeilingState{};  // finished 0, level 0, buffer null
    state->count = width * height;

    install_stage(index, state, CEILING_ENTRIES);
}
