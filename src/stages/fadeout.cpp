// Fade-out stage: takes the previous stage's picture down to black by lowering
// its colour lanes by a level that climbs 2.5 per tick.  It never reports
// that it has finished: once black it stays black until its cue.
#include "display/error.h"
#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/stages_local.h"

namespace {

constexpr const char* OUT_OF_MEMORY = "Error: No Hay Suficiente Memoria.\n";

FadeOutState* state_of(int32_t index) { return static_cast<FadeOutState*>(stage_table[index].data); }

// The previous stage was current just before and is prepared already.
void fadeout_prepare(int32_t index)
{
    Stage& stage = stage_table[index];
    if (stage.ready.load(std::memory_order_relaxed) != 0)
        return;
    FadeOutState* state = state_of(index);
    state->buffer = allocate_frame(state->count, "%s", OUT_OF_MEMORY).release();
    stage.output = state->buffer;
    stage.ready.store(1, std::memory_order_relaxed);
}

int32_t fadeout_render(int32_t index)
{
    Stage& previous = stage_table[index - 1];
    previous.render(index - 1);
    FadeOutState* state = state_of(index);
    // Truncation toward zero: 7.5 after three ticks darkens by 7.
    uint8_t amount = uint8_t(int32_t(state->level.load(std::memory_order_relaxed)));
    // Copy and darken in one pass; the same bytes as a copy followed by darken.
    darken_copy(state->buffer, previous.output, amount, state->count);
    return state->finished.load(std::memory_order_relaxed);
}

// Timer thread.  The only writer of level after create.
void fadeout_tick(int32_t index)
{
    stage_table[index - 1].tick.load(std::memory_order_relaxed)(index - 1);
    FadeOutState* state = state_of(index);
    float level = state->level.load(std::memory_order_relaxed) + 2.5f;
    state->level.store(level > 255.0f ? 255.0f : level, std::memory_order_relaxed);
}

// render without the copy: the previous stage advances, the same result.
int32_t fadeout_advance(int32_t index)
{
    advance_stage(index - 1);
    return state_of(index)->finished.load(std::memory_order_relaxed);
}

void fadeout_rewind(int32_t index)
{
    FadeOutState* state = state_of(index);
    state->level.store(0.0f, std::memory_order_relaxed);
    state->finished.store(0, std::memory_order_relaxed);
}

void fadeout_release(int32_t index)
{
    std::unique_ptr<FadeOutState> state = take_stage_state<FadeOutState>(index);
    if (state)
        free_frame(state->buffer);
}

}  // namespace

constexpr StageEntries FADEOUT_ENTRIES = {
    .prepare = fadeout_prepare,
    .render = fadeout_render,
    .tick = fadeout_tick,
    .release = fadeout_release,
    .advance = fadeout_advance,
    .rewind = fadeout_rewind,
};

void fadeout_create(int32_t index, int32_t width, int32_t height)
{
    // It reads the previous record: in record 0 it would read before the
    // table's start.
    if (index < 1 || index >= stage_table_length)
        fatal_error("Error: un fundido a negro necesita la etapa anterior; no puede ir en el registro %d.\n", index);
    std::unique_ptr<FadeOutState> state = allocate_state<FadeOutState>("%s", OUT_OF_MEMORY);  // finished 0, level 0.0, buffer null
    state->count = width * height;
    install_stage(index, state.release(), FADEOUT_ENTRIES);
}
