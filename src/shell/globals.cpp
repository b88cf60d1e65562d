// Definitions of the shell's process-wide globals (declared in shell.h), and
// the one routine that fills a stage record.
#include "shell/shell.h"

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
    stage.advance = entries.advance;
    stage.rewind = entries.rewind;
}

int32_t advance_stage(int32_t index)
{
    Stage& stage = stage_table[index];
    return stage.advance ? stage.advance(index) : stage.render(index);
}
