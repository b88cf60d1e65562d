// The engine show: the effect library and the 3D engine on stage.
#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/scene3d.h"
#include "stages/show_stages.h"
#include "stages/stages.h"

namespace {

constexpr StageCreate ENGINE_STAGES[] = {
    ceiling_create,    // 0: fades the knot in from black
    scene_knot_create, // 1
    crossfade_create,  // 2: knot -> lit scene
    scene_lit_create,  // 3
    crossfade_create,  // 4: lit scene -> photograph
    photo_create_1,    // 5
    fadeout_create,    // 6: to black, held until the last cue
};
constexpr int32_t ENGINE_STAGE_COUNT = int32_t(sizeof ENGINE_STAGES / sizeof ENGINE_STAGES[0]);
static_assert(ENGINE_STAGE_COUNT < STAGE_COUNT, "the terminating record must fit the table");

}  // namespace

void build_engine_show()
{
    for (int32_t i = 0; i < SCHEDULE_LENGTH; i++)
        schedule[i] = ENGINE_SCHEDULE[i];
    stage_table = clear_stage_table();
    for (int32_t i = 0; i < ENGINE_STAGE_COUNT; i++)
        stage_table[i].create = ENGINE_STAGES[i];
    for (int32_t i = 0; i < ENGINE_STAGE_COUNT; i++)
        stage_table[i].create(i, frame_width, frame_height);
    stage_table[ENGINE_STAGE_COUNT].data = nullptr;  // record 7 ends the show: exit code 7
}
