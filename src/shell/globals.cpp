// Definitions of the shell's process-wide globals (declared in shell.h), and
// the one routine that fills a stage record.
#include "shell/shell.h"

#include <vector>

int32_t frame_width = 0;
int32_t frame_height = 0;
int32_t display_depth = 0;
std::atomic<int32_t> current_stage{0};
int32_t cue_index = 0;
double clock_base = 0.0;
int32_t done_flag = 0;
int32_t active_flag = 0;
int32_t frame_counter = 0;
uint32_t timer_id = 0;
float frame_rate_base = 0.0f;
Stage* stage_table = nullptr;
float schedule[SCHEDULE_LENGTH] = {};
int32_t stage_table_length = STAGE_COUNT;
const float* cue_times = schedule;
int32_t cue_count = SCHEDULE_LENGTH;

namespace {

// Each record's advance and rewind (StageEntries), by index: the player's
// replay reads them, the record itself keeps only its own fields.
struct StageSeek {
    StageRender advance;
    StageEntry rewind;
};
std::vector<StageSeek> stage_seeks;

}  // namespace

void install_stage(int32_t index, void* data, const StageEntries& entries)
{
    Stage& stage = stage_table[index];
    stage.data = data;
    stage.passes = 1;
    stage.ready.store(0, std::memory_order_relaxed);
    stage.prepare = entries.prepare;
    stage.render = entries.render;
    stage.tick.store(entries.tick, std::memory_order_relaxed);
    stage.release = entries.release;
    if (size_t(index) >= stage_seeks.size())
        stage_seeks.resize(size_t(index) + 1);
    stage_seeks[size_t(index)] = {.advance = entries.advance, .rewind = entries.rewind};
}

int32_t advance_stage(int32_t index)
{
    const StageRender advance = size_t(index) < stage_seeks.size() ? stage_seeks[size_t(index)].advance : nullptr;
    return advance ? advance(index) : stage_table[index].render(index);
}

StageEntry stage_rewind(int32_t index)
{
    return size_t(index) < stage_seeks.size() ? stage_seeks[size_t(index)].rewind : nullptr;
}

void forget_stage_seeks() { stage_seeks.clear(); }
