// Ceiling fade-in stage: brings the next stage's picture up out of black by
// capping every byte of its frame at a level that climbs one step per tick.
#include "display/error.h"
#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/stages_local.h"

namespace {

constexpr const char* OUT_OF_MEMORY = "Error: No Hay Suficiente Memoria.\n";

CeilingState* state_of(int32_t index) { return static_cast<CeilingState*>(stage_table[index].data); }

void ceiling_prepare(int32_t index)
{
    stage_table[index + 1].prepare(index + 1);
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) == 0) {
        CeilingState* state = state_of(index);
        state->buffer = allocate_frame(state->count, "%s", OUT_OF_MEMORY).release();  // cleared to 0
        stage.output = state->buffer;
        stage.ready.store(1, std::memory_order_relaxed);
    }
}

int32_t ceiling_render(int32_t index)
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
void ceiling_tick(int32_t index)
{
    stage_table[index + 1].tick.load(std::memory_order_relaxed)(index + 1);
    CeilingState* state = state_of(index);
    uint8_t level = state->level.load(std::memory_order_relaxed);
    if (level == 255)
        state->finished.store(1, std::memory_order_relaxed);
    else
        state->level.store(uint8_t(level + 1), std::memory_order_relaxed);
}

// render without the pass: the next stage advances, the same result.
int32_t ceiling_advance(int32_t index)
{
    advance_stage(index + 1);
    return state_of(index)->finished.load(std::memory_order_relaxed);
}

void ceiling_rewind(int32_t index)
{
    CeilingState* state = state_of(index);
    state->level.store(0, std::memory_order_relaxed);
    state->finished.store(0, std::memory_order_relaxed);
}

void ceiling_release(int32_t index)
{
    std::unique_ptr<CeilingState> state = take_stage_state<CeilingState>(index);
    if (state)
        free_frame(state->buffer);
}

}  // namespace

constexpr StageEntries CEILING_ENTRIES = {
    .prepare = ceiling_prepare,
    .render = ceiling_render,
    .tick = ceiling_tick,
    .release = ceiling_release,
    .advance = ceiling_advance,
    .rewind = ceiling_rewind,
};

void ceiling_create(int32_t index, int32_t width, int32_t height)
{
    // It reads the next record: in the last one (or outside the table) it
    // would read past the table's end.
    if (index < 0 || index >= stage_table_length - 1)
        fatal_error("Error: un fundido desde negro necesita la etapa siguiente; no puede ir en el registro %d.\n", index);
    std::unique_ptr<CeilingState> state = allocate_state<CeilingState>("%s", OUT_OF_MEMORY);  // finished 0, level 0, buffer null
    state->count = width * height;
    install_stage(index, state.release(), CEILING_ENTRIES);
}
