// Start-up in its fixed order, the main loop over the stage table, one step of
// the message pump, one frame, the cue test and the timer tick.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display/convert.h"
#include "display/display.h"
#include "display/error.h"
#include "files/files.h"
#include "files/show_file.h"
#include "files/signals.h"
#include "platform/platform.h"
#include "platform/startup.h"
#include "shell/music.h"
#include "shell/options.h"
#include "shell/player.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "shell/shell_local.h"
#include "stages/show_files.h"
#include "stages/stages.h"

namespace {

constexpr int32_t FRAME_WIDTH = 320;
constexpr int32_t FRAME_HEIGHT = 240;
constexpr const char* ARCHIVE_FILE = "Yurn.pak";

// The data folder of this run (data_folder points into it, so it outlives
// the options it came from) and the archive's path inside it (archive_name
// points into that).
std::string data_folder_storage;
std::string archive_path;

// When the music starts fading out (ms after clock_base) and for how long; a
// negative start once it has been asked for, or when the script leaves the
// end of the music to the track itself.
double music_fade_at = -1.0;
uint32_t music_fade_length = 0;
// The script's fade, as it was armed at start-up (ms; from < 0: none), so a
// seek can arm it again.
double music_fade_from = -1.0;
double music_fade_to = -1.0;

// The script that built the table (null: build_stage_table) and every
// record's passes as it built them: what a rewind puts back.
void (*table_build)() = nullptr;
std::vector<uint32_t> built_passes;

void build_table()
{
    if (table_build)
        table_build();
    else
        build_stage_table();
    built_passes.resize(size_t(stage_table_length));
    for (int32_t i = 0; i < stage_table_length; i++)
        built_passes[size_t(i)] = stage_table[i].passes;
}

void release_stages()
{
    for (int32_t i = 0; i < stage_table_length; i++) {
        Stage& stage = stage_table[i];
        if (stage.data && stage.release)
            stage.release(i);
    }
    clear_stage_table();
}

// The run's data folder (null: the current one) and the archive's path in it.
void use_data_folder(const char* folder)
{
    data_folder_storage = folder ? folder : "";
    data_folder = data_folder_storage.c_str();
    archive_path = data_path(ARCHIVE_FILE);
    archive_name = archive_path.data();
}

// Opens the script's sound track in the data folder (null script: the
// compiled scripts' own); false when the script has none.
bool open_script_music(const StageScript* script)
{
    const char* track = script && script->music ? script->music : SOUND_TRACK;
    if (!*track)
        return false;
    music_open(data_path(track).c_str());
    return true;
}

// YURN_FRAME_FILE: a file that gets the count of presented frames each time
// that count reaches a power of two (1, 2, 4, ...), so a script driving the
// real window can wait until frames are on the screen instead of sleeping.
const char* frame_file = nullptr;

void report_frames()
{
    const int32_t n = frame_counter;
    if (!frame_file || n <= 0 || (n & (n - 1)) != 0)
        return;
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%d\n", n);
    write_whole_file(frame_file, text, size_t(length), nullptr);  // a hook for scripts: failures are theirs to see
}

bool is_directory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool is_file(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The data folder, as a user would look for it: absolute when it can be made so.
std::string shown_folder()
{
    const std::string folder = data_folder && *data_folder ? data_folder : ".";
    char* real = realpath(folder.c_str(), nullptr);
    const std::string shown = real ? real : folder;
    std::free(real);
    return shown;
}

// Where the data come from: one line on standard error for --verbose, and a
// hint under the first missing file's message when the folder holds neither
// datos/ nor the archive.
void describe_data_folder(bool verbose)
{
    const bool has_archive = is_file(archive_path);
    const bool has_folder = is_directory(data_path("datos"));
    if (verbose) {
        if (has_archive)
            std::fprintf(stderr, "yurn: datos de %s, primero del archivo %s y si no de %s\n",
                         shown_folder().c_str(), archive_path.c_str(), data_path("datos/").c_str());
        else
            std::fprintf(stderr, "yurn: datos de %s, sin archivo %s: se leen de %s\n", shown_folder().c_str(),
                         archive_path.c_str(), data_path("datos/").c_str());
    }
    if (!has_archive && !has_folder) {
        char note[1024];
        std::snprintf(note, sizeof note,
                      "Se buscó en %s, que no tiene datos/ ni %s; yurn --data CARPETA lee los datos de otra carpeta.",
                      shown_folder().c_str(), ARCHIVE_FILE);
        set_fatal_note(note);
    }
}

// A second run in the same process (tests) starts from the state a fresh
// process has: the previous run's timer stopped and its stages released.
void end_previous_run()
{
    if (platform && timer_id != 0)
        platform->kill_timer(timer_id);
    if (stage_table)
        release_stages();
    release_display();
}

void reset_globals()
{
    current_stage.store(0, std::memory_order_relaxed);
    cue_index = 0;
    clock_base = 0.0;
    done_flag = 0;
    active_flag = 0;
    frame_counter = 0;
    timer_id = 0;
    frame_rate_base = 0.0f;
    stage_table = nullptr;
    std::memset(schedule, 0, sizeof schedule);
    cue_times = schedule;
    cue_count = SCHEDULE_LENGTH;
    music = nullptr;
    music_fade_at = -1.0;
    music_fade_from = music_fade_to = -1.0;
}

// The script's music fade starts once the show's clock reaches it.
void check_music_fade()
{
    if (music_fade_at >= 0.0 && show_clock_ms() - clock_base >= music_fade_at) {
        music_fade_out(music_fade_length);
        music_fade_at = -1.0;
    }
}

// The script's music fade for the run (ms from the clock base).
void take_music_fade(const StageScript* script)
{
    music_fade_at = music_fade_from = music_fade_to = -1.0;
    if (script && script->music_fade_to > script->music_fade_from && script->music_fade_from >= 0.0f) {
        music_fade_at = double(script->music_fade_from) * 1000.0;
        music_fade_length = uint32_t((script->music_fade_to - script->music_fade_from) * 1000.0f);
        music_fade_from = music_fade_at;
        music_fade_to = double(script->music_fade_to) * 1000.0;
    }
}

// Lock, convert the current record's output, count, unlock, present.
// Stepped over (a seek's replay): the stage's state moves on as render
// would move it, and nothing is drawn, converted or presented.
void produce_frame(bool stepped_over)
{
    const int32_t i = current_stage.load(std::memory_order_relaxed);
    Stage& stage = stage_table[i];
    if (stepped_over) {
        if (stage.ready.load(std::memory_order_relaxed) == 1)
            done_flag = advance_stage(i);
        player_frame_done();
        return;
    }
    const double drawn_at = show_clock_ms() - clock_base;
    const bool first = frame_counter == 0;
    if (first)
        startup_mark("esperar a que la ventana se active");
    if (stage.ready.load(std::memory_order_relaxed) == 1)
        done_flag = stage.render(i);
    if (first)
        startup_mark("primer fotograma: dibujarlo");
    uint8_t* surface = platform->lock_offscreen();
    if (!surface)
        fatal_error("Error al bloquear lpDDSOne");
    // A stage that never set output has nothing to show: the surface keeps
    // its last picture rather than converting from null.
    if (stage.output)
        convert_frame(stage.output, surface, frame_width * frame_height);
    frame_counter++;
    if (platform->unlock_offscreen() != DD_OK)
        fatal_error("Error al desbloquear lpDDSOne");
    if (first)
        startup_mark("primer fotograma: convertirlo");
    player_before_present(drawn_at);
    present_frame();
    if (first)
        startup_finish("primer fotograma: presentarlo");
    report_frames();
    player_frame_done();
    check_music_fade();
}

// --watch: the show file being watched (null: none) and when its files are
// looked at next (platform clock, ms).
const char* watch_path = nullptr;
double next_watch_ms = 0.0;
constexpr double WATCH_PERIOD_MS = 250.0;

// The show file, every data file it reads and its folder's archive.
std::vector<std::string> files_of_show()
{
    std::vector<std::string> paths = {watch_path, archive_path};
    if (const ShowFile* show = opened_show())
        for (const ShowFileUse& use : show_files_used(*show))
            paths.push_back(data_path(use.path.c_str()));
    return paths;
}

// A watched file changed: the show file is read again.  A show that reads
// well replaces the one playing, which goes on at the same time; one that
// does not leaves it playing, its problems printed once (the files are
// looked at again only when they change again).
void reload_watched_show()
{
    const char* kept_folder = data_folder;
    char* kept_archive = archive_name;
    if (open_show_file(watch_path, stderr) != 0) {
        // The failed check pointed these at the show it read.
        data_folder = kept_folder;
        archive_name = kept_archive;
        std::fprintf(stderr, "yurn: sigue el espectáculo anterior; %s se leerá de nuevo cuando cambie\n", watch_path);
        return;
    }
    stop_ticks();  // no tick may reach a stage being released
    release_stages();
    const StageScript* script = selected_stage_script();
    use_data_folder(script->folder);
    build_table();
    take_music_fade(script);
    if (open_script_music(script))
        music_play();
    else
        music_stop();
    watch_files(files_of_show());
    player_reload(double(script->length) * 1000.0);
    std::fprintf(stderr, "yurn: %s ha cambiado: el espectáculo sigue con lo nuevo en el segundo %.3f\n", watch_path,
                 player_state().time_ms / 1000.0);
}

void watch_step()
{
    if (!watch_path)
        return;
    const double now = platform->clock_ms();
    if (now < next_watch_ms)
        return;
    next_watch_ms = now + WATCH_PERIOD_MS;
    if (watched_files_changed())
        reload_watched_show();
}

// One step of the message pump; true when WM_QUIT arrived (its code in
// *code) or the player asked for a seek (the walk starts again).  While a
// seek replays the show, every step makes a frame, taking no message: it
// steps over the frames before the one it lands on, and draws that one, so
// a key pressed meanwhile (a screenshot) comes after it.
bool pump_step(int32_t* code)
{
    if (player_replaying()) {
        produce_frame(!player_replay_draws());
        return player_seek_requested();
    }
    watch_step();
    if (player_seek_requested())
        return true;  // a show read anew: the walk starts again before anything else
    Message message;
    if (peek_message(&message)) {
        if (message.message == WM_QUIT) {
            *code = int32_t(message.wparam);
            return true;
        }
        if (message.message == WM_PLAYER)
            player_command(int32_t(message.wparam));
        else
            dispatch_message(message);
    } else if (active_flag != 0) {
        if (player_holding())
            player_hold();
        else
            produce_frame(false);
    } else {
        wait_message();
    }
    return player_seek_requested();
}

// Why the main loop returned.
enum LoopEnd : int32_t {
    LOOP_SHOW_ENDED,  // the walk reached the record that ends the show
    LOOP_QUIT,        // WM_QUIT: Escape or the window closed
    LOOP_SEEK,        // the player asked for a seek: the walk starts again
};

// Walks the records from the current one to the first whose data is null;
// *code gets the index of that record, or WM_QUIT's code.  The table's end
// also ends the walk, so a script without a terminating record cannot send
// the loop past the table.
LoopEnd main_loop(int32_t* code)
{
    for (;;) {
        const int32_t i = current_stage.load(std::memory_order_relaxed);
        if (i >= stage_table_length || stage_table[i].data == nullptr)
            break;
        stage_table[i].prepare(i);
        if (frame_counter == 0)
            startup_mark("preparar la etapa");
        while (stage_table[i].passes != 0) {
            done_flag = 0;
            // The schedule is tested first, so it runs once more after a
            // render has reported done.
            while (cue_pending() == 1 && done_flag == 0) {
                if (pump_step(code))
                    return player_seek_requested() ? LOOP_SEEK : LOOP_QUIT;
            }
            stage_table[i].passes--;
        }
        stage_finished(i);
        current_stage.store(i + 1, std::memory_order_relaxed);
    }
    *code = current_stage.load(std::memory_order_relaxed);
    return LOOP_SHOW_ENDED;
}

// The main loop, walked again from the first record after each seek; the
// loop's code.
int32_t play(bool seek)
{
    for (;;) {
        if (seek) {
            rewind_show();
            player_begin_replay();
        }
        int32_t code = 0;
        const LoopEnd end = main_loop(&code);
        seek = end == LOOP_SEEK || (end == LOOP_SHOW_ENDED && player_show_ended());
        if (!seek)
            return code;
    }
}

}  // namespace

void rewind_show()
{
    bool rewinds = true;
    for (int32_t i = 0; i < stage_table_length && stage_table[i].data; i++)
        rewinds = rewinds && stage_rewind(i);
    if (rewinds) {
        for (int32_t i = 0; i < stage_table_length && stage_table[i].data; i++) {
            stage_rewind(i)(i);
            stage_table[i].passes = built_passes[size_t(i)];
        }
    } else {
        // A stage that cannot go back is made again, with the whole table.
        release_stages();
        build_table();
    }
    current_stage.store(0, std::memory_order_relaxed);
    cue_index = 0;
    done_flag = 0;
}

void arm_music_fade(double show_ms)
{
    music_fade_at = -1.0;
    if (music_fade_from < 0.0 || show_ms >= music_fade_to)
        return;
    music_fade_at = show_ms > music_fade_from ? show_ms : music_fade_from;
    music_fade_length = uint32_t(music_fade_to - music_fade_at);
}

void stop_ticks()
{
    if (timer_id != 0)
        platform->kill_timer(timer_id);
    timer_id = 0;
}

void resume_ticks()
{
    if (timer_id == 0 && start_timer(TICK_MS) == 0)
        fatal_error("ERROR: no puedo crear el timer");
}

int32_t run_show(const Options& options) { return run_show_script(options, nullptr); }

int32_t run_show_script(const Options& options, void (*build)())
{
    end_previous_run();
    reset_globals();
    platform_fatal = fatal_error;
    platform_reason = system_reason;
    platform_file_kind = [](uint32_t mode) { return file_kind(mode_t(mode)); };
    platform_player_post = player_post;
    platform_player_view = player_state;
    select_platform({
        .headless = options.headless,
        .window = options.window,
        .offered_modes = options.offered_modes,
        .mode_555 = options.mode_555,
        .fps_numerator = options.fps_numerator,
        .fps_denominator = options.fps_denominator,
    });
    startup_mark("elegir la plataforma");
    // A show file was read and selected before (stages/show_files.h).
    if (!build && !options.show && !select_stage_script(options.script))
        fatal_error("No existe el guion de etapas \"%s\"", options.script);
    const StageScript* script = build ? nullptr : selected_stage_script();
    if (options.show && (!script || !script->folder))
        fatal_error("No se ha leído el espectáculo \"%s\"", options.show);
    frame_file = std::getenv("YURN_FRAME_FILE");
    if (frame_file && !*frame_file)
        frame_file = nullptr;

    current_stage.store(0, std::memory_order_relaxed);
    display_depth = 32;
    frame_width = FRAME_WIDTH;
    frame_height = FRAME_HEIGHT;
    use_data_folder(script && script->folder ? script->folder : options.data);
    open_script_music(script);
    startup_mark("buscar la música");
    // In a window, Ctrl+C and SIGTERM close the show as its close button does.
    if (!options.headless && !options.capture)
        signals_leave_to_window();
    if (init_display() != 0)
        fatal_error("ERROR al inicializar la aplicación");
    startup_mark("terminar de preparar la pantalla");
    describe_data_folder(options.verbose);
    table_build = build;
    build_table();
    startup_mark("crear las etapas (archivo, fotos)");
    set_fatal_note("");
    take_music_fade(script);
    watch_path = options.watch && options.show ? options.show : nullptr;
    next_watch_ms = 0.0;
    if (watch_path)
        watch_files(files_of_show());
    if (display_depth == 8)
        set_palette_332();
    player_setup({.fps_numerator = options.fps_numerator,
                  .fps_denominator = options.fps_denominator,
                  .from_ms = options.from_ms,
                  .paused = options.paused,
                  .loop = options.loop,
                  .show_name = options.show && opened_show() ? opened_show()->name.c_str() : options.script,
                  .length_ms = script ? double(script->length) * 1000.0 : 0.0});
    music_play();
    startup_mark("abrir el sonido y empezar la música");
    resume_ticks();
    startup_mark("arrancar el temporizador");
    clock_base = platform->clock_ms();
    const int32_t code = play(player_start());
    // A show file may end with a code of its own; Escape still ends with 0.
    const int32_t end = current_stage.load(std::memory_order_relaxed);
    if (script && script->exit_code >= 0 && code == end && end < stage_table_length && !stage_table[end].data)
        return script->exit_code;
    return code;
}

int32_t cue_pending()
{
    if (cue_index >= cue_count)
        return 0;  // no cue left: every interval ends at once, and so does the show
    const double elapsed = show_clock_ms() - clock_base;
    const double limit = double(cue_times[cue_index]) * 1000.0;
    if (limit < elapsed) {
        cue_index++;
        return 0;
    }
    return 1;
}

void timer_tick()
{
    const int32_t i = current_stage.load(std::memory_order_relaxed);
    const Stage* table = stage_table;
    if (!table || i < 0 || i >= stage_table_length)
        return;
    if (table[i].ready.load(std::memory_order_relaxed) == 1) {
        const StageEntry tick = table[i].tick.load(std::memory_order_relaxed);
        if (tick)
            tick(i);
    }
}

void tick_current_stage()
{
    const int32_t i = current_stage.load(std::memory_order_relaxed);
    const StageEntry tick = stage_table[i].tick.load(std::memory_order_relaxed);
    if (tick)
        tick(i);
}

void stage_finished(int32_t) {}

int32_t start_timer(uint32_t period_ms)
{
    timer_id = platform->start_timer(period_ms, timer_tick);
    return timer_id != 0 ? 1 : 0;
}

void format_frame_rate(char* text, size_t size)
{
    const float now = float(platform ? platform->clock_ms() : steady_ms());
    const float elapsed = now - frame_rate_base;
    frame_rate_base = elapsed;  // the elapsed time, not the clock, as the report always kept it
    const int32_t frames = frame_counter;
    const uint32_t scaled = uint32_t(frames) * 1000u;  // 32-bit product, taken as unsigned
    int32_t fps = 0;
    if (elapsed > 0.0f) {
        const float rate = float(scaled) / elapsed;
        fps = rate < 2147483647.0f ? int32_t(rate) : 2147483647;
    }
    const int32_t seconds = int32_t(elapsed * 0.001f);
    std::snprintf(text, size, "Efecto compatible con las Vortal %s\n\n%d frames renderizados en %d segundos: %d FPS",
                  "2.1", frames, seconds, fps);
}

int32_t show_frame_rate()
{
    char text[256];
    format_frame_rate(text, sizeof text);
    if (platform && platform->has_display()) {
        platform->message_box("FPS", text);
        return 1;
    }
    std::fprintf(stderr, "%s\n", text);
    return 0;
}
