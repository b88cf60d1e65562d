// The compiled-in stage scripts and the stage table's storage.
#include <cstring>
#include <memory>
#include <new>

#include "display/error.h"

#include "shell/shell.h"
#include "stages/stages.h"
#include "stages/scene3d.h"
#include "stages/show_stages.h"
#include "stages/standin.h"

namespace {

// The photograph show's layout: records 0-18 are stages, 19 ends the show.
constexpr int32_t SHOW_LAST_STAGE = 2 * PHOTO_COUNT - 2;

// Static storage: zero before main, cleared again for every run.
Stage table_storage[STAGE_COUNT];
// A show file's table when it needs more records; freed by clear_stage_table.
// A plain pointer, not a unique_ptr: like the rest of the show it is left to
// the process's end, never freed by a static destructor while its stages
// still point at their state.
Stage* large_table = nullptr;

void clear_record(Stage& stage)
{
    stage.reserved = 0;
    stage.passes = 0;
    stage.ready.store(0, std::memory_order_relaxed);
    stage.output = nullptr;
    stage.data = nullptr;
    stage.create = nullptr;
    stage.prepare = nullptr;
    stage.render = nullptr;
    stage.tick.store(nullptr, std::memory_order_relaxed);
    stage.release = nullptr;
}

// The show's layout with stand-ins: a pattern in every even record (where the
// photographs go) and an early-ending stage in every odd one (the cross-fades).
void build_standin_show()
{
    for (int32_t i = 0; i < SCHEDULE_LENGTH; i++)
        schedule[i] = SHOW_SCHEDULE[i];
    stage_table = clear_stage_table();
    for (int32_t i = 0; i <= SHOW_LAST_STAGE; i++)
        stage_table[i].create = i % 2 == 0 ? standin_pattern_create : standin_early_create;
    for (int32_t i = 0; i <= SHOW_LAST_STAGE; i++)
        stage_table[i].create(i, frame_width, frame_height);
    stage_table[SHOW_LAST_STAGE + 1].data = nullptr;
}

constexpr StageScript SCRIPTS[] = {
    {.name = "show",
     .description = "el espectáculo: diez fotos unidas por fundidos (50 s)",
     .build = build_photo_show,
     .music_fade_from = 0.0f,  // the track itself fades out by 50 s
     .music_fade_to = 0.0f,
     .length = 50.0f},
    // The engine show ends at 27.5 s, halfway through the track: the music
    // fades out with the picture's fade to black, from the last cue before it.
    {.name = "engine",
     .description = "la biblioteca en escena: el motor 3D entre fundidos (27,5 s)",
     .build = build_engine_show,
     .music_fade_from = 24.0f,
     .music_fade_to = 27.5f,
     .length = 27.5f},
    {.name = "standin",
     .description = "el espectáculo con etapas de prueba (50 s)",
     .build = build_standin_show,
     .music_fade_from = 0.0f,
     .music_fade_to = 0.0f,
     .length = 50.0f},
};
constexpr int32_t SCRIPT_COUNT = int32_t(sizeof SCRIPTS / sizeof SCRIPTS[0]);

const StageScript* selected = &SCRIPTS[0];

}  // namespace

Stage* clear_stage_table()
{
    forget_stage_seeks();
    for (Stage& stage : table_storage)
        clear_record(stage);
    std::unique_ptr<Stage[]>(large_table).reset();
    large_table = nullptr;
    stage_table_length = STAGE_COUNT;
    return table_storage;
}

Stage* make_stage_table(int32_t records)
{
    Stage* table = clear_stage_table();
    if (records <= STAGE_COUNT)
        return table;
    try {
        large_table = std::make_unique<Stage[]>(size_t(records)).release();  // value-initialised: all zero
    } catch (const std::bad_alloc&) {
        fatal_error("Error: No hay memoria suficiente para %d etapas\n", records);
    }
    stage_table_length = records;
    return large_table;
}

const StageScript* selected_stage_script() { return selected; }

void select_loaded_script(const StageScript* script) { selected = script; }

const StageScript* find_stage_script(const char* name)
{
    for (const StageScript& script : SCRIPTS)
        if (name && !std::strcmp(script.name, name))
            return &script;
    return nullptr;
}

bool select_stage_script(const char* name)
{
    const StageScript* script = find_stage_script(name);
    if (!script)
        return false;
    selected = script;
    return true;
}

int32_t stage_script_count() { return SCRIPT_COUNT; }

const StageScript* stage_script_at(int32_t index)
{
    return index >= 0 && index < SCRIPT_COUNT ? &SCRIPTS[index] : nullptr;
}

void build_stage_table() { selected->build(); }
