// yurn-pak: archives it makes are read by the show's lookup, list and extract
// agree with them, and foreign archives extract by member offsets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
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

class PakTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        tool = fs::path(YURN_BINARY_DIR) / "yurn-pak";
        if (!fs::exists(tool))
            GTEST_SKIP() << "yurn-pak is not built";
        dir = fs::temp_directory_path() /
              ("yurn-paktool-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "datos");
    }
    void TearDown() override
    {
        archive_name = nullptr;
        fs::remove_all(dir);
    }
    // Runs the tool in the scratch folder; output in `out`, exit status back.
    int pak(const std::string& arguments)
    {
        std::string command = "cd " + dir.string() + " && " + tool.string() + " " + arguments +
                              " >out.txt 2>err.txt";
        int status = std::system(command.c_str());
        out = slurp(dir / "out.txt");
        err = slurp(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void write(const std::string& name, const std::string& data)
    {
        std::ofstream(dir / name, std::ios::binary) << data;
    }
    fs::path tool, dir;
    std::string out, err;
};

} // namespace

TEST_F(PakTool, CreatedArchiveServesTheLookup)
{
    write("datos/Foto10.pcx", "diez");
    write("datos/Foto1.pcx", "uno");
    write("escena.txt", std::string(5000, 'e'));
    ASSERT_EQ(pak("create Yurn.pak datos/Foto10.pcx datos/Foto1.pcx escena.txt"), 0) << err;
    fs::remove_all(dir / "datos");
    std::string pak_path = (dir / "Yurn.pak").string();
    std::vector<char> name(pak_path.begin(), pak_path.end());
    name.push_back(0);
    archive_name = name.data();
    for (auto [path, want] : {std::pair{"DATOS/FOTO10.PCX", "diez"}, {"datos/foto1.pcx", "uno"}}) {
        FILE* f = open_data_file(path, "rb");
        ASSERT_NE(f, nullptr) << path;
        char buf[5] = {};
        ASSERT_EQ(std::fread(buf, 1, std::strlen(want), f), std::strlen(want));
        std::fclose(f);
        EXPECT_STREQ(buf, want);
    }
    ASSERT_EQ(pak("list Yurn.pak"), 0) << err;
    // Directory of 4 entries (96 bytes), then the members back to back.
    EXPECT_NE(out.find("datos/Foto10.pcx         96          4"), std::string::npos) << out;
    EXPECT_NE(out.find("datos/Foto1.pcx         100          3"), std::string::npos) << out;
    EXPECT_NE(out.find("escena.txt              103       5000"), std::string::npos) << out;
}

TEST_F(PakTool, ExtractsAllOrNamedMembers)
{
    write("datos/a.pcx", "aaaa");
    write("b.bin", std::string("\0\1\2", 3));
    ASSERT_EQ(pak("create t.pak datos/a.pcx b.bin"), 0) << err;
    ASSERT_EQ(pak("extract t.pak -C todo"), 0) << err;
    EXPECT_EQ(slurp(dir / "todo/datos/a.pcx"), "aaaa");
    EXPECT_EQ(slurp(dir / "todo/b.bin"), std::string("\0\1\2", 3));
    ASSERT_EQ(pak("extract t.pak DATOS/A.PCX -C uno"), 0) << err;
    EXPECT_EQ(slurp(dir / "uno/datos/a.pcx"), "aaaa");
    EXPECT_FALSE(fs::exists(dir / "uno/b.bin"));
    EXPECT_NE(pak("extract t.pak falta.pcx -C nada"), 0);
    EXPECT_NE(err.find("falta.pcx"), std::string::npos);
}

TEST_F(PakTool, ForeignArchiveWithoutLengthsExtractsUpToTheNextMember)
{
    // Entries in reverse order of their data and a last field that is no
    // length (it would overrun the file).
    std::string a(72, '\0');
    std::memcpy(&a[0], "dos", 3);
    a[16] = 72 + 3;
    a[20] = char(0xFF), a[21] = char(0xFF);
    std::memcpy(&a[24], "uno", 3);
    a[40] = 72;
    a[44] = 0x77;
    a += "111";
    a += "22222";
    write("f.pak", a);
    ASSERT_EQ(pak("extract f.pak -C x"), 0) << err;
    EXPECT_EQ(slurp(dir / "x/uno"), "111");
    EXPECT_EQ(slurp(dir / "x/dos"), "22222");
}

TEST_F(PakTool, RefusesBadNamesAndBadCalls)
{
    write("a", "x");
    EXPECT_NE(pak("create t.pak datos/nombre_largo.pcx"), 0);
    EXPECT_NE(err.find("datos/nombre_largo.pcx"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "t.pak"));
    EXPECT_NE(pak("create t.pak a A"), 0);  // the show could only read the first
    EXPECT_NE(pak("create t.pak no_existe"), 0);
    EXPECT_NE(pak("list no_existe.pak"), 0);
    EXPECT_NE(pak("frobnicar"), 0);
    EXPECT_NE(pak(""), 0);
    EXPECT_EQ(pak("--help"), 0);
    EXPECT_NE(out.find("extract"), std::string::npos);
    // A member that would land outside the target folder is not written.
    std::string evil(48, '\0');
    std::memcpy(&evil[0], "../fuera", 8);
    evil[16] = 48;
    evil += "mal";
    write("evil.pak", evil);
    fs::create_directories(dir / "d");
    EXPECT_NE(pak("extract evil.pak -C d"), 0);
    EXPECT_FALSE(fs::exists(dir / "fuera"));
}
