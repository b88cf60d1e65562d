// Show files: a show described as data (TOML, version 1) instead of a
// compiled stage script.  This module reads and checks the text and turns it
// into a plain ShowFile record; stages/show_files.h builds the stage table
// from that record, checks the data files it names and prints the built-in
// shows in the same format.
//
// Why TOML, read by toml++ (Debian's libtomlplusplus-dev, header-only, built
// into this one file): it is a format people already edit by hand, with
// comments; the parser is well kept and packaged by Debian; and it reports
// the line and column of every fault, which every message here repeats.
// Why here, in files/: the reader is one more reader of untrusted bytes beside
// the archive and the PCX reader, and it links without SDL, so yurn-pak
// (which packs the files a show reads) uses it as the show does.
//
// The format (README, "Make your own show", documents it for users):
//   version = 1                       required
//   title = "..."                     optional
//   exit_code = 19                    optional, 0..255; by default the number of stage records
//   length = 50.0                     optional; must equal the end the timeline gives
//   spare_cues = [55, 60, ...]        optional: cues after the stages' own, taken as written
//   [music] file = "datos/x.mp3", fade_from = 24.0, fade_to = 27.5
//   [[stage]] type = "photo" | "crossfade" | "ceiling" | "fadeout" | "scene" | "standin",
//             until = seconds (the cue that ends it), file, early, and for a scene
//             background, ambient, camera, [[stage.object]] and [[stage.light]].
// Every path is relative to the show file's folder and is also the name
// looked up in that folder's Yurn.pak.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Limits that make a number "absurd": beyond them the loader refuses it.
constexpr int32_t SHOW_VERSION = 1;
constexpr int32_t SHOW_MAX_STAGES = 10000;       // stage records in one show
constexpr int32_t SHOW_MAX_SPARE_CUES = 1000;
constexpr double SHOW_MAX_SECONDS = 86400.0;     // a day: no cue later than this
constexpr size_t SHOW_MAX_FILE_BYTES = 16u << 20;
constexpr int32_t SHOW_MAX_OBJECTS = 64;         // per scene
constexpr int32_t SHOW_MAX_LIGHTS = 8;           // per scene
constexpr double SHOW_MAX_COORDINATE = 1.0e6;    // positions, offsets and amplitudes
constexpr double SHOW_MAX_RATE = 1000.0;         // per second: rates and frequencies

// How long the self-ending stages last, in timer ticks: a cross-fade's weight
// reaches 254 after 127 ticks, a ceiling fade-in finishes on its 256th, a
// stand-in "early" after STANDIN_EARLY_TICKS (127).
constexpr int32_t SHOW_CROSSFADE_TICKS = 127;
constexpr int32_t SHOW_CEILING_TICKS = 256;
constexpr int32_t SHOW_EARLY_TICKS = 127;
constexpr double SHOW_MIN_FADE_SECONDS = 0.014;  // a cross-fade's seconds: one tick ...
constexpr double SHOW_MAX_FADE_SECONDS = 60.0;   // ... to a minute

enum class ShowKind : uint8_t { photo, crossfade, ceiling, fadeout, scene, standin };

// Where something was written: 1-based line and column in the show file.
struct ShowPlace {
    int32_t line = 0;
    int32_t column = 0;
};

// One component of a position or a turn, as a function of the stage's time t
// in seconds: a sum of terms evaluated left to right in double, then stored as
// a float ("-190 + 30*sin(0.5*t)", "0.61*t", "95*cos(1.7*t)", or a number).
struct ShowTerm {
    enum Kind : uint8_t { constant, linear, sine, cosine } kind;
    double factor;     // the number, the rate, the amplitude
    double frequency;  // sine and cosine: radians per second
};
struct ShowMotion {
    std::vector<ShowTerm> terms;  // none: 0
    std::string text;             // as written, for the printer and the messages
};

struct ShowObject {
    ShowPlace place;            // the [[stage.object]] line
    ShowPlace mesh_place, texture_place;
    std::string mesh;           // .3ds (every mesh it holds) or the text mesh format
    uint8_t mode = 0x02;        // MODE_* bits
    bool two_sided = false;
    uint32_t colour = 0xFFFFFF;
    float ambient = 0.2f, diffuse = 0.6f, specular = 0.8f;
    std::string texture;        // 256 x 256 three-plane PCX, or empty
    int32_t parent = 0;         // 1-based number of an earlier text-mesh object; 0: the scene
    ShowMotion position[3];
    ShowMotion angles[3];
};

struct ShowLight {
    float position[3] = {0, 0, 0};
    uint32_t colour = 0xFFFFFF;
    float attenuation[3] = {1, 0, 0};
};

struct ShowScene {
    uint32_t background = 0;
    uint32_t ambient = 0;
    ShowMotion camera_position[3];
    ShowMotion camera_angles[3];
    float fov = 60.0f;
    std::vector<ShowObject> objects;
    std::vector<ShowLight> lights;
};

struct ShowStage {
    ShowKind kind = ShowKind::photo;
    ShowPlace place;        // the [[stage]] line
    bool has_until = false;
    float until = 0.0f;     // seconds from the start: the cue that ends it
    ShowPlace until_place;
    std::string file;       // photo: the picture
    ShowPlace file_place;
    bool early = false;     // standin: ends by itself after 127 ticks
    float fade_step = 2.0f;          // crossfade: weight added per tick
    int32_t fade_ticks = SHOW_CROSSFADE_TICKS;  // ticks until the weight reaches 254
    int32_t scene = -1;     // scene: index into ShowFile::scenes
};

struct ShowFile {
    std::string name;        // as given, for messages
    std::string folder;      // the show file's folder ("" for the current one)
    std::string title;
    std::vector<ShowStage> stages;
    std::vector<ShowScene> scenes;
    std::vector<float> spare_cues;
    std::string music;       // empty: the show plays in silence
    ShowPlace music_place;
    float music_fade_from = 0.0f, music_fade_to = 0.0f;
    int32_t exit_code = -1;  // -1: the index of the terminating record
    float length = 0.0f;     // seconds to the show's end by itself
    std::vector<float> schedule;  // the stages' cues in order, then the spare ones
};

// One fault: where, and what was expected, in Spanish.
struct ShowProblem {
    ShowPlace place;
    std::string message;
};

// "NAME:LINE:COLUMN: message" (without the column when it is 0).
std::string format_show_problem(const std::string& name, const ShowProblem& problem);

// Reads a show file held in memory (size bytes; name for the messages and
// its folder for the paths).  Returns true and fills show when the text is a
// valid show; otherwise false with every problem found in problems (at least
// one).  Checks the text only: the data files are checked by
// check_show_files (stages/show_files.h).  Never ends the program: the
// fuzzer drives it.
bool parse_show(const char* name, const char* text, size_t size, ShowFile* show, std::vector<ShowProblem>* problems);

// The same from a file on disk; a file that cannot be read is one problem at
// line 0.
bool read_show_file(const char* path, ShowFile* show, std::vector<ShowProblem>* problems);

// Every data file the show reads, once each, in the order the stages read
// them, the music last; with the place that names each.
struct ShowFileUse {
    std::string path;
    ShowPlace place;
    const char* what;  // "foto", "malla", "textura", "música"
};
std::vector<ShowFileUse> show_files_used(const ShowFile& show);

// A cross-fade of about `seconds`: the float step the weight climbs by per
// tick and the ticks it then takes to reach 254 (accumulated in float, as the
// stage does).  2.0 and 127 for the built-in length.
void show_fade_step(double seconds, float* step, int32_t* ticks);

// Value of one motion at t seconds, as the scene stage stores it.
float show_motion_value(const ShowMotion& motion, double t);

// Nominal time (seconds) at which stage i starts and ends, assuming every
// self-ending stage lasts its ticks exactly.
struct ShowSpan {
    double start, end;
};
std::vector<ShowSpan> show_timeline(const ShowFile& show);

// Name of a kind as written in the file ("photo", "crossfade", ...).
const char* show_kind_name(ShowKind kind);
