// A stage of one's own put into a show: a colour wash that slides with the
// 14 ms timer ticks, cross-faded into the show's first photograph, recorded
// frame by frame on the virtual clock:
//   own_stage DATA_DIR OUT_DIR     (DATA_DIR holds datos/ and Yurn.pak, e.g. /usr/share/yurn)
// Exit code 3: the show ran to record 3, the one that ends it.
#include <atomic>
#include <string>
#include <vector>

#include <yurn/capture/capture.h>     // capture_begin, capture_end
#include <yurn/files/files.h>         // data_folder, data_path
#include <yurn/shell/options.h>
#include <yurn/shell/run.h>           // run_show_script
#include <yurn/shell/shell.h>         // the stage record, install_stage
#include <yurn/stages/show_stages.h>  // crossfade_create, photo_create_1
#include <yurn/stages/stages.h>       // clear_stage_table

namespace {

std::vector<uint32_t> wash;       // the stage's frame: its record's output
std::atomic<uint32_t> ticks{0};   // the timer thread writes, render reads

// The entry points: prepare (main thread, when the stage becomes current),
// render (main, every frame; non-zero would end the interval before its cue),
// tick (timer thread, every 14 ms) and release; create installs them.
void wash_prepare(int32_t index) { stage_table[index].ready.store(1, std::memory_order_relaxed); }
int32_t wash_render(int32_t)
{
    const uint32_t t = ticks.load(std::memory_order_relaxed);  // red slides with the ticks, green down the rows
    for (int32_t p = 0; p < frame_width * frame_height; p++)
        wash[size_t(p)] = ((p % frame_width + t) & 0xFF) << 16 | (p / frame_width & 0xFF) << 8 | 0x40;
    return 0;
}
void wash_tick(int32_t) { ticks.store(ticks.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
void wash_release(int32_t) {}
void wash_create(int32_t index, int32_t width, int32_t height)
{
    wash.assign(size_t(width * height), 0);
    ticks.store(0, std::memory_order_relaxed);  // a show built again (a player's seek back) starts afresh
    install_stage(index, &wash, {.prepare = wash_prepare, .render = wash_render, .tick = wash_tick,
                                 .release = wash_release});
    stage_table[index].output = wash.data();
}

// The wash until 2 s, the cross-fade (it ends itself after 1.78 s), the photograph until 5 s.
void build_my_show()
{
    for (float& cue : schedule)
        cue = 5;
    schedule[0] = 2;
    stage_table = clear_stage_table();
    const StageCreate creates[3] = {wash_create, crossfade_create, photo_create_1};
    for (int32_t i = 0; i < 3; i++)
        (stage_table[i].create = creates[i])(i, frame_width, frame_height);
    stage_table[3].data = nullptr;  // ends the show
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    Options options;
    options.headless = true;  // no window, no sound, the virtual clock
    options.fps_numerator = 10;
    options.data = data_folder = argv[1];
    const std::string track = data_path(SOUND_TRACK);
    capture_begin({.target = argv[2], .format = CAPTURE_PNG, .fps_numerator = 10, .fps_denominator = 1,
                   .sound_track = track.c_str(), .show_length_ms = 5000});
    return capture_end(run_show_script(options, build_my_show));
}
