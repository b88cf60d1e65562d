// The photograph show's stage script: ten photographs on the even records,
// a cross-fade on every odd record between them, record 19 ends the show.
#include "shell/shell.h"
#include "stages/show_stages.h"
#include "stages/stages.h"

namespace {

constexpr int32_t SHOW_END = 2 * PHOTO_COUNT - 1;  // 19: the terminating record

}  // namespace

void build_photo_show()
{
    for (int32_t i = 0; i < SCHEDULE_LENGTH; i++)
        schedule[i] = SHOW_SCHEDULE[i];
    // Static, zero-filled storage: it cannot fail, and record 19's ready reads 0
    // for the timer that goes on ticking after the show's end.
    stage_table = clear_stage_table();
    for (int32_t k = 0; k < PHOTO_COUNT; k++)
        stage_table[2 * k].create = photo_creates[k];
    for (int32_t i = 1; i < SHOW_END; i += 2)
        stage_table[i].create = crossfade_create;
    // In index order: every photograph is read before the first frame.
    for (int32_t i = 0; i < SHOW_END; i++)
        stage_table[i].create(i, frame_width, frame_height);
    stage_table[SHOW_END].data = nullptr;
}
