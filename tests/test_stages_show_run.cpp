// The whole photograph show, run in-process on the headless display at 10 fps:
// which stage is current at which T, what every frame holds, the exit code,
// and the same frames whether the photographs come from Yurn.pak or from disk.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "files/files.h"
#include "platform/platform.h"
#include "shell/options.h"
#include "shell/run.h"
#include "stages/show_stages.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t W = 320, H = 240, N = W * H;
constexpr int64_t FPS = 10;

struct Seen {
    int64_t frame;
    double time_ms;
    int32_t stage;
    uint64_t hash;
    std::vector<uint32_t> pixels;  // kept only when asked for
};

struct Recorder {
    std::vector<Seen> frames;
    bool keep_pixels = false;
};

uint64_t fnv(const uint8_t* p, size_t n)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

void record(const PresentedFrame& f, void* user)
{
    auto* r = static_cast<Recorder*>(user);
    Seen s{f.frame, f.time_ms, f.stage, fnv(f.pixels, size_t(f.width) * f.height * (f.depth / 8)), {}};
    if (r->keep_pixels && f.depth == 32) {
        s.pixels.resize(N);
        std::memcpy(s.pixels.data(), f.pixels, N * 4);
    }
    r->frames.push_back(std::move(s));
}

int32_t run_headless(Recorder& recorder)
{
    Options options;
    options.headless = true;
    options.fps_numerator = FPS;
    options.fps_denominator = 1;
    headless_set_present_hook(record, &recorder);
    const int32_t code = run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    return code;
}

// The blend as the formula reads, lane by lane, top byte from the first picture.
uint32_t mix(uint32_t a, uint32_t b, uint32_t c)
{
    uint32_t out = a & 0xFF000000u;
    for (int s = 0; s < 24; s += 8) out |= (((255 - c) * ((a >> s) & 255)) / 256 + (c * ((b >> s) & 255)) / 256) << s;
    return out;
}

// What the test expects of frame n, worked out from the schedule and the
// virtual clock alone: T = 100 n ms; ticks at 14 k ms are delivered after the
// present of the frame before; a photograph stays until T passes its cue, the
// cross-fade after it starts on that same frame and ends on the first frame
// whose weight (2 per tick since it became current) reaches 254.
struct Expected {
    int32_t stage;
    int32_t c;  // cross-fade weight byte, -1 on a photograph
};

std::vector<Expected> expected_show(int64_t* last_frame)
{
    std::vector<Expected> out;
    int64_t n = 0;
    auto t = [](int64_t frame) { return 1000.0 * double(frame) / double(FPS); };
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) {
        const double cue = 5000.0 * (k + 1);
        while (t(n) <= cue) out.push_back({2 * k, -1}), ++n;
        if (k == PHOTO_COUNT - 1) break;
        // The fade: current from frame n on, first frame at that T with no tick of its own.
        const int64_t start = n;
        for (;;) {
            const int64_t ticks = int64_t(std::floor(t(n) / 14.0)) - int64_t(std::floor(t(start) / 14.0));
            const float weight = 2.0f * float(ticks);
            const int32_t c = weight > 255.0f ? 255 : int32_t(weight);
            out.push_back({2 * k + 1, c});
            ++n;
            if (weight >= 254.0f) break;
            EXPECT_LE(t(n), 5000.0 * (k + 2)) << "a fade would reach its cue";
        }
    }
    *last_frame = n - 1;
    return out;
}

std::vector<std::vector<uint32_t>> load_photos()
{
    std::vector<std::vector<uint32_t>> photos(PHOTO_COUNT, std::vector<uint32_t>(N));
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) read_pcx(PHOTO_FILES[k], photos[k].data(), N * 4, nullptr);
    return photos;
}

// A scratch folder whose datos/ is the source tree's: whatever else lies in
// the source folder (an archive packed by hand) is never read instead.
struct InSourceDir {
    fs::path old = fs::current_path();
    fs::path dir = fs::temp_directory_path() / ("yurn-show-data-" + std::to_string(getpid()));
    InSourceDir()
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        fs::create_directory_symlink(fs::path(YURN_SOURCE_DIR) / "datos", dir / "datos");
        fs::current_path(dir);
    }
    ~InSourceDir()
    {
        fs::current_path(old);
        fs::remove_all(dir);
    }
};

TEST(PhotoShow, RunsItsSequenceFrameByFrameAndEndsWith19)
{
    InSourceDir here;
    ASSERT_FALSE(fs::exists("Yurn.pak")) << "an archive here would be read instead of datos/";
    Recorder recorder;
    recorder.keep_pixels = true;
    ASSERT_EQ(run_headless(recorder), 19);

    int64_t last = 0;
    const std::vector<Expected> expected = expected_show(&last);
    ASSERT_EQ(recorder.frames.size(), expected.size());
    EXPECT_EQ(last, 500);  // T = 50000 ms is not past the last cue; 50100 is
    const auto photos = load_photos();
    int32_t fades_checked = 0;
    for (size_t n = 0; n < expected.size(); ++n) {
        const Seen& seen = recorder.frames[n];
        const Expected& e = expected[n];
        ASSERT_EQ(seen.frame, int64_t(n));
        ASSERT_DOUBLE_EQ(seen.time_ms, 100.0 * double(n));
        ASSERT_EQ(seen.stage, e.stage) << "frame " << n << " at T " << seen.time_ms;
        ASSERT_EQ(seen.pixels.size(), size_t(N));
        if (e.c < 0) {
            ASSERT_EQ(seen.pixels, photos[e.stage / 2]) << "photograph frame " << n;
        } else {
            const auto& a = photos[(e.stage - 1) / 2];
            const auto& b = photos[(e.stage + 1) / 2];
            for (int32_t i = 0; i < N; ++i)
                ASSERT_EQ(seen.pixels[i], mix(a[i], b[i], uint32_t(e.c))) << "fade frame " << n << " c " << e.c;
            ++fades_checked;
        }
    }
    // Nine fades of 19 frames each at 10 fps (127 ticks = 1778 ms).
    EXPECT_EQ(fades_checked, 9 * 19);
}

// Minimised in the middle of the first fade until after the second cue: the
// fade consumes that cue, so every later photograph is held until one cue
// later than otherwise, and the show ends after 55 s.
void minimise_during_first_fade(const PresentedFrame& f, void* user)
{
    record(f, user);
    if (f.frame == 52) {
        headless_queue_event({.type = EVENT_ACTIVATE, .key = 0, .minimised = 1}, 0);
        headless_queue_event({.type = EVENT_ACTIVATE, .key = 0, .minimised = 0}, 60);
    }
}

TEST(PhotoShow, AFadeOverrunByItsCueShiftsTheRestByOneCue)
{
    InSourceDir here;
    Recorder recorder;
    Options options;
    options.headless = true;
    options.fps_numerator = FPS;
    headless_set_present_hook(minimise_during_first_fade, &recorder);
    const int32_t code = run_show(options);
    headless_set_present_hook(nullptr, nullptr);
    EXPECT_EQ(code, 19);
    const auto& frames = recorder.frames;
    ASSERT_GT(frames.size(), 60u);
    EXPECT_EQ(frames[51].stage, 1);
    EXPECT_EQ(frames[52].stage, 1);
    EXPECT_DOUBLE_EQ(frames[52].time_ms, 5200.0);
    // Nothing is drawn while minimised; the next frame is already photograph 2.
    EXPECT_EQ(frames[53].stage, 2);
    EXPECT_DOUBLE_EQ(frames[53].time_ms, 11200.0);
    for (const Seen& seen : frames) {
        const double t = seen.time_ms;
        if (seen.stage == 2) {
            EXPECT_LE(t, 15000.0);
        }
        if (seen.stage == 3) {
            EXPECT_GT(t, 15000.0);
        }
    }
    EXPECT_EQ(frames.back().stage, 18);
    EXPECT_DOUBLE_EQ(frames.back().time_ms, 55000.0);
}

TEST(PhotoShow, MissingPhotographStopsBeforeTheFirstFrame)
{
    const fs::path dir = fs::temp_directory_path() / ("yurn-show-missing-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "datos");
    for (int32_t k = 0; k < PHOTO_COUNT; ++k)
        if (k != 6) fs::copy_file(fs::path(YURN_SOURCE_DIR) / PHOTO_FILES[k], dir / PHOTO_FILES[k]);
    const fs::path old = fs::current_path();
    fs::current_path(dir);
    Recorder recorder;
    const std::string message = fatal_message_of([&] { run_headless(recorder); });
    headless_set_present_hook(nullptr, nullptr);
    fs::current_path(old);
    fs::remove_all(dir);
    EXPECT_EQ(message, "No encuentro el fichero \"datos/Foto7.pcx\"");
    EXPECT_TRUE(recorder.frames.empty());
}

// Writes an archive: 24-byte entries (16-byte name, offset, length), a zero
// entry, then the members.
void write_pak(const fs::path& pak, const std::vector<std::string>& names, const fs::path& from)
{
    std::vector<std::vector<uint8_t>> members;
    for (const std::string& name : names) {
        FILE* f = std::fopen((from / name).c_str(), "rb");
        ASSERT_NE(f, nullptr) << name;
        std::vector<uint8_t> bytes;
        uint8_t buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
        std::fclose(f);
        members.push_back(std::move(bytes));
    }
    std::vector<uint8_t> out(24 * (names.size() + 1), 0);
    uint32_t offset = uint32_t(out.size());
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_LE(names[i].size(), 16u);
        std::memcpy(&out[24 * i], names[i].data(), names[i].size());
        const uint32_t length = uint32_t(members[i].size());
        std::memcpy(&out[24 * i + 16], &offset, 4);
        std::memcpy(&out[24 * i + 20], &length, 4);
        offset += length;
    }
    for (const auto& m : members) out.insert(out.end(), m.begin(), m.end());
    FILE* f = std::fopen(pak.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(out.data(), 1, out.size(), f);
    std::fclose(f);
}

TEST(PhotoShow, SameFramesFromTheArchiveAndFromDisk)
{
    const fs::path root = fs::temp_directory_path() / ("yurn-show-pak-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path disk = root / "disk", packed = root / "packed";
    fs::create_directories(disk / "datos");
    fs::create_directories(packed / "datos");
    std::vector<std::string> names;
    for (int32_t k = 0; k < PHOTO_COUNT; ++k) {
        fs::copy_file(fs::path(YURN_SOURCE_DIR) / PHOTO_FILES[k], disk / PHOTO_FILES[k]);
        names.push_back(PHOTO_FILES[k]);
    }
    write_pak(packed / "Yurn.pak", names, disk);
    // Only the archive holds the photographs here: nothing else could be read.
    const fs::path old = fs::current_path();
    Recorder from_disk, from_pak;
    fs::current_path(disk);
    const int32_t code_disk = run_headless(from_disk);
    fs::current_path(packed);
    const int32_t code_pak = run_headless(from_pak);
    fs::current_path(old);
    fs::remove_all(root);
    EXPECT_EQ(code_disk, 19);
    EXPECT_EQ(code_pak, 19);
    ASSERT_EQ(from_disk.frames.size(), from_pak.frames.size());
    for (size_t i = 0; i < from_disk.frames.size(); ++i) {
        ASSERT_EQ(from_disk.frames[i].hash, from_pak.frames[i].hash) << "frame " << i;
        ASSERT_EQ(from_disk.frames[i].stage, from_pak.frames[i].stage);
    }
}

}  // namespace
