// yurn-mesh info: format detection, both output forms, errors and exit codes;
// yurn-mesh render: what it refuses, what it writes and how it fails;
// yurn-meshgen: its output written whole.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/files.h"

namespace {

const std::string TOOL = std::string(YURN_BINARY_DIR) + "/yurn-mesh";

struct ToolRun {
    int status;
    std::string out;
};

// Runs a command line with the shell; its standard output and status.
ToolRun shell(const std::string& command)
{
    FILE* p = popen(command.c_str(), "r");
    ToolRun r = { -1, "" };
    if (!p)
        return r;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, p)) > 0)
        r.out.append(block, got);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Runs the tool with the shell; standard error is folded into the output.
ToolRun run(const std::string& args) { return shell(TOOL + " " + args + " 2>&1"); }

// The same under a limit set in the tool's own shell only ("ulimit -f 4").
ToolRun run_limited(const std::string& limit, const std::string& program, const std::string& args)
{
    return shell("(" + limit + "; exec " + program + " " + args + ") 2>&1");
}

// ctest runs these tests in parallel processes, several of which write the
// same file: it is written aside and renamed, so none reads it half written.
std::string write_temp(const std::string& name, const std::string& content)
{
    const std::string path = std::string(YURN_BINARY_DIR) + "/test_engine_tool_" + name;
    const std::string aside = path + ".part-" + std::to_string(getpid());
    FILE* f = std::fopen(aside.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
    std::rename(aside.c_str(), path.c_str());
    return path;
}

// main { editor { object "T" { mesh { vertices (1,2,3) (4,2,3) (1,2,9); face } } } }
std::string tiny_3ds()
{
    std::vector<uint8_t> b;
    auto u16 = [&](uint32_t v) { b.insert(b.end(), { uint8_t(v), uint8_t(v >> 8) }); };
    auto u32 = [&](uint32_t v) { b.insert(b.end(), { uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24) }); };
    auto f32 = [&](float f) {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(v);
    };
    std::vector<size_t> open;
    auto begin = [&](uint16_t id) {
        open.push_back(b.size());
        u16(id);
        u32(0);
    };
    auto end = [&] {
        const uint32_t length = uint32_t(b.size() - open.back());
        std::memcpy(&b[open.back() + 2], &length, 4);
        open.pop_back();
    };
    begin(0x4D4D);
    begin(0x3D3D);
    begin(0x4000);
    b.insert(b.end(), { 'T', 0 });
    begin(0x4100);
    begin(0x4110);
    u16(3);
    for (float f : { 1, 2, 3, 4, 2, 3, 1, 2, 9 })
        f32(f);
    end();
    begin(0x4120);
    u16(1);
    for (uint16_t v : { 0, 1, 2, 0 })
        u16(v);
    end();
    end();
    end();
    end();
    end();
    return std::string(b.begin(), b.end());
}

}  // namespace

TEST(MeshTool, TextFileOneLinePerObject)
{
    const std::string path = write_temp("tri.txt", "3\r\n1\r\n0 0 0\r\n10 0 0\r\n0 0 10\r\n0 1 2\r\n0 0 1 0 0 1\r\n");
    const ToolRun r = run("info " + path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vertices 3 faces 1 bounds 0 10 -10 -0 0 0 first_vertex 0 -0 0\n");
}

TEST(MeshTool, ThreeDsByExtensionInAnyCaseOrByFirstChunk)
{
    const std::string expected = "{\"objects\": [\n    {\"vertices\": 3, \"faces\": 1, \"bounds\": [1, 4, -9, -3, 2, 2], "
                                 "\"first_vertex\": [1, -3, 2]}\n]}\n";
    for (const char* name : { "tiny.3DS", "tiny.3ds", "tiny_without_extension" }) {
        const ToolRun r = run("info --json " + write_temp(name, tiny_3ds()));
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.out, expected) << name;
    }
    // A text file named .3ds is read as 3DS and refused.
    const std::string text = write_temp("text.3ds", "3 1 0 0 0 1 0 0 0 0 1 0 1 2 0 0 0 0 0 0");
    const ToolRun r = run("info " + text);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("no es un archivo 3ds válido"), std::string::npos) << r.out;
}

TEST(MeshTool, ErrorsExitWithOne)
{
    ToolRun r = run("info " + std::string(YURN_BINARY_DIR) + "/no-such-mesh.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("No puedo abrir el archivo"), std::string::npos) << r.out;
    r = run("info " + write_temp("bad.txt", "3 1 0 0 0"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("falta un número"), std::string::npos) << r.out;
    // A message of the loader's that does not name the file gets its name.
    const std::string huge = write_temp("huge.txt", "2000000000\n2000000000\n");
    r = run("info " + huge);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(huge + ": "), std::string::npos) << r.out;
    // Usage errors end with 2, as in every tool.
    EXPECT_EQ(run("info").status, 2);
    EXPECT_EQ(run("frobnicate x").status, 2);
    EXPECT_EQ(run("info --frobnicate x").status, 2);
    EXPECT_EQ(run("--help").status, 0);
    EXPECT_EQ(run("info --help").status, 0);
}

namespace {

// A tetrahedron in the text format, texture coordinates included.
const char TETRA[] = "4 4\n0 0 0\n40 0 0\n20 35 0\n20 12 33\n0 1 2\n0 1 3\n1 2 3\n2 0 3\n"
                     "0 0 1 0 0 1\n0 0 1 0 0 1\n0 0 1 0 0 1\n0 0 1 0 0 1\n";

std::string slurp(const std::string& path)
{
    std::string bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return bytes;
    char block[4096];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, f)) > 0)
        bytes.append(block, got);
    std::fclose(f);
    return bytes;
}

}  // namespace

TEST(MeshRender, ModesThatCannotShowWhatWasAskedAreRefused)
{
    const std::string mesh = write_temp("tetra.txt", TETRA);
    const std::string out = std::string(YURN_BINARY_DIR) + "/test_engine_tool_mode.png";
    std::remove(out.c_str());
    for (const char* mode : {"08", "10", "18", "04", "00"}) {
        const ToolRun r = run("render " + mesh + " -o " + out + " --mode " + mode);
        EXPECT_EQ(r.status, 2) << mode << r.out;
        EXPECT_NE(r.out.find("modo " + std::string(mode)), std::string::npos) << r.out;
    }
    EXPECT_EQ(slurp(out), "");
    // A 3DS mesh has no texture coordinates in our loader: a texture laid by
    // them would be one colour; by the normals (0C, its default) it shows.
    const std::string sphere = std::string(YURN_BINARY_DIR) + "/test_engine_tool_sphere.3ds";
    ASSERT_EQ(std::system((std::string(YURN_BINARY_DIR) + "/yurn-meshgen sphere --format=3ds -o " + sphere).c_str()), 0);
    std::vector<uint32_t> check(16 * 16);
    for (size_t i = 0; i < check.size(); ++i)
        check[i] = ((i / 16 + i % 16) & 2) ? 0xFF4020u : 0x2040FFu;
    const std::vector<uint8_t> pcx = encode_pcx_rgb(check.data(), 16, 16);
    const std::string texture = write_temp("check.pcx", std::string(pcx.begin(), pcx.end()));
    for (const char* mode : {"04", "06"}) {
        const ToolRun r = run("render " + sphere + " -o " + out + " --texture " + texture + " --mode " + mode);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("coordenadas de textura"), std::string::npos) << r.out;
    }
    EXPECT_EQ(run("render " + sphere + " -o " + out + " --texture " + texture).status, 0);
    EXPECT_EQ(run("render " + mesh + " -o " + out + " --mode 12").status, 0);  // Gouraud, additive
}

TEST(MeshRender, WritesTheFormatItsNameSaysAtTheSizeAsked)
{
    const std::string mesh = write_temp("tetra.txt", TETRA);
    const std::string base = std::string(YURN_BINARY_DIR) + "/test_engine_tool_out";
    const struct {
        const char* extension;
        std::string magic;
    } formats[] = {{"png", "\x89PNG"}, {"jpg", "\xFF\xD8\xFF"}, {"ppm", "P6\n64 48\n"}, {"bmp", "BM"}};
    for (const auto& f : formats) {
        const std::string out = base + "." + f.extension;
        const ToolRun r = run("render " + mesh + " --size=64x48 -o " + out);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(slurp(out).substr(0, f.magic.size()), f.magic) << f.extension;
    }
    EXPECT_EQ(run("render " + mesh + " -o " + base + ".gif").status, 2);
    EXPECT_EQ(run("render " + mesh + " -o " + base + ".png --size 64").status, 2);
    const ToolRun piped = run("render " + mesh + " --size 64x48 -o - | head -c 4");
    EXPECT_EQ(piped.out, "\x89PNG");
}

TEST(MeshRender, ATextureHeaderLargerThanItsFileIsRefusedBeforeAllocating)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve far more address space than the limit below";
#endif
    const std::string mesh = write_temp("tetra.txt", TETRA);
    std::string header(PCX_HEADER_SIZE, '\0');
    header[0] = 10;
    header[2] = 1;
    header[3] = 8;
    header[8] = header[10] = char(0xFF);  // 16384 x 16384
    header[9] = header[11] = 0x3F;
    header[65] = 1;
    const std::string texture = write_temp("huge.pcx", header + std::string(64, '\x01'));
    // 160 MB of address space: the picture's 256 MiB would not fit.
    const ToolRun r = run_limited("ulimit -v 160000", TOOL,
                                  "render " + mesh + " -o " + std::string(YURN_BINARY_DIR) +
                                      "/test_engine_tool_huge.png --texture " + texture);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("termina antes de completar"), std::string::npos) << r.out;
}

TEST(MeshRender, APngTextureOfTheWrongShapeIsRefusedBeforeItIsDecoded)
{
    const std::string mesh = write_temp("tetra.txt", TETRA);
    // A PNG header alone announcing 20000 x 20000 (the decoder reads no further).
    std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + std::string("\0\0\0\x0dIHDR", 8);
    for (uint32_t v : {20000u, 20000u})
        png += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    png += std::string("\x01\0\0\0\0", 5) + std::string(4, '\0');
    const std::string texture = write_temp("huge_texture.png", png);
    const ToolRun r = run("render " + mesh + " -o " + std::string(YURN_BINARY_DIR) +
                          "/test_engine_tool_never_written.png --texture " + texture);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("mide 20000x20000"), std::string::npos) << r.out;
}

TEST(MeshTools, AFailedWriteKeepsTheOldFile)
{
    const std::string mesh = write_temp("tetra.txt", TETRA);
    const std::string old_png = write_temp("old.png", "antiguo");
    const std::string old_mesh = write_temp("old.txt", "antiguo");
    // 4 KiB is less than either output.
    ToolRun r = run_limited("ulimit -f 4", TOOL, "render " + mesh + " -o " + old_png);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("old.png"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(old_png), "antiguo");
    r = run_limited("ulimit -f 4", std::string(YURN_BINARY_DIR) + "/yurn-meshgen", "knot --output=" + old_mesh);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("old.txt"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(old_mesh), "antiguo");
}

TEST(MeshTool, WhatInfoPrintsLostOnAFullDiskIsAFailure)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    const ToolRun r = shell(TOOL + " info --json " + write_temp("tetra.txt", TETRA) + " 2>&1 >/dev/full");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("no se puede escribir la salida estándar"), std::string::npos) << r.out;
}

TEST(MeshRender, AMeshWithoutFacesIsDrawnWithAWarning)
{
    const ToolRun r = run("render " + write_temp("empty.txt", "0\n0\n") + " -o " + std::string(YURN_BINARY_DIR) +
                          "/test_engine_tool_empty.ppm");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("no tiene caras"), std::string::npos) << r.out;
}

TEST(MeshRender, NeverWritesOverItsMeshOrTexture)
{
    const std::string mesh = write_temp("tetra.ppm", TETRA);
    const std::string texture = write_temp("texture.png", "antigua");
    for (const std::string& args : {"render " + mesh + " -o " + mesh,
                                    "render " + mesh + " --texture " + texture + " -o " + texture}) {
        SCOPED_TRACE(args);
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("es el mismo fichero que la entrada"), std::string::npos) << r.out;
    }
    EXPECT_EQ(slurp(mesh), TETRA);
    EXPECT_EQ(slurp(texture), "antigua");
}

TEST(MeshTools, BinaryOutputIsNotWrittenToATerminal)
{
    if (shell("command -v script").status != 0)
        GTEST_SKIP() << "needs script to give the tool a terminal";
    const std::string mesh = write_temp("tetra.txt", TETRA);
    const std::string meshgen = std::string(YURN_BINARY_DIR) + "/yurn-meshgen";
    // script runs the tool on a terminal of its own and copies what it shows.
    for (const std::string& command : {TOOL + " render " + mesh + " -o -", meshgen + " torus --format 3ds -o -"}) {
        SCOPED_TRACE(command);
        const ToolRun r = shell("script -qec '" + command + "' /dev/null </dev/null 2>&1");
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find("la salida estándar es un terminal"), std::string::npos) << r.out;
    }
    // The text format is text: it may go to a terminal.
    const ToolRun text = shell("script -qec '" + meshgen + " torus --detail 3,3 -o -' /dev/null </dev/null 2>&1");
    EXPECT_EQ(text.status, 0) << text.out;
    EXPECT_NE(text.out.find("58.00000 0.00000 0.00000"), std::string::npos) << text.out;
}

TEST(MeshView, WithoutADisplayEndsWithTheShowsMessage)
{
    const std::string mesh = write_temp("tetra.txt", TETRA);
    const ToolRun r = shell("env -u DISPLAY -u WAYLAND_DISPLAY " + TOOL + " view " + mesh + " 2>&1");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ERROR: no puedo crear la ventana"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No hay pantalla disponible"), std::string::npos) << r.out;
}

TEST(MeshGen, SharedConventions)
{
    const std::string meshgen = std::string(YURN_BINARY_DIR) + "/yurn-meshgen";
    EXPECT_EQ(shell(meshgen + " --version").out.find("yurn-meshgen"), 0u);
    EXPECT_EQ(shell(meshgen + " torus 2>&1").status, 2);  // no output named
    EXPECT_EQ(shell(meshgen + " cubo -o x 2>&1").status, 2);
    EXPECT_EQ(shell(meshgen + " torus --detail=2,2 -o x 2>&1").status, 2);
    EXPECT_EQ(shell(meshgen + " torus --detail=4294967299,4294967299 -o x 2>&1").status, 2);  // no wrap to 3,3
    EXPECT_EQ(run("render x.txt -o x.png --size 4294967616x240").status, 2);  // no wrap to 320x240
    EXPECT_EQ(shell(meshgen + " torus --format 3ds --scale=0 -o x 2>&1").status, 2);
    // A text mesh named .3ds would be read as 3DS and refused.
    const std::string named_3ds = std::string(YURN_BINARY_DIR) + "/test_engine_tool_text.3DS";
    std::remove(named_3ds.c_str());
    EXPECT_EQ(shell(meshgen + " torus -o " + named_3ds + " 2>&1").status, 2);
    EXPECT_NE(::access(named_3ds.c_str(), F_OK), 0);
    const std::string file = std::string(YURN_BINARY_DIR) + "/test_engine_tool_torus.3ds";
    ASSERT_EQ(shell(meshgen + " torus --format=3ds --detail=8,4 -o " + file).status, 0);
    const ToolRun streamed = shell(meshgen + " torus --format=3ds --detail=8,4 -o -");
    EXPECT_EQ(streamed.status, 0);
    EXPECT_EQ(streamed.out, slurp(file));
    EXPECT_EQ(run("info " + file).status, 0);
}

TEST(MeshTools, AfterTwoDashesAHelpOptionIsAFileName)
{
    // "--" ends the options: "--help" after it is a file to read, not a request for help.
    const ToolRun info = run("info -- --help");
    EXPECT_EQ(info.status, 1) << info.out;
    EXPECT_EQ(info.out.find("Uso"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("--help"), std::string::npos) << info.out;
    // The shape named "-h", and no output: a usage error, not the help.
    const std::string meshgen = std::string(YURN_BINARY_DIR) + "/yurn-meshgen";
    const ToolRun shape = shell(meshgen + " -- -h 2>/dev/null");
    EXPECT_EQ(shape.status, 2);
    EXPECT_EQ(shape.out.find("Uso"), std::string::npos) << shape.out;
}
