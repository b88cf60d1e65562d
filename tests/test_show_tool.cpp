// The show maker and what it shares: yurn-show new spaces the cues and
// writes the show, its pictures and its archive; the encoder lays
// transparent pixels over black and says so; yurn-pak packs what a show reads.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "files/files.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Rgba {
    uint8_t r, g, b, a;
};

// An uncompressed 32-bit TGA, rows from the top: the plainest picture with
// an alpha channel that every reader takes.
void write_tga(const fs::path& path, int w, int h, const std::vector<Rgba>& pixels)
{
    std::string out(18, '\0');
    out[2] = 2;  // uncompressed true colour
    out[12] = char(w & 255), out[13] = char(w >> 8);
    out[14] = char(h & 255), out[15] = char(h >> 8);
    out[16] = 32;
    out[17] = 0x28;  // top-left origin, 8 alpha bits
    for (const Rgba& p : pixels)
        out += std::string{char(p.b), char(p.g), char(p.r), char(p.a)};
    std::ofstream(path, std::ios::binary) << out;
}

class ShowTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"yurn-show", "yurn-pcx", "yurn-pak", "yurn"})
            if (!fs::exists(fs::path(YURN_BINARY_DIR) / tool))
                GTEST_SKIP() << tool << " is not built";
        dir = fs::temp_directory_path() / ("yurn-showtool-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    // Runs a program of the build in the scratch folder; standard output in
    // out, standard error in err, the exit status returned.
    int run(const std::string& command, const std::string& in = ".")
    {
        const std::string line = "cd " + (dir / in).string() + " && " YURN_BINARY_DIR "/" + command + " >" +
                                 (dir / "out.txt").string() + " 2>" + (dir / "err.txt").string();
        const int status = std::system(line.c_str());
        out = slurp(dir / "out.txt");
        err = slurp(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::vector<uint32_t> read(const fs::path& name, uint32_t w, uint32_t h)
    {
        std::vector<uint32_t> px(size_t(w) * h);
        read_pcx((dir / name).c_str(), px.data(), px.size() * 4, nullptr);
        return px;
    }
    fs::path dir;
    std::string out, err;
};

TEST_F(ShowTool, TransparentPixelsAreLaidOverBlackWithAWarning)
{
    // Half-covered (alpha 128) and opaque: 200 * 128 / 255 = 100.4 -> 100,
    // 100 * 128 / 255 = 50.2 -> 50, 50 * 128 / 255 = 25.1 -> 25.
    write_tga(dir / "half.tga", 2, 1, {{200, 100, 50, 128}, {10, 20, 30, 255}});
    ASSERT_EQ(run("yurn-pcx encode half.tga half.pcx --size 2x1"), 0) << err;
    EXPECT_NE(err.find("transparentes"), std::string::npos) << err;
    EXPECT_EQ(read("half.pcx", 2, 1), (std::vector<uint32_t>{0x643219, 0x0A141E}));

    write_tga(dir / "clear.tga", 2, 1, {{200, 100, 50, 0}, {255, 255, 255, 0}});
    ASSERT_EQ(run("yurn-pcx encode clear.tga clear.pcx --size 2x1"), 0) << err;
    EXPECT_NE(err.find("transparente entera"), std::string::npos) << err;
    EXPECT_EQ(read("clear.pcx", 2, 1), (std::vector<uint32_t>{0, 0}));

    write_tga(dir / "solid.tga", 1, 1, {{1, 2, 3, 255}});
    ASSERT_EQ(run("yurn-pcx encode solid.tga solid.pcx --size 1x1"), 0) << err;
    EXPECT_EQ(err, "");
    EXPECT_EQ(read("solid.pcx", 1, 1), (std::vector<uint32_t>{0x010203}));
}

TEST_F(ShowTool, SpacesTheCuesOverTheGivenSecondsAndWritesEverything)
{
    // Three frame-sized pictures, each one colour, and a "song" that only
    // needs to exist: --seconds gives the length.
    for (int k = 0; k < 3; ++k)
        write_tga(dir / ("p" + std::to_string(k) + ".tga"), 320, 240,
                  std::vector<Rgba>(320 * 240, Rgba{uint8_t(40 * k), 90, uint8_t(200 - k), 255}));
    std::ofstream(dir / "song.mp3") << "not really sound";
    ASSERT_EQ(run("yurn-show new mine p0.tga p1.tga p2.tga --music song.mp3 --seconds 12"), 0) << err;
    const std::string show = slurp(dir / "mine/show.toml");
    // 12 s over three photographs: cues at 4, 8 and 12; the song fades over the last 2 s.
    for (const char* line : {"\nuntil = 4\n", "\nuntil = 8\n", "\nuntil = 12\n", "\nexit_code = 5 ", "\nlength = 12\n",
                             "\nfade_from = 10\nfade_to = 12\n", "\nseconds = 1.778\n", "file = \"datos/f003.pcx\"",
                             "file = \"datos/cancion.mp3\""})
        EXPECT_NE(show.find(line), std::string::npos) << "no " << line << " in\n" << show;
    EXPECT_EQ(slurp(dir / "mine/datos/cancion.mp3"), "not really sound");
    for (int k = 0; k < 3; ++k) {
        const std::vector<uint32_t> px = read("mine/datos/f00" + std::to_string(k + 1) + ".pcx", 320, 240);
        EXPECT_EQ(px[0], uint32_t(40 * k) << 16 | 90u << 8 | uint32_t(200 - k));
        EXPECT_EQ(px[320 * 240 - 1], px[0]);
    }
    EXPECT_NE(out.find("yurn --show mine/show.toml"), std::string::npos) << out;
    EXPECT_NE(out.find("web.sh --show mine"), std::string::npos) << out;
    ASSERT_EQ(run("yurn-pak list mine/Yurn.pak"), 0) << err;
    EXPECT_NE(out.find("datos/f001.pcx"), std::string::npos);
    EXPECT_NE(out.find("datos/f003.pcx"), std::string::npos);
    EXPECT_EQ(out.find("cancion"), std::string::npos) << "the music is read from the disk, not the archive";
    ASSERT_EQ(run("yurn --check mine/show.toml"), 0) << err;
    // A second show into the same folder would overwrite the first.
    EXPECT_EQ(run("yurn-show new mine p0.tga --music song.mp3 --seconds 12"), 1);
    EXPECT_NE(err.find("show.toml"), std::string::npos) << err;
}

TEST_F(ShowTool, ShortFadesLetManyPhotographsFitAShortSong)
{
    write_tga(dir / "p.tga", 4, 3, std::vector<Rgba>(12, Rgba{1, 2, 3, 255}));
    std::ofstream(dir / "song.mp3") << "x";
    std::string many = "yurn-show new mine";
    for (int k = 0; k < 12; ++k)
        many += " p.tga";
    // 20 s over twelve: 1.667 s each, so each fade leaves half a second alone.
    ASSERT_EQ(run(many + " --music song.mp3 --seconds 20"), 0) << err;
    ASSERT_EQ(run("yurn --check mine/show.toml"), 0) << err;
    EXPECT_NE(slurp(dir / "mine/show.toml").find("seconds = 1.162\n"), std::string::npos);
    // Too many for the time even so: a failure naming what is needed.
    fs::remove_all(dir / "mine");
    EXPECT_EQ(run(many + " --music song.mp3 --seconds 5 --fade 1"), 1);
    EXPECT_NE(err.find("no caben"), std::string::npos) << err;
}

TEST_F(ShowTool, BadCommandLinesAreUsageErrors)
{
    write_tga(dir / "p.tga", 4, 3, std::vector<Rgba>(12, Rgba{1, 2, 3, 255}));
    EXPECT_EQ(run("yurn-show new mine p.tga"), 2);  // no song
    EXPECT_NE(err.find("--music"), std::string::npos) << err;
    EXPECT_EQ(run("yurn-show new mine --music s.mp3"), 2);  // no photograph
    std::string too_many = "yurn-show new mine";
    for (int k = 0; k < 101; ++k)
        too_many += " p.tga";
    EXPECT_EQ(run(too_many + " --music s.mp3 --seconds 900"), 2);
    EXPECT_EQ(run("yurn-show new mine p.tga --music s.mp3 --seconds -3"), 2);
    EXPECT_EQ(run("yurn-show new mine p.tga --music s.mp3 --fit stretch"), 2);
    EXPECT_EQ(run("yurn-show make mine p.tga --music s.mp3"), 2);
    EXPECT_FALSE(fs::exists(dir / "mine"));
}

TEST_F(ShowTool, AnUnreadablePhotographOrSongLeavesNoFolderBehind)
{
    write_tga(dir / "p.tga", 4, 3, std::vector<Rgba>(12, Rgba{1, 2, 3, 255}));
    std::ofstream(dir / "cut.tga") << std::string(30, '\2');
    std::ofstream(dir / "song.mp3") << "x";
    EXPECT_EQ(run("yurn-show new mine p.tga cut.tga --music song.mp3 --seconds 9"), 1);
    EXPECT_NE(err.find("cut.tga"), std::string::npos) << err;
    EXPECT_EQ(run("yurn-show new mine p.tga p.tga --music nada.mp3 --seconds 9"), 1);
    EXPECT_NE(err.find("nada.mp3"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "mine"));
}

TEST_F(ShowTool, PakPacksExactlyWhatAShowReads)
{
    fs::create_directories(dir / "s/datos");
    fs::create_directories(dir / "s/otros");
    std::ofstream(dir / "s/datos/a.pcx") << "AAAA";
    std::ofstream(dir / "s/otros/b.txt") << "BB";
    std::ofstream(dir / "s/datos/extra.pcx") << "not read by the show";
    std::ofstream(dir / "s/show.toml") << "version = 1\n[music]\nfile = \"datos/m.mp3\"\n"
                                          "[[stage]]\ntype = \"photo\"\nfile = \"datos/a.pcx\"\nuntil = 3\n"
                                          "[[stage]]\ntype = \"scene\"\nuntil = 6\n[[stage.object]]\n"
                                          "mesh = \"otros/b.txt\"\n"
                                          "[[stage]]\ntype = \"photo\"\nfile = \"datos/a.pcx\"\nuntil = 9\n";
    ASSERT_EQ(run("yurn-pak create --show s/show.toml out.pak"), 0) << err;
    fs::create_directories(dir / "x");
    ASSERT_EQ(run("yurn-pak extract out.pak -C x"), 0) << err;
    EXPECT_EQ(slurp(dir / "x/datos/a.pcx"), "AAAA");
    EXPECT_EQ(slurp(dir / "x/otros/b.txt"), "BB");
    EXPECT_FALSE(fs::exists(dir / "x/datos/extra.pcx"));
    EXPECT_FALSE(fs::exists(dir / "x/datos/m.mp3"));
    ASSERT_EQ(run("yurn-pak list out.pak"), 0);
    EXPECT_EQ(out.find("datos/a.pcx"), out.rfind("datos/a.pcx")) << "a file read twice is stored once";

    std::ofstream(dir / "bad.toml") << "version = 1\n[[stage]]\ntype = \"photo\"\nuntil = 3\nfile = 4\n";
    EXPECT_EQ(run("yurn-pak create --show bad.toml out2.pak"), 2);
    EXPECT_NE(err.find("bad.toml:5:8:"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out2.pak"));

    // From inside datos/ the names lack the folder the show asks for.
    ASSERT_EQ(run("yurn-pak create ../inside.pak a.pcx", "s/datos"), 0) << err;
    EXPECT_NE(err.find("datos/a.pcx"), std::string::npos) << err;
    ASSERT_EQ(run("yurn-pak create plain.pak datos/a.pcx", "s"), 0) << err;
    EXPECT_EQ(err, "");
}

}  // namespace
