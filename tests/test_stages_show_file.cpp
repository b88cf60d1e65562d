// Show files: the three compiled scripts printed as show files and played
// through the loader give every frame the compiled scripts give, at every
// display depth; and the reader's faults each name their line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "files/files.h"
#include "files/show_file.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"
#include "shell/shell.h"
#include "stages/show_files.h"
#include "stages/stages.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

struct Frame {
    int64_t frame;
    double time_ms;
    int32_t stage;
    uint64_t hash;
};

uint64_t fnv(const uint8_t* p, size_t n, uint64_t h = 1469598103934665603ull)
{
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

void record(const PresentedFrame& f, void* user)
{
    uint64_t h = fnv(f.pixels, size_t(f.width) * size_t(f.height) * size_t(f.depth / 8));
    if (f.depth == 8 && f.palette)
        h = fnv(f.palette, 768, h);
    static_cast<std::vector<Frame>*>(user)->push_back({f.frame, f.time_ms, f.stage, h});
}

struct Depth {
    const char* name;
    uint32_t offered;
    bool mode_555;
};
constexpr Depth DEPTHS[] = {
    {"32", OFFER_32, false}, {"24", OFFER_24, false}, {"16", OFFER_16, false},
    {"16:555", OFFER_16, true}, {"8", OFFER_8, false},
};

Options headless(const Depth& depth)
{
    Options o;
    o.headless = true;
    o.fps_numerator = 10;
    o.offered_modes = depth.offered;
    o.mode_555 = depth.mode_555;
    return o;
}

int32_t play(Options o, std::vector<Frame>* frames)
{
    headless_set_present_hook(record, frames);
    const int32_t code = run_show(o);
    headless_set_present_hook(nullptr, nullptr);
    return code;
}

// A scratch folder whose datos/ is the source tree's, and nothing else.
struct Folder {
    fs::path old = fs::current_path();
    fs::path dir;
    explicit Folder(const char* what)
        : dir(fs::temp_directory_path() / ("yurn-show-file-" + std::string(what) + "-" + std::to_string(getpid())))
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::create_directory_symlink(fs::path(YURN_SOURCE_DIR) / "datos", dir / "datos");
        fs::current_path(dir);
    }
    ~Folder()
    {
        fs::current_path(old);
        fs::remove_all(dir);
    }
};

std::string printed(const char* name)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    EXPECT_TRUE(print_builtin_show(name, out));
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

void write_text(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

void expect_same_frames_at_every_depth(const char* name, int32_t exit_code)
{
    Folder here(name);
    // The printed file lives in a folder of its own: its paths are relative to it.
    fs::create_directories(here.dir / "copy");
    fs::create_directory_symlink(fs::path(YURN_SOURCE_DIR) / "datos", here.dir / "copy" / "datos");
    const fs::path file = here.dir / "copy" / "printed.toml";
    write_text(file, printed(name));
    for (const Depth& depth : DEPTHS) {
        SCOPED_TRACE(std::string(name) + " at depth " + depth.name);
        std::vector<Frame> compiled, loaded;
        Options o = headless(depth);
        o.script = name;
        ASSERT_EQ(play(o, &compiled), exit_code);
        ASSERT_EQ(open_show_file(file.c_str(), stderr), 0);
        Options f = headless(depth);
        f.show = file.c_str();
        ASSERT_EQ(play(f, &loaded), exit_code);
        ASSERT_GT(compiled.size(), 200u);
        ASSERT_EQ(loaded.size(), compiled.size());
        for (size_t i = 0; i < compiled.size(); ++i) {
            ASSERT_EQ(loaded[i].frame, compiled[i].frame);
            ASSERT_EQ(loaded[i].time_ms, compiled[i].time_ms);
            ASSERT_EQ(loaded[i].stage, compiled[i].stage) << "frame " << i;
            ASSERT_EQ(loaded[i].hash, compiled[i].hash) << "frame " << i;
        }
    }
}

TEST(PrintedShows, PhotographShowGivesTheSameFramesAtEveryDepth) { expect_same_frames_at_every_depth("show", 19); }
TEST(PrintedShows, EngineShowGivesTheSameFramesAtEveryDepth) { expect_same_frames_at_every_depth("engine", 7); }
TEST(PrintedShows, StandInShowGivesTheSameFramesAtEveryDepth) { expect_same_frames_at_every_depth("standin", 19); }

TEST(PrintedShows, ScheduleIsTheCompiledOneEntryForEntry)
{
    const std::string text = printed("show");
    ShowFile show;
    std::vector<ShowProblem> problems;
    ASSERT_TRUE(parse_show("show.toml", text.data(), text.size(), &show, &problems))
        << format_show_problem("show.toml", problems.at(0));
    ASSERT_EQ(show.schedule.size(), size_t(SCHEDULE_LENGTH));
    for (int32_t i = 0; i < SCHEDULE_LENGTH; ++i)
        EXPECT_EQ(show.schedule[size_t(i)], SHOW_SCHEDULE[i]) << "cue " << i;
    EXPECT_EQ(show.stages.size(), 19u);
    EXPECT_EQ(show.exit_code, 19);
    EXPECT_FLOAT_EQ(show.length, 50.0f);
    EXPECT_EQ(show.music, "datos/cancion.mp3");
}

// A show of its own: a photograph, a fade, a photograph, exit code 42.
TEST(OwnShow, PlaysItsStagesAndEndsWithItsExitCode)
{
    Folder here("own");
    write_text("own.toml", "version = 1\nexit_code = 42\n"
                           "[[stage]]\ntype = \"photo\"\nfile = \"datos/Foto3.pcx\"\nuntil = 2\n"
                           "[[stage]]\ntype = \"crossfade\"\n"
                           "[[stage]]\ntype = \"photo\"\nfile = \"datos/Foto4.pcx\"\nuntil = 6.5\n");
    ASSERT_EQ(open_show_file("own.toml", stderr), 0);
    std::vector<Frame> frames;
    Options o = headless(DEPTHS[0]);
    o.show = "own.toml";
    EXPECT_EQ(play(o, &frames), 42);
    // 10 fps: photograph 1 to T = 2.0 s (frames 0-20), the fade 19 frames, then
    // photograph 2 to T = 6.5 s.
    ASSERT_EQ(frames.size(), 66u);
    EXPECT_EQ(frames[20].stage, 0);
    EXPECT_EQ(frames[21].stage, 1);
    EXPECT_EQ(frames[39].stage, 1);
    EXPECT_EQ(frames[40].stage, 2);
    EXPECT_DOUBLE_EQ(frames.back().time_ms, 6500.0);
}

// --- the reader's faults ---------------------------------------------------

std::vector<ShowProblem> problems_of(const std::string& text)
{
    ShowFile show;
    std::vector<ShowProblem> problems;
    EXPECT_FALSE(parse_show("f.toml", text.data(), text.size(), &show, &problems)) << text;
    return problems;
}

// The first problem's line, and that its text holds every given word.
void expect_fault(const std::string& text, int32_t line, std::initializer_list<const char*> words)
{
    const std::vector<ShowProblem> problems = problems_of(text);
    ASSERT_FALSE(problems.empty()) << text;
    EXPECT_EQ(problems[0].place.line, line) << problems[0].message;
    for (const char* word : words)
        EXPECT_NE(problems[0].message.find(word), std::string::npos) << problems[0].message << " lacks " << word;
}

const std::string HEAD = "version = 1\n";
const std::string PHOTO = "[[stage]]\ntype = \"photo\"\nfile = \"a.pcx\"\nuntil = 5\n";

TEST(ShowReader, ACutFileNamesTheLineWhereItEnds)
{
    expect_fault(HEAD + "[[stage]]\ntype = \"pho", 3, {"TOML"});
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nuntil = [5, 6", 4, {"TOML"});
}

TEST(ShowReader, AccentsGoInsideQuotesOrComments)
{
    const std::string fine = "# El año pasado, en León\nversion = 1\ntitle = \"Mi viaje a León\" # sí\n"
                             "[[stage]]\ntype = \"photo\"\nfile = '''datos/año.pcx'''\nuntil = 5\n";
    ShowFile show;
    std::vector<ShowProblem> problems;
    ASSERT_TRUE(parse_show("f.toml", fine.data(), fine.size(), &show, &problems))
        << format_show_problem("f.toml", problems.at(0));
    EXPECT_EQ(show.title, "Mi viaje a León");
    EXPECT_EQ(show.stages.at(0).file, "datos/año.pcx");
    // Outside them: refused at the character, columns counted in characters.
    expect_fault(HEAD + "título = \"x\"\n" + PHOTO, 2, {"ASCII"});
    EXPECT_EQ(problems_of(HEAD + "until = 5 ñ\n").at(0).place.column, 11);
    expect_fault(HEAD + "title = \"a\\\"ñ\"\n" + "x = é\n", 3, {"ASCII"});
    // A quote inside a bare value opens no string for the parser, which reads
    // on into the characters after it: refused, whichever character that is.
    for (const char* after : {"\u00A1", "\u3001", "\uFEF7", "\u00A0", "\u2003"})
        EXPECT_FALSE(problems_of(HEAD + "until = 1PP-'x" + after + "\n").empty()) << after;
}

TEST(ShowReader, WrongTypesNameTheValue)
{
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfile = 3\nuntil = 5\n", 4, {"file", "texto"});
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfile = \"a.pcx\"\nuntil = \"5\"\n", 5, {"until", "número"});
    expect_fault("version = \"1\"\n" + PHOTO, 1, {"version", "entero"});
    expect_fault(HEAD + "stage = 3\n", 2, {"stage", "[[stage]]"});
}

TEST(ShowReader, AnUnknownStageOrKeyIsRefusedWithWhatIsExpected)
{
    expect_fault(HEAD + "[[stage]]\ntype = \"wipe\"\n", 3, {"wipe", "crossfade"});
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfil = \"a.pcx\"\nuntil = 5\n", 4, {"fil", "file"});
    expect_fault(HEAD + "[[stage]]\nuntil = 5\n", 2, {"type"});
}

TEST(ShowReader, CuesOutOfOrderAndOverrunFadesAreRefused)
{
    expect_fault(HEAD + PHOTO + "[[stage]]\ntype = \"photo\"\nfile = \"b.pcx\"\nuntil = 4\n", 9, {"until = 4", "orden"});
    // The fade after a cue at 5 s lasts 1.778 s: a cue at 6 s comes first.
    expect_fault(HEAD + PHOTO + "[[stage]]\ntype = \"crossfade\"\n[[stage]]\ntype = \"photo\"\nfile = \"b.pcx\"\nuntil = 6\n",
                 11, {"until = 6"});
    // A length that is not the end the stages give.
    expect_fault("version = 1\nlength = 9\n" + PHOTO, 2, {"length", "5.000"});
}

TEST(ShowReader, AFadeWithoutNeighboursIsRefused)
{
    expect_fault(HEAD + "[[stage]]\ntype = \"crossfade\"\n" + PHOTO, 2, {"crossfade", "antes"});
    expect_fault(HEAD + PHOTO + "[[stage]]\ntype = \"crossfade\"\n", 6, {"crossfade", "después"});
    expect_fault(HEAD + "[[stage]]\ntype = \"ceiling\"\n", 2, {"ceiling", "después"});
    expect_fault(HEAD + "[[stage]]\ntype = \"fadeout\"\nuntil = 3\n", 2, {"fadeout", "antes"});
    // Two stages that read each other would call each other for ever.
    expect_fault(HEAD + PHOTO + "[[stage]]\ntype = \"ceiling\"\n[[stage]]\ntype = \"fadeout\"\nuntil = 9\n", 8,
                 {"fadeout", "ceiling"});
}

TEST(ShowReader, AbsurdNumbersAreRefused)
{
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfile = \"a.pcx\"\nuntil = -5\n", 5, {"until"});
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfile = \"a.pcx\"\nuntil = 1e30\n", 5, {"until", "límites"});
    expect_fault(HEAD + "[[stage]]\ntype = \"photo\"\nfile = \"a.pcx\"\nuntil = nan\n", 5, {"until"});
    expect_fault("version = 1\nexit_code = 300\n" + PHOTO, 2, {"exit_code", "255"});
    expect_fault("version = 7\n" + PHOTO, 1, {"versión 1"});
    expect_fault(HEAD + "[[stage]]\ntype = \"scene\"\nuntil = 4\ncamera = { fov = 500 }\n"
                        "[[stage.object]]\nmesh = \"m.txt\"\n",
                 5, {"fov"});
    expect_fault(HEAD + "[[stage]]\ntype = \"scene\"\nuntil = 4\n[[stage.object]]\nmesh = \"m.txt\"\n"
                        "angles = [\"1e9*t\", 0, 0]\n",
                 7, {"angles"});
}

TEST(ShowReader, MotionsReadAsTheCompiledScenesComputeThem)
{
    const std::string text = HEAD + "[[stage]]\ntype = \"scene\"\nuntil = 4\n"
                                    "camera = { position = [0, 0, \"-190 + 30*sin(0.5*t)\"] }\n"
                                    "[[stage.object]]\nmesh = \"m.txt\"\n"
                                    "position = [\"95*cos(1.7*t)\", \"-t\", \"2 - 3*t\"]\n";
    ShowFile show;
    std::vector<ShowProblem> problems;
    ASSERT_TRUE(parse_show("f.toml", text.data(), text.size(), &show, &problems))
        << format_show_problem("f.toml", problems.at(0));
    const ShowScene& scene = show.scenes.at(0);
    for (double s : {0.0, 0.014, 1.5, 9.99}) {
        EXPECT_EQ(show_motion_value(scene.camera_position[2], s), float(-190.0 + 30.0 * std::sin(s * 0.5)));
        EXPECT_EQ(show_motion_value(scene.objects[0].position[0], s), float(95.0 * std::cos(s * 1.7)));
        EXPECT_EQ(show_motion_value(scene.objects[0].position[1], s), float(-s));
        EXPECT_EQ(show_motion_value(scene.objects[0].position[2], s), float(2.0 - 3.0 * s));
    }
    expect_fault(HEAD + "[[stage]]\ntype = \"scene\"\nuntil = 4\n[[stage.object]]\nmesh = \"m.txt\"\n"
                        "angles = [\"t*t\", 0, 0]\n",
                 7, {"t*t"});
}

TEST(ShowReader, AShowNeedsAStageAndAByteForItsExitCode)
{
    expect_fault(HEAD + "stage = []\n", 2, {"ninguna etapa"});
    expect_fault(HEAD, 1, {"ninguna etapa"});
    std::string many = HEAD;
    for (int i = 0; i < 256; ++i)
        many += "[[stage]]\ntype = \"standin\"\nuntil = " + std::to_string(i + 1) + "\n";
    expect_fault(many, 1, {"exit_code"});
    ShowFile show;
    std::vector<ShowProblem> problems;
    const std::string fine = "exit_code = 3\n" + many;
    EXPECT_TRUE(parse_show("f.toml", fine.data(), fine.size(), &show, &problems));
    EXPECT_EQ(show.exit_code, 3);
}

TEST(ShowReader, EveryProblemIsKeptNotOnlyTheFirst)
{
    const std::vector<ShowProblem> problems =
        problems_of(HEAD + "[[stage]]\ntype = \"photo\"\nfile = 1\nuntil = 5\n[[stage]]\ntype = \"blur\"\n");
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].place.line, 4);
    EXPECT_EQ(problems[1].place.line, 7);
    EXPECT_EQ(format_show_problem("d/f.toml", problems[1]).rfind("d/f.toml:7:8: ", 0), 0u);
}

TEST(ShowData, AMissingOrWrongFileIsAProblemAtTheLineThatNamesIt)
{
    Folder here("data");
    write_text("bad.toml", HEAD + PHOTO + "[[stage]]\ntype = \"crossfade\"\n"
                           "[[stage]]\ntype = \"photo\"\nfile = \"datos/cielo.pcx\"\nuntil = 9\n"
                           "[music]\nfile = \"nada.mp3\"\n");
    ShowFile show;
    std::vector<ShowProblem> problems, warnings;
    ASSERT_TRUE(read_show_file("bad.toml", &show, &problems));
    EXPECT_FALSE(check_show_files(show, &problems, &warnings));
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_EQ(problems[0].place.line, 4);
    EXPECT_NE(problems[0].message.find("a.pcx"), std::string::npos) << problems[0].message;
    EXPECT_EQ(problems[1].place.line, 10);
    EXPECT_NE(problems[1].message.find("256 x 256"), std::string::npos) << problems[1].message;
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].message.find("silencio"), std::string::npos);
    EXPECT_EQ(open_show_file("bad.toml", stderr), 1);
    write_text("cut.toml", HEAD + "[[stage");
    EXPECT_EQ(open_show_file("cut.toml", stderr), 2);
    EXPECT_EQ(open_show_file("absent.toml", stderr), 1);
}

TEST(ShowData, ASceneNamesTheLineOfItsBadMeshAndTexture)
{
    Folder here("scene");
    write_text("scene.toml", HEAD + "[[stage]]\ntype = \"scene\"\nuntil = 4\n"
                             "[[stage.object]]\nmesh = \"datos/nada.txt\"\n"
                             "[[stage.object]]\nmesh = \"datos/toro.txt\"\nmode = [\"textured\"]\n"
                             "texture = \"datos/Foto2.pcx\"\n"
                             "[[stage.object]]\nmesh = \"datos/cielo.pcx\"\n");
    ShowFile show;
    std::vector<ShowProblem> problems, warnings;
    ASSERT_TRUE(read_show_file("scene.toml", &show, &problems)) << format_show_problem("scene.toml", problems.at(0));
    EXPECT_FALSE(check_show_files(show, &problems, &warnings));
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0].place.line, 6);   // a mesh that is not there
    EXPECT_EQ(problems[1].place.line, 10);  // a photograph is no 256 x 256 texture
    EXPECT_NE(problems[1].message.find("256 x 256"), std::string::npos) << problems[1].message;
    EXPECT_EQ(problems[2].place.line, 12);  // a picture is no mesh
}

TEST(ShowReader, ManyRecordsMakeATableOfThatSize)
{
    std::string text = HEAD;
    for (int i = 0; i < 100; ++i) {
        if (i)
            text += "[[stage]]\ntype = \"standin\"\nearly = true\n";
        text += "[[stage]]\ntype = \"standin\"\nuntil = " + std::to_string(3 * (i + 1)) + "\n";
    }
    Folder here("many");
    write_text("many.toml", text);
    ASSERT_EQ(open_show_file("many.toml", stderr), 0);
    std::vector<Frame> frames;
    Options o = headless(DEPTHS[0]);
    o.fps_numerator = 2;
    o.show = "many.toml";
    EXPECT_EQ(play(o, &frames), 199);  // no exit_code: the terminating record's index
    EXPECT_EQ(stage_table_length, 200);
    EXPECT_EQ(frames.back().stage, 198);
}

}  // namespace
