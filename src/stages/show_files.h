// Show files on stage: a show file read by files/show_file.h becomes the
// script build_stage_table runs (its stage records, its cues, its music and
// its end); its data files are checked before anything plays; the compiled
// scripts are printed in the same format.  Called from main (yurn --show,
// --check, --print-show) and from the tests; main thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "files/show_file.h"
#include "stages/stages.h"

// The size a photograph must have (the frame) and a texture's side.
constexpr int32_t SHOW_PHOTO_WIDTH = 320;
constexpr int32_t SHOW_PHOTO_HEIGHT = 240;
constexpr int32_t SHOW_TEXTURE_SIDE = 256;

// Opens every data file the show names, in the show's own folder and its
// Yurn.pak as the show will (data_folder and archive_name are set for it and
// left so): photographs and textures decoded whole at their size, meshes
// loaded, the music looked for on disk.  Each fault found becomes a problem
// at the line that names the file; a missing music is only a warning (the
// show then plays in silence).  True when no data file is at fault.
bool check_show_files(const ShowFile& show, std::vector<ShowProblem>* problems,
                      std::vector<ShowProblem>* warnings);

// Reads the show file at path and checks its data; prints every problem on
// errors as "yurn: FILE:LINE:COLUMN: message".  On success the show becomes
// the selected script (run_show with Options::show plays it) and 0 is
// returned; otherwise 2 for a malformed show file, 1 for a missing or bad
// data file (or a show file that cannot be read).
int32_t open_show_file(const char* path, FILE* errors);

// The show opened last; null before open_show_file succeeded.
const ShowFile* opened_show();

// yurn --check: open_show_file, then the timeline (time, stage, files) on
// out.  Returns what open_show_file returned.
int32_t check_show_command(const char* path, FILE* out, FILE* errors);

// Writes the timeline of a show: one line per stage with its start, its end,
// its type and the files it reads; then the end, the exit code and the music.
void print_show_timeline(const ShowFile& show, FILE* out);

// Writes the show file equivalent to the compiled script name ("show",
// "engine", "standin"); false (nothing written) for another name.
bool print_builtin_show(const char* name, FILE* out);
