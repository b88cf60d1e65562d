// Frame capture: the PNG writer against a decoder, the display colours of each
// depth, and whole captured shows (frames, frames.tsv, sound.wav) that are the
// same on every run.
#include <gtest/gtest.h>
#include <signal.h>
#include <stb_image.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files/files.h"
#include "platform/frame_rgb.h"
#include "platform/music_fade.h"
#include "platform/platform.h"
#include "capture/capture.h"
#include "shell/options.h"
#include "stages/show_stages.h"
#include "test_support.h"
#include "shell/run.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t W = 320, H = 240, N = W * H;

std::vector<uint8_t> read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> decode_png(const std::vector<uint8_t>& png, int* w, int* h)
{
    int channels = 0;
    uint8_t* pixels = stbi_load_from_memory(png.data(), int(png.size()), w, h, &channels, 3);
    if (!pixels) return {};
    std::vector<uint8_t> out(pixels, pixels + size_t(*w) * size_t(*h) * 3);
    stbi_image_free(pixels);
    return out;
}

void expect_png_round_trip(const std::vector<uint8_t>& rgb, int32_t w, int32_t h, const char* what)
{
    std::vector<uint8_t> png;
    png_encode_rgb(rgb.data(), w, h, png);
    int dw = 0, dh = 0;
    const std::vector<uint8_t> back = decode_png(png, &dw, &dh);
    ASSERT_EQ(dw, w) << what << ": " << stbi_failure_reason();
    ASSERT_EQ(dh, h) << what;
    EXPECT_TRUE(back == rgb) << what;
    std::vector<uint8_t> again;
    png_encode_rgb(rgb.data(), w, h, again);
    EXPECT_EQ(again, png) << what << ": not the same bytes twice";
}

TEST(PngWriter, DecodesToThePixelsItWasGiven)
{
    std::mt19937 rng(3);
    for (auto [w, h] : {std::pair{1, 1}, {2, 3}, {7, 5}, {320, 240}, {1000, 2}}) {
        std::vector<uint8_t> noise(size_t(w) * h * 3), flat(size_t(w) * h * 3, 0), ramp(size_t(w) * h * 3);
        for (auto& b : noise) b = uint8_t(rng());
        for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i / 3 + (i % 3) * 50);
        expect_png_round_trip(noise, w, h, "noise");
        expect_png_round_trip(flat, w, h, "black");  // long runs, one literal
        expect_png_round_trip(ramp, w, h, "ramp");
        std::fill(flat.begin(), flat.end(), 255);
        expect_png_round_trip(flat, w, h, "white");
    }
}

TEST(PngWriter, ShowPhotographsRoundTripAndCompress)
{
    std::vector<uint32_t> photo(N);
    read_pcx((std::string(YURN_SOURCE_DIR) + "/" + PHOTO_FILES[0]).c_str(), photo.data(), N * 4, nullptr);
    std::vector<uint8_t> rgb(N * 3);
    for (int32_t i = 0; i < N; ++i) {
        rgb[3 * i] = uint8_t(photo[i] >> 16);
        rgb[3 * i + 1] = uint8_t(photo[i] >> 8);
        rgb[3 * i + 2] = uint8_t(photo[i]);
    }
    expect_png_round_trip(rgb, W, H, "Foto1");
    std::vector<uint8_t> png;
    png_encode_rgb(rgb.data(), W, H, png);
    EXPECT_LT(png.size(), rgb.size());
}

PresentedFrame frame_of(const std::vector<uint8_t>& pixels, int32_t width, int32_t depth, int32_t rgb565 = 1,
                        const uint8_t* palette = nullptr)
{
    return {.pixels = pixels.data(), .width = width, .height = 1, .depth = depth, .rgb565 = rgb565,
            .palette = palette, .frame = 0, .time_ms = 0.0, .stage = 0};
}

TEST(CaptureColours, EachDepthAsTheDisplayShowsIt)
{
    std::vector<uint8_t> rgb(6);
    // 32 bits: B, G, R, top byte in memory; the top byte is not a colour.
    frame_to_rgb(frame_of({0x10, 0x20, 0x30, 0xFF, 1, 2, 3, 0}, 2, 32), RGB_BYTES, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{0x30, 0x20, 0x10, 3, 2, 1}));
    frame_to_rgb(frame_of({0x10, 0x20, 0x30, 1, 2, 3}, 2, 24), RGB_BYTES, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{0x30, 0x20, 0x10, 3, 2, 1}));
    // 5-6-5: full white, and the lowest step of each channel widened by replication.
    frame_to_rgb(frame_of({0xFF, 0xFF, 0x21, 0x08}, 2, 16, 1), RGB_BYTES, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{255, 255, 255, 8, 4, 8}));
    // 5-5-5: bit 15 ignored; red 10000b -> 10000100b.
    frame_to_rgb(frame_of({0x00, 0xC0, 0x1F, 0x00}, 2, 16, 0), RGB_BYTES, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{132, 0, 0, 0, 0, 255}));
    uint8_t palette[768] = {};
    palette[3 * 7] = 11;
    palette[3 * 7 + 1] = 22;
    palette[3 * 7 + 2] = 33;
    frame_to_rgb(frame_of({7, 0}, 2, 8, 1, palette), RGB_BYTES, rgb.data());
    EXPECT_EQ(rgb, (std::vector<uint8_t>{11, 22, 33, 0, 0, 0}));
}

// ---------------------------------------------------------------------------
// Whole captured shows, in-process
// ---------------------------------------------------------------------------

struct Captured {
    fs::path dir;
    int32_t code = -1;
};

fs::path capture_dir(const std::string& name)
{
    return fs::temp_directory_path() / ("yurn-capture-" + name + "-" + std::to_string(getpid()));
}

Captured capture_show(const std::string& name, int32_t format, int64_t fps_n, int64_t fps_d,
                      uint32_t modes = OFFER_ALL, bool mode_555 = false, bool keep_folder = false,
                      const char* sound_track = "datos/cancion.mp3", bool overwrite = false)
{
    Captured out;
    out.dir = capture_dir(name);
    if (!keep_folder)
        fs::remove_all(out.dir);
    const fs::path old = fs::current_path();
    fs::current_path(YURN_SOURCE_DIR);
    Options options;
    options.headless = true;
    options.fps_numerator = fps_n;
    options.fps_denominator = fps_d;
    options.offered_modes = modes;
    options.mode_555 = mode_555;
    const std::string target = out.dir.string();
    capture_begin({.target = target.c_str(), .format = format, .fps_numerator = fps_n, .fps_denominator = fps_d,
                   .overwrite = overwrite, .sound_track = sound_track});
    out.code = capture_end(run_show(options));
    fs::current_path(old);
    return out;
}

struct Row {
    int64_t frame;
    double time_ms;
    int32_t stage;
};

std::vector<Row> read_table(const fs::path& dir)
{
    std::ifstream in(dir / "frames.tsv");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "frame\tT_ms\tstage");
    std::vector<Row> rows;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Row r{};
        fields >> r.frame >> r.time_ms >> r.stage;
        rows.push_back(r);
    }
    return rows;
}

std::string frame_name(int64_t n, const char* ext)
{
    char name[32];
    std::snprintf(name, sizeof name, "frame-%06lld.%s", static_cast<long long>(n), ext);
    return name;
}

std::vector<uint32_t> photo(int32_t k)
{
    std::vector<uint32_t> p(N);
    read_pcx((std::string(YURN_SOURCE_DIR) + "/" + PHOTO_FILES[k]).c_str(), p.data(), N * 4, nullptr);
    return p;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(CaptureShow, PngFramesTableAndSoundAtTenFps)
{
    const Captured run = capture_show("png", CAPTURE_PNG, 10, 1);
    ASSERT_EQ(run.code, 19);
    EXPECT_EQ(capture_frames_written(), 501);
    EXPECT_EQ(capture_last_time_ms(), 50000.0);
    const std::vector<Row> rows = read_table(run.dir);
    ASSERT_EQ(rows.size(), 501u);
    for (size_t n = 0; n < rows.size(); ++n) {
        EXPECT_EQ(rows[n].frame, int64_t(n));
        EXPECT_DOUBLE_EQ(rows[n].time_ms, 100.0 * double(n));
        ASSERT_TRUE(fs::exists(run.dir / frame_name(int64_t(n), "png"))) << n;
    }
    EXPECT_FALSE(fs::exists(run.dir / frame_name(501, "png")));
    EXPECT_EQ(rows[0].stage, 0);
    EXPECT_EQ(rows[50].stage, 0);   // T = 5000 is not past the first cue
    EXPECT_EQ(rows[51].stage, 1);   // the first fade starts on the frame after it
    EXPECT_EQ(rows[500].stage, 18);
    // The first frame is the first photograph, exactly.
    int w = 0, h = 0;
    const auto first = decode_png(read_file(run.dir / frame_name(0, "png")), &w, &h);
    const auto p1 = photo(0);
    ASSERT_EQ(first.size(), size_t(N) * 3);
    for (int32_t i = 0; i < N; ++i) {
        ASSERT_EQ(first[3 * i], uint8_t(p1[i] >> 16));
        ASSERT_EQ(first[3 * i + 1], uint8_t(p1[i] >> 8));
        ASSERT_EQ(first[3 * i + 2], uint8_t(p1[i]));
    }
    // sound.wav: 16-bit stereo 44.1 kHz, exactly T of the last frame long.
    const std::vector<uint8_t> wav = read_file(run.dir / "sound.wav");
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(le32(wav, 24), 44100u);
    EXPECT_EQ(le32(wav, 40), 50u * 44100u * 4u);
    EXPECT_EQ(wav.size(), 44u + 50u * 44100u * 4u);
    // The track starts at once (no encoder delay left in front): it is not
    // silent within its first tenth of a second.
    bool sound = false;
    for (size_t i = 44; i < 44 + 4410 * 4; i += 2) sound |= (wav[i] | wav[i + 1]) != 0;
    if (std::system("command -v ffmpeg >/dev/null 2>&1") == 0) {
        EXPECT_TRUE(sound);
    }
    fs::remove_all(run.dir);
}

std::vector<std::vector<uint8_t>> all_files(const fs::path& dir)
{
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    std::vector<std::vector<uint8_t>> out;
    for (const auto& p : names) out.push_back(read_file(p));
    return out;
}

TEST(CaptureShow, RawAt16BitsIsTheSurfaceAndEveryRunIsTheSame)
{
    // A fractional rate: T = n * 1000 * 1001 / 10000 ms.
    const Captured a = capture_show("raw16-a", CAPTURE_RAW, 10000, 1001, OFFER_16);
    ASSERT_EQ(a.code, 19);
    const std::vector<Row> rows = read_table(a.dir);
    ASSERT_EQ(rows.size(), 500u);  // T = 49949.9 is the last not past 50000
    for (size_t n = 0; n < rows.size(); ++n)
        ASSERT_NEAR(rows[n].time_ms, double(n) * 100.1, 1e-6);
    // Frame 0 holds the first photograph packed 5-6-5 by truncation.
    const std::vector<uint8_t> raw = read_file(a.dir / frame_name(0, "raw"));
    ASSERT_EQ(raw.size(), size_t(N) * 2);
    const auto p1 = photo(0);
    for (int32_t i = 0; i < N; ++i) {
        const uint32_t p = p1[i];
        const uint32_t packed = ((p >> 8) & 0xF800) | ((p >> 5) & 0x07E0) | ((p >> 3) & 0x001F);
        ASSERT_EQ(uint32_t(raw[2 * i] | raw[2 * i + 1] << 8), packed) << i;
    }
    const std::vector<uint8_t> wav = read_file(a.dir / "sound.wav");
    EXPECT_EQ(le32(wav, 40), uint32_t(499LL * 1001 * 44100 / 10000) * 4u);
    // A second run: byte for byte the same files.
    const Captured b = capture_show("raw16-b", CAPTURE_RAW, 10000, 1001, OFFER_16);
    ASSERT_EQ(b.code, 19);
    EXPECT_TRUE(all_files(a.dir) == all_files(b.dir));
    fs::remove_all(a.dir);
    fs::remove_all(b.dir);
}

TEST(CaptureShow, PpmAt8BitsHoldsPaletteColours)
{
    const Captured run = capture_show("ppm8", CAPTURE_PPM, 2, 1, OFFER_8);
    ASSERT_EQ(run.code, 19);
    const std::vector<uint8_t> ppm = read_file(run.dir / frame_name(30, "ppm"));
    const std::string header = "P6\n320 240\n255\n";
    ASSERT_EQ(ppm.size(), header.size() + size_t(N) * 3);
    EXPECT_EQ(std::string(ppm.begin(), ppm.begin() + long(header.size())), header);
    for (size_t i = header.size(); i < ppm.size(); i += 3) {
        ASSERT_EQ(ppm[i] & 0x1F, 0);      // red in the top 3 bits
        ASSERT_EQ(ppm[i + 1] & 0x1F, 0);  // green in the top 3 bits
        ASSERT_EQ(ppm[i + 2] & 0x3F, 0);  // blue in the top 2 bits
    }
    fs::remove_all(run.dir);
}

TEST(CaptureShow, WithoutFfmpegTheSoundIsSilentButAsLongAsTheShow)
{
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    const Captured run = capture_show("silent", CAPTURE_PPM, 2, 1);
    setenv("PATH", path.c_str(), 1);
    ASSERT_EQ(run.code, 19);
    const std::vector<uint8_t> wav = read_file(run.dir / "sound.wav");
    ASSERT_EQ(wav.size(), 44u + 50u * 44100u * 4u);
    EXPECT_TRUE(std::all_of(wav.begin() + 44, wav.end(), [](uint8_t b) { return b == 0; }));
    fs::remove_all(run.dir);
}

TEST(CaptureShow, UnwritableFolderIsReported)
{
    const std::string message = fatal_message_of([] {
        capture_begin({.target = "/proc/no-such-place/frames", .format = CAPTURE_PNG});
    });
    EXPECT_NE(message.find("/proc/no-such-place/frames"), std::string::npos) << message;
}

// ---------------------------------------------------------------------------
// Folders, names, interruptions and failures
// ---------------------------------------------------------------------------

bool has_temporaries(const fs::path& dir)
{
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos) return true;
    return false;
}

TEST(CaptureShow, EveryPngFrameDecodesToTheSamePixelsAsThePpmFrame)
{
    const Captured png = capture_show("same-png", CAPTURE_PNG, 2, 1);
    const Captured ppm = capture_show("same-ppm", CAPTURE_PPM, 2, 1);
    ASSERT_EQ(png.code, 19);
    ASSERT_EQ(ppm.code, 19);
    const size_t header = std::string("P6\n320 240\n255\n").size();
    for (int64_t n = 0; n <= 100; ++n) {
        int w = 0, h = 0;
        const std::vector<uint8_t> decoded = decode_png(read_file(png.dir / frame_name(n, "png")), &w, &h);
        const std::vector<uint8_t> raw = read_file(ppm.dir / frame_name(n, "ppm"));
        ASSERT_EQ(decoded.size(), size_t(N) * 3) << n;
        ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), raw.begin() + long(header))) << "frame " << n;
    }
    fs::remove_all(png.dir);
    fs::remove_all(ppm.dir);
}

// Every file in a folder (hidden ones too) and its bytes.
std::map<std::string, std::vector<uint8_t>> snapshot(const fs::path& dir)
{
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::directory_iterator(dir)) files[entry.path().filename().string()] = read_file(entry.path());
    return files;
}

std::vector<std::string> names_in(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The hidden folder a capture over dir is being made in, or an empty path.
fs::path staging_of(const fs::path& dir)
{
    const std::string prefix = "." + dir.filename().string() + ".tmp-";
    for (const auto& entry : fs::directory_iterator(dir.parent_path()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) return entry.path();
    return {};
}

// Polls (1 ms at a time, a minute at most) until the file exists somewhere
// in a capture's hidden folder beside dir.
bool wait_for_staged(const fs::path& dir, const std::string& name)
{
    return wait_until(
        [&] {
            std::error_code ignored;
            const fs::path staged = staging_of(dir);
            return !staged.empty() && fs::exists(staged / name, ignored);
        },
        60000.0);
}

// An earlier capture at 2 fps in 8-bit raw frames (101 of them) in a new
// folder, with the user's own files beside it.
fs::path earlier_capture_with_user_files(const std::string& name)
{
    const Captured first = capture_show(name, CAPTURE_RAW, 2, 1, OFFER_8);
    EXPECT_EQ(first.code, 19);
    for (const char* user : {"notes.txt", "frame-12.png.bak", "frame-x.png", "frame-2024.raw", "frame-1.raw",
                             ".frame-000003.png.tmp-abcdef"})
        std::ofstream(first.dir / user) << "the user's";
    return first.dir;
}

TEST(CaptureFolder, ANonEmptyFolderIsRefusedAndOverwriteRemovesOnlyOurFiles)
{
    const fs::path dir = capture_dir("reuse");
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const char* name : {"notes.txt", "frame-12.png.bak", "frame-x.png", "frame-000999.png", "frame-000001.ppm",
                             "frames.tsv", "sound.wav", ".frame-000003.png.tmp-abcdef"})
        std::ofstream(dir / name) << "old";
    const std::string target = dir.string();
    const std::string message = fatal_message_of([&] {
        capture_begin({.target = target.c_str(), .format = CAPTURE_PPM, .fps_numerator = 1, .fps_denominator = 1});
    });
    EXPECT_NE(message.find(target), std::string::npos) << message;
    EXPECT_NE(message.find("--overwrite"), std::string::npos) << message;
    EXPECT_TRUE(fs::exists(dir / "frame-000999.png"));
    // No capture of ours recorded these: with --overwrite the first one the
    // new capture would write is named, and nothing is touched.
    const auto before = snapshot(dir);
    const std::string refused = fatal_message_of([&] {
        capture_begin({.target = target.c_str(), .format = CAPTURE_PPM, .fps_numerator = 1, .fps_denominator = 1,
                       .overwrite = true});
    });
    EXPECT_TRUE(refused.find(target + "/frames.tsv") != std::string::npos ||
                refused.find(target + "/sound.wav") != std::string::npos ||
                refused.find(target + "/frame-000001.ppm") != std::string::npos)
        << refused;
    EXPECT_EQ(snapshot(dir), before);
    fs::remove_all(dir);

    // An earlier capture among the user's files: ours replaced, theirs kept.
    const fs::path reused = earlier_capture_with_user_files("reuse");
    const Captured run = capture_show("reuse", CAPTURE_PPM, 1, 1, OFFER_8, false, true, "datos/cancion.mp3", true);
    ASSERT_EQ(run.code, 19);
    const std::vector<std::string> names = names_in(reused);
    // The list, the user's temporary-looking file, 51 new frames, the user's
    // four frame-like files, the table, notes.txt and the sound.
    ASSERT_EQ(names.size(), 2u + 51u + 4u + 3u) << ::testing::PrintToString(names);
    EXPECT_EQ(names[0], ".frame-000003.png.tmp-abcdef");
    EXPECT_EQ(names[1], ".yurn-capture");
    EXPECT_EQ(names[2], "frame-000000.ppm");
    EXPECT_EQ(names[52], "frame-000050.ppm");
    EXPECT_EQ(names[53], "frame-1.raw");
    EXPECT_EQ(names[54], "frame-12.png.bak");
    EXPECT_EQ(names[55], "frame-2024.raw");
    EXPECT_EQ(names[56], "frame-x.png");
    EXPECT_EQ(names[57], "frames.tsv");
    EXPECT_EQ(names[58], "notes.txt");
    EXPECT_EQ(names[59], "sound.wav");
    EXPECT_EQ(read_table(reused).size(), 51u);
    EXPECT_EQ(read_file(reused / "notes.txt").size(), 10u);
    EXPECT_TRUE(staging_of(reused).empty());
    fs::remove_all(reused);
}

TEST(CaptureFolder, ACaptureMadeBeforeTheListIsKnownByItsFramesTable)
{
    const fs::path dir = earlier_capture_with_user_files("legacy");
    fs::remove(dir / ".yurn-capture");
    // Its table lists 101 frames: those are ours; a user file past them with
    // the new capture's name would be replaced, so it is refused.
    std::ofstream(dir / "frame-000101.raw") << "the user's";
    const auto before = snapshot(dir);
    const std::string target = dir.string();
    const std::string refused = fatal_message_of([&] {
        capture_begin({.target = target.c_str(), .format = CAPTURE_RAW, .fps_numerator = 1, .fps_denominator = 1,
                       .overwrite = true});
    });
    EXPECT_NE(refused.find(target + "/frame-000101.raw"), std::string::npos) << refused;
    EXPECT_EQ(snapshot(dir), before);
    fs::remove(dir / "frame-000101.raw");
    const Captured run = capture_show("legacy", CAPTURE_RAW, 1, 1, OFFER_8, false, true, nullptr, true);
    ASSERT_EQ(run.code, 19);
    EXPECT_FALSE(fs::exists(dir / "frame-000051.raw"));  // the earlier capture's frames past the new ones
    EXPECT_TRUE(fs::exists(dir / "frame-000050.raw"));
    EXPECT_TRUE(fs::exists(dir / "frame-2024.raw"));
    EXPECT_TRUE(fs::exists(dir / "notes.txt"));
    fs::remove_all(dir);
}

TEST(CaptureFolder, AnInterruptedOverwriteKeepsTheEarlierCaptureAndSavesTheNewOneBeside)
{
    const fs::path dir = earlier_capture_with_user_files("keep-int");
    const auto before = snapshot(dir);
    fs::remove_all(dir.string() + "-parcial");
    std::thread sender([&] {
        wait_for_staged(dir, frame_name(20, "raw"));
        kill(getpid(), SIGINT);
    });
    testing::internal::CaptureStderr();
    const Captured run = capture_show("keep-int", CAPTURE_RAW, 300, 1, OFFER_8, false, true, nullptr, true);
    const std::string err = testing::internal::GetCapturedStderr();
    sender.join();
    EXPECT_EQ(run.code, 128 + SIGINT);
    EXPECT_EQ(snapshot(dir), before);
    const fs::path partial = dir.string() + "-parcial";
    EXPECT_NE(err.find(partial.string()), std::string::npos) << err;
    const int64_t frames = capture_frames_written();
    ASSERT_GE(frames, 21);
    EXPECT_EQ(int64_t(read_table(partial).size()), frames);
    EXPECT_TRUE(fs::exists(partial / "sound.wav"));
    EXPECT_TRUE(staging_of(dir).empty());
    fs::remove_all(dir);
    fs::remove_all(partial);
}

TEST(CaptureFolder, AKilledOverwriteKeepsTheEarlierCaptureAndTheNextRunClearsItsLeftovers)
{
    const fs::path dir = earlier_capture_with_user_files("keep-kill");
    const auto before = snapshot(dir);
    const std::string yurn = std::string(YURN_BINARY_DIR) + "/yurn";
    const std::string target = dir.string();
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        execl(yurn.c_str(), yurn.c_str(), "--data", YURN_SOURCE_DIR, "--capture", target.c_str(), "--overwrite",
              "--fps", "600", "--format", "raw", "--depth", "8", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(wait_for_staged(dir, frame_name(30, "raw")));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(snapshot(dir), before);
    ASSERT_FALSE(staging_of(dir).empty());  // what a kill -9 cannot clean
    const Captured run = capture_show("keep-kill", CAPTURE_RAW, 1, 1, OFFER_8, false, true, nullptr, true);
    ASSERT_EQ(run.code, 19);
    EXPECT_TRUE(staging_of(dir).empty());
    EXPECT_EQ(read_table(dir).size(), 51u);
    EXPECT_TRUE(fs::exists(dir / "notes.txt"));
    fs::remove_all(dir);
}

TEST(CaptureFolder, UnknownVideoNamesAreRefusedWithTheKnownOnes)
{
    char error[256] = "";
    for (const char* name : {"show.avi", "show.MOV", "out/show.gif"}) {
        EXPECT_FALSE(capture_target_valid(name, error, sizeof error)) << name;
        EXPECT_NE(std::string(error).find(".mp4, .mkv o .webm"), std::string::npos) << error;
        EXPECT_NE(std::string(error).find(name), std::string::npos) << error;
    }
    for (const char* name : {"frames", "show.mp4", "show.WebM", "capture.v2", "take.2024"})
        EXPECT_TRUE(capture_target_valid(name, error, sizeof error)) << name;
    // A folder that exists is a folder whatever its name.
    const fs::path dir = capture_dir("named") / "clip.avi";
    fs::create_directories(dir);
    EXPECT_TRUE(capture_target_valid(dir.c_str(), error, sizeof error));
    // A video name that is a folder is refused before the show, not after
    // the whole video has been encoded.
    const fs::path video_folder = dir.parent_path() / "clip.mp4";
    fs::create_directories(video_folder);
    EXPECT_FALSE(capture_target_valid(video_folder.c_str(), error, sizeof error));
    EXPECT_NE(std::string(error).find("es una carpeta"), std::string::npos) << error;
    fs::remove_all(dir.parent_path());
    // The command line refuses it as a usage error.
    Options options;
    char arg0[] = "yurn", arg1[] = "--capture", arg2[] = "show.avi";
    char* argv[] = {arg0, arg1, arg2};
    EXPECT_FALSE(parse_options(3, argv, &options, error, sizeof error));
}

TEST(CaptureShow, AnInterruptionFinishesTheTableAndTheSoundAndSaysSo)
{
    const fs::path dir = capture_dir("interrupt");
    fs::remove_all(dir);
    // Once a few frames are on disk, a real SIGINT to this process.
    std::thread sender([&] {
        wait_until([&] { return fs::exists(dir / frame_name(20, "raw")); }, 60000.0);
        kill(getpid(), SIGINT);
    });
    testing::internal::CaptureStderr();
    const Captured run = capture_show("interrupt", CAPTURE_RAW, 300, 1, OFFER_8);
    const std::string err = testing::internal::GetCapturedStderr();
    sender.join();
    EXPECT_EQ(run.code, 128 + SIGINT);
    EXPECT_NE(err.find("interrumpida"), std::string::npos) << err;
    const int64_t frames = capture_frames_written();
    ASSERT_GE(frames, 21);
    ASSERT_LT(frames, 15001);
    const std::vector<Row> rows = read_table(dir);
    ASSERT_EQ(int64_t(rows.size()), frames);
    for (size_t n = 0; n < rows.size(); ++n) ASSERT_EQ(rows[n].frame, int64_t(n));
    EXPECT_TRUE(fs::exists(dir / frame_name(frames - 1, "raw")));
    EXPECT_FALSE(fs::exists(dir / frame_name(frames, "raw")));
    const std::vector<uint8_t> wav = read_file(dir / "sound.wav");
    const uint32_t samples = uint32_t((frames - 1) * 44100 / 300);
    EXPECT_EQ(le32(wav, 40), samples * 4u);
    EXPECT_EQ(wav.size(), 44u + samples * 4u);
    EXPECT_FALSE(has_temporaries(dir));
    // Once the capture is over a SIGINT ends the process again.
    EXPECT_EXIT(std::raise(SIGINT), ::testing::KilledBySignal(SIGINT), "");
    fs::remove_all(dir);
}

TEST(CaptureShow, AnUndecodableTrackGivesASilentSoundAndAWarning)
{
    const fs::path bad = fs::temp_directory_path() / ("yurn-bad-track-" + std::to_string(getpid()) + ".mp3");
    std::ofstream(bad) << std::string(4096, 'x');
    testing::internal::CaptureStderr();
    const Captured run = capture_show("badtrack", CAPTURE_PPM, 2, 1, OFFER_ALL, false, false, bad.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(run.code, 19);
    EXPECT_NE(err.find("aviso"), std::string::npos) << err;
    EXPECT_NE(err.find(bad.string()), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(run.dir / frame_name(100, "ppm")));
    const std::vector<uint8_t> wav = read_file(run.dir / "sound.wav");
    ASSERT_EQ(wav.size(), 44u + 50u * 44100u * 4u);
    EXPECT_TRUE(std::all_of(wav.begin() + 44, wav.end(), [](uint8_t b) { return b == 0; }));
    fs::remove(bad);
    fs::remove_all(run.dir);
}

// The show captured to target at 2 fps from the source folder; the exit code.
int capture_at_2fps(const fs::path& target, int32_t format, bool overwrite = false)
{
    fs::current_path(YURN_SOURCE_DIR);
    Options options;
    options.headless = true;
    options.fps_numerator = 2;
    capture_begin({.target = target.c_str(), .format = format, .fps_numerator = 2, .fps_denominator = 1,
                   .overwrite = overwrite, .sound_track = "datos/cancion.mp3"});
    return capture_end(run_show(options));
}

// Runs f in a child process whose files may not grow past limit bytes, with
// its standard error in a file; returns the exit status and that text.
template <class F>
std::pair<int, std::string> run_with_file_size_limit(rlim_t limit, F&& f)
{
    const fs::path err = fs::temp_directory_path() / ("yurn-capture-stderr-" + std::to_string(getpid()));
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        FILE* out = std::freopen(err.c_str(), "w", stderr);
        rlimit lower{};
        getrlimit(RLIMIT_FSIZE, &lower);
        lower.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lower);
        const int code = f();
        std::fflush(out);
        _exit(code);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::vector<uint8_t> text = read_file(err);
    fs::remove(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, std::string(text.begin(), text.end())};
}

TEST(CaptureFolder, AFullDiskDuringAnOverwriteKeepsTheEarlierCapture)
{
    const fs::path dir = earlier_capture_with_user_files("keep-full");
    const auto before = snapshot(dir);
    const auto [code, err] = run_with_file_size_limit(20000, [&] {
        fs::current_path(YURN_SOURCE_DIR);
        Options options;
        options.headless = true;
        options.fps_numerator = 2;
        capture_begin({.target = dir.c_str(), .format = CAPTURE_PNG, .fps_numerator = 2, .fps_denominator = 1,
                       .overwrite = true});
        return capture_end(run_show(options));
    });
    EXPECT_EQ(code, 1) << err;
    EXPECT_NE(err.find(system_reason(EFBIG)), std::string::npos) << err;
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_TRUE(staging_of(dir).empty());
    fs::remove_all(dir);
}

TEST(CaptureShow, AFailedFrameWriteEndsWithTheFileAndTheReasonAndLeavesNoPart)
{
    const fs::path dir = capture_dir("limit");
    fs::remove_all(dir);
    const auto [code, err] = run_with_file_size_limit(20000, [&] { return capture_at_2fps(dir, CAPTURE_PNG); });
    EXPECT_EQ(code, 1) << err;
    EXPECT_NE(err.find((dir / "frame-000000.png").string()), std::string::npos) << err;
    EXPECT_NE(err.find(system_reason(EFBIG)), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "frame-000000.png"));
    EXPECT_FALSE(fs::exists(dir / "frames.tsv"));
    EXPECT_FALSE(has_temporaries(dir));
    fs::remove_all(dir);
}

TEST(CaptureShow, AVideoThroughALinkReplacesTheFileItPointsTo)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    const fs::path dir = capture_dir("video-link");
    fs::remove_all(dir);
    fs::create_directories(dir / "real");
    std::ofstream(dir / "real" / "kept.bin") << "the old video";
    fs::create_symlink("real/kept.bin", dir / "show.mkv");
    ASSERT_EQ(capture_at_2fps(dir / "show.mkv", CAPTURE_PNG, true), 19);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "show.mkv")));
    EXPECT_GT(fs::file_size(dir / "real" / "kept.bin"), 1000u);
    EXPECT_FALSE(has_temporaries(dir));
    EXPECT_FALSE(has_temporaries(dir / "real"));
    fs::remove_all(dir);
}

TEST(CaptureShow, AFailedVideoKeepsTheOldFileAndLeavesNoTemporary)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
    const fs::path dir = capture_dir("video-limit");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path video = dir / "show.mp4";
    std::ofstream(video) << "the old video";
    const auto [code, err] = run_with_file_size_limit(20000, [&] { return capture_at_2fps(video, CAPTURE_PNG, true); });
    EXPECT_EQ(code, 1) << err;
    EXPECT_NE(err.find(video.string()), std::string::npos) << err;
    const std::vector<uint8_t> old = read_file(video);
    EXPECT_EQ(std::string(old.begin(), old.end()), "the old video");
    EXPECT_FALSE(has_temporaries(dir));
    fs::remove_all(dir);
}

}  // namespace

namespace {

// The largest magnitude of the left channel's samples from first_s to last_s
// seconds of a 44.1 kHz stereo 16-bit sound.wav.
int32_t peak(const std::vector<uint8_t>& wav, double first_s, double last_s)
{
    int32_t most = 0;
    for (size_t at = 44 + size_t(first_s * 44100) * 4; at + 4 <= wav.size() && at < 44 + size_t(last_s * 44100) * 4;
         at += 4) {
        const int32_t v = int16_t(uint16_t(wav[at] | wav[at + 1] << 8));
        most = std::max(most, v < 0 ? -v : v);
    }
    return most;
}

}  // namespace

// The fade's gain worked out by hand: from 24 s to 27.5 s at 44.1 kHz, frame
// 1,058,400 is its start (gain 1), 1,135,575 (25.75 s) its middle (0.5) and
// 1,212,750 its end (0); samples are truncated toward zero.
TEST(MusicFade, GainAndSamplesWorkedOutByHand)
{
    const MusicFade fade{.from_ms = 24000.0, .to_ms = 27500.0};
    EXPECT_EQ(music_fade_gain(fade, 0, 44100), 1.0);
    EXPECT_EQ(music_fade_gain(fade, 1058399, 44100), 1.0);
    EXPECT_EQ(music_fade_gain(fade, 1058400, 44100), 1.0);
    EXPECT_DOUBLE_EQ(music_fade_gain(fade, 1135575, 44100), 0.5);
    EXPECT_EQ(music_fade_gain(fade, 1212750, 44100), 0.0);
    EXPECT_EQ(music_fade_gain(fade, 5000000, 44100), 0.0);
    // At another rate the same time gives the same gain: 25.75 s at 48 kHz.
    EXPECT_DOUBLE_EQ(music_fade_gain(fade, 1236000, 48000), 0.5);
    // No fade (to not after from, or from < 0): every gain is 1.
    EXPECT_EQ(music_fade_gain({.from_ms = 0.0, .to_ms = 0.0}, 99999999, 44100), 1.0);
    EXPECT_EQ(music_fade_gain({.from_ms = -1.0, .to_ms = 5.0}, 220, 44100), 1.0);
    // Two stereo frames at the middle: 1001 * 0.5 = 500.5 -> 500, -1001 ->
    // -500, 32767 -> 16383, -32768 -> -16384; then one frame past the end.
    int16_t samples[] = {1001, -1001, 32767, -32768, 1234, -1234};
    music_fade_apply(fade, samples, 2, 2, 1135575, 44100);
    // The second frame is a 44100th of a second later: gain (27500 - t) / 3500.
    const double later = (27500.0 - 1135576 * 1000.0 / 44100) / 3500.0;
    EXPECT_EQ(samples[0], 500);
    EXPECT_EQ(samples[1], -500);
    EXPECT_EQ(samples[2], int16_t(32767 * later));
    EXPECT_EQ(samples[3], int16_t(-32768 * later));
    music_fade_apply(fade, samples + 4, 1, 2, 1212750, 44100);
    EXPECT_EQ(samples[4], 0);
    EXPECT_EQ(samples[5], 0);
    int16_t before[] = {-7, 7};
    music_fade_apply(fade, before, 1, 2, 1058399, 44100);
    EXPECT_EQ(before[0], -7);
    EXPECT_EQ(before[1], 7);
}

namespace {

// The track decoded by ffmpeg here, for the test's own computation.
std::vector<int16_t> decoded_track(const std::string& path)
{
    const fs::path raw = fs::temp_directory_path() / ("yurn-track-" + std::to_string(getpid()) + ".raw");
    const std::string command = "ffmpeg -loglevel error -nostdin -y -i '" + path +
                                "' -f s16le -acodec pcm_s16le -ac 2 -ar 44100 '" + raw.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const std::vector<uint8_t> bytes = read_file(raw);
    fs::remove(raw);
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

int16_t wav_sample(const std::vector<uint8_t>& wav, size_t index)
{
    return int16_t(uint16_t(wav[44 + 2 * index] | wav[45 + 2 * index] << 8));
}

}  // namespace

TEST(CaptureShow, TheEngineShowsRecordedMusicFadesOutAsTheLiveOneDoes)
{
    if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no ffmpeg to decode the track";
    const fs::path dir = capture_dir("engine-fade");
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string yurn = std::string(YURN_BINARY_DIR) + "/yurn --script engine --data " + YURN_SOURCE_DIR;
    const std::string folder = (dir / "frames").string(), video = (dir / "show.mp4").string();
    ASSERT_EQ(WEXITSTATUS(std::system((yurn + " --fps 2 --format raw --capture " + folder + " 2>/dev/null").c_str())), 7);
    ASSERT_EQ(WEXITSTATUS(std::system((yurn + " --fps 2 --capture " + video + " 2>/dev/null").c_str())), 7);
    const std::vector<uint8_t> wav = read_file(dir / "frames" / "sound.wav");
    ASSERT_EQ(wav.size(), 44u + size_t(27.5 * 44100) * 4);
    // The fade runs from 24 s to silence at 27.5 s, where the show ends.
    const int32_t before = peak(wav, 20.0, 24.0);
    EXPECT_GT(before, 4000);
    EXPECT_LT(peak(wav, 26.5, 27.0), before / 3);
    EXPECT_LT(peak(wav, 27.4, 28.0), 400);
    // Sample for sample: the track as ffmpeg decodes it, times the gain
    // worked out here, truncated.
    const std::vector<int16_t> track = decoded_track(std::string(YURN_SOURCE_DIR) + "/datos/cancion.mp3");
    ASSERT_GT(track.size(), size_t(28 * 44100) * 2);
    for (const size_t frame : {size_t(0), size_t(44100), size_t(1058399), size_t(1058400), size_t(1100000),
                               size_t(1135575), size_t(1200000), size_t(1212749)}) {
        const double t = double(frame) / 44.1;
        const double gain = t < 24000.0 ? 1.0 : (27500.0 - t) / 3500.0;
        for (size_t c = 0; c < 2; ++c)
            EXPECT_EQ(wav_sample(wav, 2 * frame + c), int16_t(double(track[2 * frame + c]) * gain)) << frame;
    }
    // The video carries the same sound through a lossy encoder: in every
    // fifth of a second it differs from sound.wav's by far less than a
    // shifted or unfaded track would (a drum's attack costs a lossy encoder
    // a quarter of the signal); silent after the fade.
    const std::vector<int16_t> heard = decoded_track(video);
    ASSERT_GE(heard.size(), wav.size() / 2 - 44);
    for (double t = 0.5; t < 27.4; t += 0.5) {
        const size_t at = size_t(t * 44100) * 2;
        double signal = 0, error = 0;
        for (size_t i = at; i < at + 8820; ++i) {
            const double w = wav_sample(wav, i);
            signal += w * w;
            error += (w - heard[i]) * (w - heard[i]);
        }
        EXPECT_LT(std::sqrt(error / 8820), 30.0 + 0.35 * std::sqrt(signal / 8820)) << "at " << t << " s";
    }
    for (size_t i = size_t(27.5 * 44100) * 2; i < heard.size(); ++i)
        ASSERT_LT(std::abs(heard[i]), 64) << i;
    fs::remove_all(dir);
}
