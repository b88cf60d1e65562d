// Video capture and its sound, as the whole program meets them: a song
// shorter than the show, a missing song, a video name that exists, an
// interruption over an earlier video, a hang-up, and a capture on a terminal
// saying where its files went.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture/capture.h"
#include "shell/options.h"
#include "shell/shell.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const std::string YURN = std::string(YURN_BINARY_DIR) + "/yurn";

bool have_ffmpeg() { return std::system("command -v ffmpeg >/dev/null 2>&1") == 0; }

std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path scratch(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("yurn-video-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Runs a shell command; its exit code (-1 when it did not exit).
int run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A stream's duration in seconds as ffprobe reads it ("v:0" or "a:0"); -1 if none.
double stream_seconds(const fs::path& video, const char* stream)
{
    const fs::path out = video.string() + ".probe";
    run("ffprobe -v error -select_streams " + std::string(stream) +
        " -show_entries packet=pts_time,duration_time -of csv=p=0 '" + video.string() + "' > '" + out.string() + "'");
    std::ifstream in(out);
    double last = -1.0, pts = 0.0, duration = 0.0;
    std::string line;
    while (std::getline(in, line))
        if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) == 2)
            last = std::max(last, pts + duration);
    fs::remove(out);
    return last;
}

// Until the frame file says at least n frames were presented (a minute at most).
bool wait_for_frames(const fs::path& frame_file, int64_t n)
{
    return wait_until(
        [&] {
            const std::string text = read_text(frame_file);
            return !text.empty() && std::atoll(text.c_str()) >= n;
        },
        60000.0);
}

bool has_temporaries(const fs::path& dir)
{
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos) return true;
    return false;
}

TEST(CaptureVideo, ASongShorterThanTheShowIsPaddedWithSilence)
{
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const fs::path dir = scratch("short-song");
    fs::create_directories(dir / "datos");
    for (int k = 1; k <= 10; ++k)
        fs::copy(fs::path(YURN_SOURCE_DIR) / "datos" / ("Foto" + std::to_string(k) + ".pcx"), dir / "datos");
    ASSERT_EQ(run("ffmpeg -loglevel error -nostdin -f lavfi -i sine=frequency=440:duration=3 -ac 2 '" +
                  (dir / "datos" / "cancion.mp3").string() + "'"),
              0);
    const fs::path video = dir / "show.mp4";
    const int code = run(YURN + " --data '" + dir.string() + "' --fps 2 --capture '" + video.string() + "' 2>'" +
                         (dir / "stderr").string() + "'");
    EXPECT_EQ(code, 19) << read_text(dir / "stderr");
    EXPECT_EQ(read_text(dir / "stderr").find("dejó de aceptar"), std::string::npos);
    // 101 frames at 2 fps: 50.5 s of picture, and sound as long.
    EXPECT_NEAR(stream_seconds(video, "v:0"), 50.5, 0.01);
    EXPECT_GE(stream_seconds(video, "a:0"), 50.4);
    fs::remove_all(dir);
}

TEST(CaptureVideo, AMissingSongIsSaidOnceAndTheSoundIsSilent)
{
    const fs::path dir = scratch("no-song");
    fs::create_directories(dir / "datos");
    for (int k = 1; k <= 10; ++k)
        fs::copy(fs::path(YURN_SOURCE_DIR) / "datos" / ("Foto" + std::to_string(k) + ".pcx"), dir / "datos");
    const fs::path err = dir / "stderr";
    EXPECT_EQ(run(YURN + " --data '" + dir.string() + "' --fps 1 --format ppm --capture '" + (dir / "frames").string() +
                  "' 2>'" + err.string() + "'"),
              19);
    std::string text = read_text(err);
    const size_t at = text.find("cancion.mp3");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NE(text.find("silencio"), std::string::npos) << text;
    EXPECT_EQ(text.find("cancion.mp3", at + 1), std::string::npos) << "said more than once: " << text;
    const std::string wav = read_text(dir / "frames" / "sound.wav");
    ASSERT_EQ(wav.size(), 44u + 50u * 44100u * 4u);
    EXPECT_EQ(wav.find_first_not_of('\0', 44), std::string::npos);
    if (have_ffmpeg()) {
        const fs::path video = dir / "show.mkv";
        EXPECT_EQ(run(YURN + " --data '" + dir.string() + "' --fps 1 --capture '" + video.string() + "' 2>'" +
                      err.string() + "'"),
                  19);
        text = read_text(err);
        EXPECT_NE(text.find("silencio"), std::string::npos) << text;
        EXPECT_GE(stream_seconds(video, "a:0"), 50.9);
    }
    fs::remove_all(dir);
}

TEST(CaptureVideo, AVideoThatExistsIsReplacedOnlyWithOverwrite)
{
    const fs::path dir = scratch("exists");
    const fs::path video = dir / "show.webm";
    std::ofstream(video) << "mine";
    char error[256] = "";
    Options options;
    std::string target = video.string();
    char arg0[] = "yurn", arg1[] = "--capture", arg3[] = "--overwrite";
    char* argv[] = {arg0, arg1, target.data(), arg3};
    EXPECT_FALSE(parse_options(3, argv, &options, error, sizeof error));
    EXPECT_NE(std::string(error).find(target), std::string::npos) << error;
    EXPECT_NE(std::string(error).find("--overwrite"), std::string::npos) << error;
    Options with;
    EXPECT_TRUE(parse_options(4, argv, &with, error, sizeof error)) << error;
    EXPECT_TRUE(with.overwrite);
    // The program: a usage error, the file untouched; a dangling link too.
    EXPECT_EQ(run(YURN + " --fps 1 --capture '" + target + "' 2>/dev/null"), 2);
    EXPECT_EQ(read_text(video), "mine");
    fs::create_symlink(dir / "nowhere.mp4", dir / "link.mp4");
    EXPECT_EQ(run(YURN + " --fps 1 --capture '" + (dir / "link.mp4").string() + "' 2>/dev/null"), 2);
    EXPECT_TRUE(fs::is_symlink(dir / "link.mp4"));
    fs::remove_all(dir);
}

TEST(CaptureVideo, AnInterruptionOverAnEarlierVideoKeepsItAndSavesThePartBeside)
{
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const fs::path dir = scratch("keep-old");
    const fs::path video = dir / "show.mkv", frames = dir / "frames";
    std::ofstream(video) << "the old video";
    const fs::path err = dir / "stderr";
    const std::string command = "env YURN_FRAME_FILE='" + frames.string() + "' " + YURN + " --data " + YURN_SOURCE_DIR +
                                " --fps 600 --overwrite --capture '" + video.string() + "' 2>'" + err.string() + "'";
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove(frames);
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(wait_for_frames(frames, 64));
        kill(child, signal_number);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status)) << signal_number;
        EXPECT_EQ(WEXITSTATUS(status), 128 + signal_number);
        EXPECT_EQ(read_text(video), "the old video");
        const fs::path partial =
            dir / (signal_number == SIGINT ? "show-parcial.mkv" : signal_number == SIGTERM ? "show-parcial-2.mkv"
                                                                                           : "show-parcial-3.mkv");
        const std::string text = read_text(err);
        EXPECT_NE(text.find(partial.string()), std::string::npos) << text;
        EXPECT_GT(stream_seconds(partial, "v:0"), 0.1) << text;
        EXPECT_FALSE(has_temporaries(dir));
    }
    fs::remove_all(dir);
}

// The decoded pictures of a video's frames, each width x height x 3 bytes.
std::vector<std::string> decoded_frames(const fs::path& video, int32_t width, int32_t height)
{
    const fs::path raw = video.string() + ".rgb";
    run("ffmpeg -loglevel error -nostdin -y -i '" + video.string() + "' -map 0:v -f rawvideo -pix_fmt rgb24 '" +
        raw.string() + "'");
    const std::string bytes = read_text(raw);
    fs::remove(raw);
    std::vector<std::string> frames;
    const size_t size = size_t(width) * size_t(height) * 3;
    for (size_t at = 0; at + size <= bytes.size(); at += size)
        frames.push_back(bytes.substr(at, size));
    return frames;
}

TEST(CaptureVideo, TheFramesAreThePpmFramesScaledThreeTimesThroughTheSameEncoder)
{
    if (!have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const fs::path dir = scratch("same-frames");
    const std::string yurn = YURN + " --script engine --data " + YURN_SOURCE_DIR + " --fps 2 --capture ";
    ASSERT_EQ(run(yurn + "'" + (dir / "frames").string() + "' --format ppm 2>/dev/null"), 7);
    ASSERT_EQ(run(yurn + "'" + (dir / "show.mp4").string() + "' 2>/dev/null"), 7);
    // The frames as the encoder alone gets them from disk, with the settings
    // the capture gives it.
    ASSERT_EQ(run("ffmpeg -loglevel error -nostdin -framerate 2 -i '" + (dir / "frames").string() +
                  "/frame-%06d.ppm' -vf 'format=yuv444p,scale=iw*3:ih*3:flags=neighbor,format=yuv420p' "
                  "-c:v libx264 -preset ultrafast -crf 18 -pix_fmt yuv420p '" + (dir / "alone.mp4").string() + "'"),
              0);
    const std::vector<std::string> captured = decoded_frames(dir / "show.mp4", 960, 720);
    const std::vector<std::string> alone = decoded_frames(dir / "alone.mp4", 960, 720);
    ASSERT_EQ(captured.size(), 56u);  // 27.5 s at 2 fps, and frame 0
    ASSERT_EQ(alone.size(), captured.size());
    for (size_t n = 0; n < captured.size(); ++n)
        ASSERT_TRUE(captured[n] == alone[n]) << "frame " << n;
    // And close to the PPM frame scaled 3x by nearest neighbour, computed
    // here (the encoder is lossy: a small mean difference, no offset).
    for (const size_t n : {size_t(0), size_t(20), size_t(55)}) {
        char name[32];
        std::snprintf(name, sizeof name, "frame-%06zu.ppm", n);
        const std::string ppm = read_text(dir / "frames" / name);
        const std::string pixels = ppm.substr(ppm.size() - 320 * 240 * 3);
        double difference = 0;
        for (int32_t y = 0; y < 720; ++y)
            for (int32_t x = 0; x < 960; ++x)
                for (int32_t c = 0; c < 3; ++c)
                    difference += std::abs(int(uint8_t(captured[n][(size_t(y) * 960 + x) * 3 + c])) -
                                           int(uint8_t(pixels[(size_t(y / 3) * 320 + x / 3) * 3 + c])));
        EXPECT_LT(difference / (960.0 * 720 * 3), 3.0) << "frame " << n;
    }
    fs::remove_all(dir);
}

TEST(CaptureVideo, OnATerminalTheCaptureEndsSayingWhereItsFilesAre)
{
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    const fs::path dir = scratch("terminal");
    const fs::path out = dir / "typescript", folder = dir / "frames";
    const std::string inner = YURN + " --data " + YURN_SOURCE_DIR + " --fps 1 --format ppm --capture " + folder.string();
    ASSERT_EQ(run("script -qec '" + inner + "' '" + out.string() + "' >/dev/null 2>&1"), 19);
    const std::string text = read_text(out);
    const size_t bar = text.rfind("51/51 fotogramas");
    ASSERT_NE(bar, std::string::npos) << text;
    EXPECT_NE(text.find("grabados en \"" + folder.string() + "\"", bar), std::string::npos) << text;
    fs::remove_all(dir);
}

}  // namespace
