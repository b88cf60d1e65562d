// A show file on stage: its data files checked, its stage table built, its
// timeline printed; and the compiled scripts printed as show files.
#include "stages/show_files.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "display/error.h"
#include "engine/engine.h"
#include "files/files.h"
#include "shell/shell.h"
#include "stages/fades.h"
#include "stages/scene3d.h"
#include "stages/show_stages.h"
#include "stages/stages_local.h"
#include "stages/standin.h"

namespace {

// The show being played: its records' create entry points read their files
// and scenes from here, so it lives until the next show is opened.
ShowFile loaded;
bool has_loaded = false;
StageScript loaded_script;
std::string archive_storage;  // archive_name points into it while checking

// fatal_error from a reader, caught while checking so every file is looked at.
struct Rejected : std::runtime_error {
    using std::runtime_error::runtime_error;
};
void throw_rejection(const char* message) { throw Rejected(message); }

struct CatchRejections {
    CatchRejections() { set_fatal_handler(throw_rejection); }
    ~CatchRejections() { set_fatal_handler(nullptr); }
};

std::string trimmed(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Runs check; a fatal_error inside becomes a problem at place.
template <class F>
void look_at(ShowPlace place, std::vector<ShowProblem>* problems, F check)
{
    try {
        check();
    } catch (const Rejected& rejected) {
        problems->push_back({place, trimmed(rejected.what())});
    }
}

void check_mesh(const std::string& path)
{
    const size_t n = path.size();
    const bool is_3ds = n >= 4 && path[n - 4] == '.' && (path[n - 3] | 0x20) == '3' && (path[n - 2] | 0x20) == 'd' &&
                        (path[n - 1] | 0x20) == 's';
    if (is_3ds) {
        Scene scene;
        scene.load_3ds(path.c_str());
        if (scene.object_count < 1)
            fatal_error("El archivo \"%s\" no contiene ninguna malla", path.c_str());
        return;
    }
    destroy_object(load_object(path.c_str()));
}

void show_photo_create(int32_t index, int32_t width, int32_t height)
{
    photo_create_file(index, width, height, loaded.stages[size_t(index)].file.c_str());
}

void show_crossfade_create(int32_t index, int32_t width, int32_t height)
{
    crossfade_create(index, width, height);
    static_cast<CrossFade*>(stage_table[index].data)->step = loaded.stages[size_t(index)].fade_step;
}

void show_scene_create(int32_t index, int32_t width, int32_t height)
{
    scene_create_described(index, width, height, loaded.scenes[size_t(loaded.stages[size_t(index)].scene)]);
}

StageCreate create_for(const ShowStage& stage)
{
    switch (stage.kind) {
    case ShowKind::photo: return show_photo_create;
    case ShowKind::crossfade: return stage.fade_step == 2.0f ? crossfade_create : show_crossfade_create;
    case ShowKind::ceiling: return ceiling_create;
    case ShowKind::fadeout: return fadeout_create;
    case ShowKind::scene: return show_scene_create;
    case ShowKind::standin: return stage.early ? standin_early_create : standin_pattern_create;
    }
    return nullptr;
}

// The loaded show's script: its records in order, then the terminating one.
void build_loaded_show()
{
    const int32_t count = int32_t(loaded.stages.size());
    stage_table = make_stage_table(count + 1);
    cue_times = loaded.schedule.data();
    cue_count = int32_t(loaded.schedule.size());
    for (int32_t i = 0; i < count; i++)
        stage_table[i].create = create_for(loaded.stages[size_t(i)]);
    // In index order: every file is read before the first frame.
    for (int32_t i = 0; i < count; i++)
        stage_table[i].create(i, frame_width, frame_height);
    stage_table[count].data = nullptr;
}

void print_problems(FILE* errors, const std::string& name, const std::vector<ShowProblem>& problems, const char* kind)
{
    for (const ShowProblem& problem : problems) {
        ShowProblem shown = problem;
        shown.message = kind + shown.message;
        std::fprintf(errors, "yurn: %s\n", format_show_problem(name, shown).c_str());
    }
}

// --- printing --------------------------------------------------------------

// A float as the shortest decimal that reads back as the same float.
std::string number(float value)
{
    char text[40];
    for (int digits = 0; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*f", digits, double(value));
        if (float(std::strtod(text, nullptr)) == value)
            return text;
    }
    std::snprintf(text, sizeof text, "%.17g", double(value));
    return text;
}

void print_spare(FILE* out, const float* cues, int32_t used)
{
    std::fprintf(out, "spare_cues = [");
    for (int32_t i = used; i < SCHEDULE_LENGTH; ++i)
        std::fprintf(out, "%s%s", i == used ? "" : ", ", number(cues[i]).c_str());
    std::fprintf(out, "]\n");
}

void print_head(FILE* out, const StageScript& script, const char* comment, int32_t exit_code, const float* cues,
                int32_t used)
{
    std::fprintf(out,
                 "# %s\n"
                 "# Written by yurn --print-show %s; yurn --show FILE plays it frame for frame\n"
                 "# as yurn --script %s does.  Paths are relative to this file's folder.\n"
                 "version = %d\n"
                 "title = \"%s\"\n"
                 "exit_code = %d\n"
                 "length = %s\n"
                 "# Cues after the stages' own, used only when a stage runs past its cue\n"
                 "# (a window minimised during a fade); taken as written.\n",
                 comment, script.name, script.name, SHOW_VERSION, script.description, exit_code,
                 number(script.length).c_str());
    print_spare(out, cues, used);
    std::fprintf(out, "\n[music]\nfile = \"%s\"\n", SOUND_TRACK);
    if (script.music_fade_to > script.music_fade_from)
        std::fprintf(out, "fade_from = %s\nfade_to = %s\n", number(script.music_fade_from).c_str(),
                     number(script.music_fade_to).c_str());
}

void print_photo_show(FILE* out, const StageScript& script)
{
    print_head(out, script, "The photograph show: ten photographs joined by cross-fades.", 2 * PHOTO_COUNT - 1,
               SHOW_SCHEDULE, PHOTO_COUNT);
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) {
        if (k > 0)
            std::fprintf(out, "\n[[stage]]\ntype = \"crossfade\"\n");
        std::fprintf(out, "\n[[stage]]\ntype = \"photo\"\nfile = \"%s\"\nuntil = %s\n", PHOTO_FILES[k],
                     number(SHOW_SCHEDULE[k]).c_str());
    }
}

void print_standin_show(FILE* out, const StageScript& script)
{
    print_head(out, script, "The photograph show's layout with stand-in stages (no pictures needed).",
               2 * PHOTO_COUNT - 1, SHOW_SCHEDULE, PHOTO_COUNT);
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) {
        if (k > 0)
            std::fprintf(out, "\n[[stage]]\ntype = \"standin\"\nearly = true\n");
        std::fprintf(out, "\n[[stage]]\ntype = \"standin\"\nuntil = %s\n", number(SHOW_SCHEDULE[k]).c_str());
    }
}

// The engine show's two scenes as the compiled scenes build and move them
// (stages/scene3d.cpp); the test that plays this file proves each number.
constexpr const char ENGINE_STAGES_TEXT[] = R"TOML(
# Fades the knot in from black (256 ticks, 3.584 s).
[[stage]]
type = "ceiling"

[[stage]]
type = "scene"
until = 9
background = 0x000814
camera = { position = [0, 0, "-190 + 30*sin(0.5*t)"], angles = [0, 0, 0], fov = 60 }

[[stage.object]]
mesh = "datos/nudo.3ds"
mode = ["textured", "environment"]
texture = "datos/cielo.pcx"
angles = ["0.61*t", "0.93*t", "0.27*t"]

[[stage]]
type = "crossfade"

[[stage]]
type = "scene"
until = 18
background = 0x100818
ambient = 0x303030
camera = { position = [0, 20, -230], angles = [-0.08, 0, 0], fov = 60 }

[[stage.object]]
mesh = "datos/esfera.txt"
mode = ["gouraud", "textured"]
colour = 0x505050
texture = "datos/agua.pcx"
angles = [0.35, "0.8*t", 0]

[[stage.object]]
mesh = "datos/toro.txt"
parent = 1
mode = ["gouraud"]
colour = 0xFFB040
position = ["95*cos(1.7*t)", "25*sin(0.9*t)", "95*sin(1.7*t)"]
angles = ["2.1*t", 0, "1.3*t"]

[[stage.object]]
mesh = "datos/halo.txt"
parent = 1
mode = ["gouraud", "additive"]
colour = 0x705030
ambient = 0.1

[[stage.light]]
position = [-150, 120, -160]
colour = 0xFFE0B0

[[stage.light]]
position = [170, -60, -60]
colour = 0x4060FF

[[stage]]
type = "crossfade"

[[stage]]
type = "photo"
file = "datos/Foto1.pcx"
until = 24

# To black, held until the end.
[[stage]]
type = "fadeout"
until = 27.5
)TOML";

void print_engine_show(FILE* out, const StageScript& script)
{
    print_head(out, script, "The engine show: the 3D engine between fades.", 7, ENGINE_SCHEDULE, 4);
    std::fputs(ENGINE_STAGES_TEXT, out);
}

std::string files_of(const ShowFile& show, const ShowStage& stage, int32_t index)
{
    char text[64];
    switch (stage.kind) {
    case ShowKind::photo: return stage.file;
    case ShowKind::crossfade:
        std::snprintf(text, sizeof text, "(del registro %d al %d)", index - 1, index + 1);
        return text;
    case ShowKind::ceiling:
        std::snprintf(text, sizeof text, "(desde negro al registro %d)", index + 1);
        return text;
    case ShowKind::fadeout:
        std::snprintf(text, sizeof text, "(el registro %d a negro)", index - 1);
        return text;
    case ShowKind::standin: return stage.early ? "(prueba; termina sola)" : "(prueba)";
    case ShowKind::scene: {
        std::string list;
        for (const ShowObject& object : show.scenes[size_t(stage.scene)].objects) {
            list += (list.empty() ? "" : ", ") + object.mesh;
            if (!object.texture.empty())
                list += ", " + object.texture;
        }
        return list;
    }
    }
    return "";
}

}  // namespace

bool check_show_files(const ShowFile& show, std::vector<ShowProblem>* problems, std::vector<ShowProblem>* warnings)
{
    data_folder = show.folder.c_str();
    archive_storage = data_path("Yurn.pak");
    archive_name = archive_storage.data();
    const size_t before = problems->size();
    CatchRejections catching;
    std::vector<uint32_t> pixels;
    for (const ShowFileUse& use : show_files_used(show)) {
        const std::string& path = use.path;
        if (!std::strcmp(use.what, "foto")) {
            pixels.assign(size_t(SHOW_PHOTO_WIDTH) * SHOW_PHOTO_HEIGHT, 0);
            look_at(use.place, problems, [&] {
                read_rgb_picture("La foto", path.c_str(), pixels.data(), SHOW_PHOTO_WIDTH, SHOW_PHOTO_HEIGHT);
            });
        } else if (!std::strcmp(use.what, "textura")) {
            pixels.assign(size_t(SHOW_TEXTURE_SIDE) * SHOW_TEXTURE_SIDE, 0);
            look_at(use.place, problems, [&] {
                read_rgb_picture("La textura", path.c_str(), pixels.data(), SHOW_TEXTURE_SIDE, SHOW_TEXTURE_SIDE);
            });
        } else if (!std::strcmp(use.what, "malla")) {
            look_at(use.place, problems, [&] { check_mesh(path); });
        } else {
#ifdef __EMSCRIPTEN__
            continue;  // the page streams the music from its own URL, outside the file system
#endif
            // The sound track is played from the disk, never from the archive.
            struct stat info;
            if (::stat(data_path(path.c_str()).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
                warnings->push_back({use.place, "no encuentro la música \"" + path +
                                                    "\" (o no es un fichero): el espectáculo sonará en silencio"});
        }
    }
    return problems->size() == before;
}

int32_t open_show_file(const char* path, FILE* errors)
{
    struct stat info;
    if (::stat(path, &info) != 0) {
        std::fprintf(errors, "yurn: no encuentro el espectáculo \"%s\"\n", path);
        return 1;
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(errors, "yurn: \"%s\" no es un fichero de espectáculo\n", path);
        return 1;
    }
    ShowFile show;
    std::vector<ShowProblem> problems, warnings;
    if (!read_show_file(path, &show, &problems)) {
        print_problems(errors, path, problems, "");
        return 2;
    }
    const bool files_ok = check_show_files(show, &problems, &warnings);
    print_problems(errors, path, warnings, "aviso: ");
    if (!files_ok) {
        print_problems(errors, path, problems, "");
        return 1;
    }
    loaded = std::move(show);
    has_loaded = true;
    // The check pointed these at the record just moved from.
    data_folder = loaded.folder.c_str();
    archive_storage = data_path("Yurn.pak");
    archive_name = archive_storage.data();
    loaded_script = StageScript{
        .name = "show file",
        .description = "un fichero de espectáculo",
        .build = build_loaded_show,
        .music_fade_from = loaded.music_fade_from,
        .music_fade_to = loaded.music_fade_to,
        .length = loaded.length,
        .music = loaded.music.c_str(),
        .folder = loaded.folder.c_str(),
        .exit_code = loaded.exit_code,
    };
    select_loaded_script(&loaded_script);
    return 0;
}

const ShowFile* opened_show() { return has_loaded ? &loaded : nullptr; }

void print_show_timeline(const ShowFile& show, FILE* out)
{
    std::fprintf(out, "%s%s%s%s\n", show.name.c_str(), show.title.empty() ? "" : " (", show.title.c_str(),
                 show.title.empty() ? "" : ")");
    std::fprintf(out, "registro    desde      hasta  etapa      ficheros\n");
    const std::vector<ShowSpan> spans = show_timeline(show);
    for (size_t i = 0; i < show.stages.size(); ++i) {
        const ShowStage& stage = show.stages[i];
        std::fprintf(out, "%8zu %8.3f s %8.3f s  %-9s  %s\n", i, spans[i].start, spans[i].end,
                     show_kind_name(stage.kind), files_of(show, stage, int32_t(i)).c_str());
    }
    const int32_t code = show.exit_code >= 0 ? show.exit_code : int32_t(show.stages.size());
    std::fprintf(out, "fin a los %.3f s, código de salida %d\n", double(show.length), code);
    if (show.music.empty())
        std::fprintf(out, "sin música\n");
    else if (show.music_fade_to > show.music_fade_from)
        std::fprintf(out, "música %s, se desvanece de %s a %s s\n", show.music.c_str(),
                     number(show.music_fade_from).c_str(), number(show.music_fade_to).c_str());
    else
        std::fprintf(out, "música %s\n", show.music.c_str());
}

int32_t check_show_command(const char* path, FILE* out, FILE* errors)
{
    const int32_t code = open_show_file(path, errors);
    if (code == 0)
        print_show_timeline(loaded, out);
    return code;
}

bool print_builtin_show(const char* name, FILE* out)
{
    const StageScript* script = find_stage_script(name);
    if (!script)
        return false;
    if (!std::strcmp(name, "show"))
        print_photo_show(out, *script);
    else if (!std::strcmp(name, "engine"))
        print_engine_show(out, *script);
    else if (!std::strcmp(name, "standin"))
        print_standin_show(out, *script);
    else
        return false;
    return true;
}
