// yurn-pak: what it packs the show's lookup finds; foreign archives extract by
// member offsets; bad names and unsafe paths are refused.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

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
        if (!fs::exists(fs::path(YURN_BINARY_DIR) / "yurn-pak"))
            GTEST_SKIP() << "yurn-pak is not built";
        dir = fs::temp_directory_path() / ("yurn-paktool-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "datos");
    }
    void TearDown() override
    {
        archive_name = nullptr;
        fs::remove_all(dir);
    }
    // Runs the tool in the scratch folder; standard output in `out`.
    int pak(const std::string& arguments)
    {
        std::string command = "cd " + dir.string() + " && " YURN_BINARY_DIR "/yurn-pak " +
                              arguments + " >out.txt 2>/dev/null";
        int status = std::system(command.c_str());
        out = slurp(dir / "out.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void write(const std::string& name, const std::string& data)
    {
        std::ofstream(dir / name, std::ios::binary) << data;
    }
    fs::path dir;
    std::string out;
};

} // namespace

TEST_F(PakTool, PacksListsAndExtractsWhatTheLookupFinds)
{
    write("datos/Foto10.pcx", "diez");
    write("b.bin", std::string("\0\1\2", 3));
    ASSERT_EQ(pak("create Yurn.pak datos/Foto10.pcx b.bin"), 0);
    std::string path = (dir / "Yurn.pak").string();
    archive_name = path.data();
    FILE* f = open_data_file("DATOS/FOTO10.PCX", "rb");
    ASSERT_NE(f, nullptr);
    char buf[5] = {};
    EXPECT_EQ(std::fread(buf, 1, 4, f), 4u);
    std::fclose(f);
    EXPECT_STREQ(buf, "diez");
    ASSERT_EQ(pak("list Yurn.pak"), 0);
    EXPECT_NE(out.find("datos/Foto10.pcx         72          4"), std::string::npos) << out;
    ASSERT_EQ(pak("extract Yurn.pak -C todo"), 0);
    EXPECT_EQ(slurp(dir / "todo/datos/Foto10.pcx"), "diez");
    EXPECT_EQ(slurp(dir / "todo/b.bin"), std::string("\0\1\2", 3));
    ASSERT_EQ(pak("extract Yurn.pak B.BIN -C uno"), 0);
    EXPECT_FALSE(fs::exists(dir / "uno/datos"));
    EXPECT_NE(pak("extract Yurn.pak falta.pcx"), 0);
}

TEST_F(PakTool, ForeignArchiveWithoutLengthsExtractsUpToTheNextMember)
{
    // Entries in reverse order of their data, and last fields that are no
    // lengths (one would overrun the file).
    std::string a(72, '\0');
    std::memcpy(&a[0], "dos", 3);
    a[16] = 72 + 3;
    a[21] = char(0xFF);
    std::memcpy(&a[24], "uno", 3);
    a[40] = 72;
    a[44] = 0x77;
    write("f.pak", a + "111" + "22222");
    ASSERT_EQ(pak("extract f.pak -C x"), 0);
    EXPECT_EQ(slurp(dir / "x/uno"), "111");
    EXPECT_EQ(slurp(dir / "x/dos"), "22222");
}

TEST_F(PakTool, RefusesBadNamesUnsafePathsAndBadCalls)
{
    write("a", "x");
    EXPECT_NE(pak("create t.pak datos/nombre_largo.pcx"), 0);  // 22 characters
    EXPECT_NE(pak("create t.pak a A"), 0);  // the show would only read the first
    EXPECT_FALSE(fs::exists(dir / "t.pak"));
    for (const char* bad : {"create t.pak no_existe", "list no_existe.pak", "frobnicar", ""})
        EXPECT_NE(pak(bad), 0) << bad;
    EXPECT_EQ(pak("--help"), 0);
    // A member that would land outside the target folder is not written.
    std::string evil(48, '\0');
    std::memcpy(&evil[0], "../fuera", 8);
    evil[16] = 48;
    write("evil.pak", evil + "mal");
    fs::create_directories(dir / "d");
    EXPECT_NE(pak("extract evil.pak -C d"), 0);
    EXPECT_FALSE(fs::exists(dir / "fuera"));
}
