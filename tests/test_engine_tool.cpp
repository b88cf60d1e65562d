// yurn-mesh info: format detection, both output forms, errors and exit codes.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string TOOL = std::string(YURN_BINARY_DIR) + "/yurn-mesh";

struct ToolRun {
    int status;
    std::string out;
};

// Runs the tool with the shell; standard error is folded into the output.
ToolRun run(const std::string& args)
{
    const std::string command = TOOL + " " + args + " 2>&1";
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

std::string write_temp(const std::string& name, const std::string& content)
{
    const std::string path = std::string(YURN_BINARY_DIR) + "/test_engine_tool_" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
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
    EXPECT_EQ(run("info").status, 1);
    EXPECT_EQ(run("frobnicate x").status, 1);
    EXPECT_EQ(run("--help").status, 0);
    EXPECT_EQ(run("info --help").status, 0);
}
