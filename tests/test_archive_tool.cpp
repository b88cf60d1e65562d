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
    int pak(const std::string& arguments, const std::string& before = "")
    {
        std::string command = "cd " + dir.string() + " && (" + before + " " YURN_BINARY_DIR "/yurn-pak " +
                              arguments + ") >out.txt 2>err.txt";
        int status = std::system(command.c_str());
        out = slurp(dir / "out.txt");
        err = slurp(dir / "err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void write(const std::string& name, const std::string& data)
    {
        std::ofstream(dir / name, std::ios::binary) << data;
    }
    // An archive built by hand: names, then the members' data in order.
    void write_archive(const std::string& name, const std::vector<std::pair<std::string, std::string>>& members)
    {
        std::string directory, data;
        uint32_t at = uint32_t((members.size() + 1) * ARCHIVE_ENTRY_SIZE);
        for (const auto& [member, bytes] : members) {
            std::string entry(ARCHIVE_ENTRY_SIZE, '\0');
            std::memcpy(&entry[0], member.data(), member.size());
            for (int i = 0; i < 4; ++i) {
                entry[ARCHIVE_OFFSET_AT + i] = char(at >> (8 * i));
                entry[ARCHIVE_SPARE_AT + i] = char(bytes.size() >> (8 * i));
            }
            directory += entry;
            data += bytes;
            at += uint32_t(bytes.size());
        }
        write(name, directory + std::string(ARCHIVE_ENTRY_SIZE, '\0') + data);
    }
    fs::path dir;
    std::string out, err;
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

TEST_F(PakTool, AFileThatIsNoArchiveIsSaidToBeOne)
{
    std::string pcx(200, '\0');
    pcx[0] = 10;
    pcx[1] = 5;
    pcx[2] = 1;
    pcx[3] = 8;
    write("datos/Foto1.pcx", pcx);
    for (const char* command : {"list datos/Foto1.pcx", "extract datos/Foto1.pcx -C x"}) {
        EXPECT_EQ(pak(command), 1) << command;
        EXPECT_EQ(out, "") << command;
        EXPECT_NE(err.find("datos/Foto1.pcx no es un archivo de recursos"), std::string::npos) << err;
    }
    write("vacio.pak", "");
    EXPECT_EQ(pak("list vacio.pak"), 1);
    EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST_F(PakTool, NeverOverwritesAnInputOrANameThatIsNoArchive)
{
    write("datos/Foto1.pcx", "uno");
    write("datos/Foto2.pcx", "dos");
    // The archive's name forgotten: the first picture would have been the output.
    EXPECT_EQ(pak("create datos/Foto1.pcx datos/Foto2.pcx"), 2);
    EXPECT_EQ(slurp(dir / "datos/Foto1.pcx"), "uno");
    EXPECT_NE(err.find(".pak"), std::string::npos) << err;
    // The same file under two names is still the same file.
    ASSERT_EQ(pak("create Yurn.pak datos/Foto1.pcx"), 0) << err;
    const std::string good = slurp(dir / "Yurn.pak");
    EXPECT_EQ(pak("create Yurn.pak datos/Foto2.pcx ./Yurn.pak"), 2);
    EXPECT_EQ(slurp(dir / "Yurn.pak"), good);
}

TEST_F(PakTool, AMemberNamedLikeTheArchiveDoesNotReplaceIt)
{
    write_archive("datos.pak", {{"datos.pak", "dentro"}, {"otro", "x"}});
    const std::string archive = slurp(dir / "datos.pak");
    EXPECT_EQ(pak("extract datos.pak"), 1);
    EXPECT_NE(err.find("no extraigo \"datos.pak\""), std::string::npos) << err;
    EXPECT_EQ(slurp(dir / "datos.pak"), archive);
    EXPECT_EQ(slurp(dir / "otro"), "x");
    // Elsewhere, or on standard output, the member comes out as usual.
    EXPECT_EQ(pak("extract datos.pak datos.pak -C d"), 0) << err;
    EXPECT_EQ(slurp(dir / "d/datos.pak"), "dentro");
}

TEST_F(PakTool, ExtractNeitherFollowsNorReplacesALinkInItsWay)
{
    write_archive("t.pak", {{"a", "nuevo"}, {"b", "x"}});
    write("elsewhere", "intacto");
    fs::create_directories(dir / "d");
    fs::create_symlink("../elsewhere", dir / "d" / "a");
    EXPECT_EQ(pak("extract t.pak -C d"), 1);
    EXPECT_NE(err.find("enlace simbólico"), std::string::npos) << err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "d" / "a")));
    EXPECT_EQ(slurp(dir / "elsewhere"), "intacto");
    EXPECT_EQ(slurp(dir / "d" / "b"), "x");
    // A folder name too long for the system is a message, not an exception.
    EXPECT_EQ(pak("extract t.pak -C " + std::string(300, 'n')), 1);
    EXPECT_NE(err.find("demasiado largo"), std::string::npos) << err;
}

TEST_F(PakTool, AListingLostOnAFullDiskIsAFailure)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    write("a", "x");
    ASSERT_EQ(pak("create t.pak a"), 0) << err;
    EXPECT_EQ(pak("list t.pak >/dev/full"), 1);
    EXPECT_NE(err.find("no se puede escribir la salida estándar"), std::string::npos) << err;
}

TEST_F(PakTool, AnArchiveIsNotWrittenToATerminal)
{
    write("a", "x");
    if (std::system("command -v script >/dev/null") != 0)
        GTEST_SKIP() << "needs script to give the tool a terminal";
    // script runs the tool on a terminal of its own and copies what it shows.
    const int status = std::system(("cd " + dir.string() + " && script -qec '" YURN_BINARY_DIR
                                    "/yurn-pak create - a' /dev/null </dev/null >out.txt 2>&1")
                                       .c_str());
    out = slurp(dir / "out.txt");
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2) << out;
    EXPECT_NE(out.find("la salida estándar es un terminal"), std::string::npos) << out;
    EXPECT_EQ(out.find(std::string("a\0\0", 3)), std::string::npos) << "the archive reached the terminal";
}

TEST_F(PakTool, AFailedCreateKeepsTheOldArchiveAndListsNothing)
{
    write("datos/Foto1.pcx", "uno");
    ASSERT_EQ(pak("create Yurn.pak datos/Foto1.pcx"), 0) << err;
    const std::string good = slurp(dir / "Yurn.pak");
    write("datos/grande.pcx", std::string(64 * 1024, 'g'));
    EXPECT_EQ(pak("create Yurn.pak datos/Foto1.pcx datos/grande.pcx", "ulimit -f 16;"), 1);
    EXPECT_EQ(slurp(dir / "Yurn.pak"), good);
    EXPECT_EQ(out, "");  // no member reported as stored
    EXPECT_NE(err.find("Yurn.pak"), std::string::npos) << err;
    EXPECT_NE(err.find("tamaño máximo"), std::string::npos) << err;
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos) << entry.path();
    // Extracting over an existing file under the same limit keeps that file too.
    ASSERT_EQ(pak("create big.pak datos/grande.pcx"), 0) << err;
    fs::create_directories(dir / "x/datos");
    write("x/datos/grande.pcx", "antiguo");
    EXPECT_EQ(pak("extract big.pak -C x", "ulimit -f 16;"), 1);
    EXPECT_EQ(slurp(dir / "x/datos/grande.pcx"), "antiguo");
}

TEST_F(PakTool, EmptyMembersAreStoredAndExtracted)
{
    write("vacio", "");
    write("b", "bb");
    ASSERT_EQ(pak("create e.pak vacio b"), 0) << err;
    ASSERT_EQ(pak("list e.pak"), 0) << err;
    EXPECT_NE(out.find("vacio                    72          0"), std::string::npos) << out;
    ASSERT_EQ(pak("extract e.pak -C x"), 0) << err;
    EXPECT_TRUE(fs::exists(dir / "x/vacio"));
    EXPECT_EQ(fs::file_size(dir / "x/vacio"), 0u);
    EXPECT_EQ(slurp(dir / "x/b"), "bb");
}

TEST_F(PakTool, ExtractsTheEntryTheShowReadsAndSaysWhichItSkips)
{
    write_archive("d.pak", {{"datos/a.pcx", "primero"}, {"DATOS/A.PCX", "segundo"}, {"b", "bbb"}});
    ASSERT_EQ(pak("extract d.pak -C x"), 0) << err;
    EXPECT_EQ(slurp(dir / "x/datos/a.pcx"), "primero");
    EXPECT_FALSE(fs::exists(dir / "x/DATOS"));
    EXPECT_NE(err.find("entrada 2 (\"DATOS/A.PCX\")"), std::string::npos) << err;
    ASSERT_EQ(pak("extract d.pak Datos/A.pcx -C y"), 0) << err;
    EXPECT_EQ(slurp(dir / "y/datos/a.pcx"), "primero");
    archive_name = nullptr;
}

TEST_F(PakTool, NamesFromTheArchiveAreEscapedInEveryLine)
{
    write_archive("e.pak", {{"\x1b]0;hola\x07", "x"}});
    ASSERT_EQ(pak("list e.pak"), 0) << err;
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_NE(out.find("\\x1B]0;hola\\x07"), std::string::npos) << out;
    ASSERT_EQ(pak("extract e.pak -C x"), 0) << err;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
    EXPECT_NE(out.find("\\x1B]0;hola\\x07"), std::string::npos) << out;
}

TEST_F(PakTool, SharedConventions)
{
    write("a", "x");
    EXPECT_EQ(pak("--version"), 0);
    EXPECT_NE(out.find("yurn-pak"), std::string::npos);
    EXPECT_EQ(pak("list"), 2);
    EXPECT_EQ(pak("list a b"), 2);
    EXPECT_EQ(pak("create t.pak a --nada"), 2);
    EXPECT_EQ(pak("extract t.pak -C"), 2);
    EXPECT_EQ(pak("list no_existe.pak"), 1);
    EXPECT_NE(err.find("no_existe.pak: no existe el fichero"), std::string::npos) << err;
    ASSERT_EQ(pak("create - a"), 0) << err;
    const std::string streamed = out;
    ASSERT_EQ(pak("create t.pak a"), 0) << err;
    EXPECT_EQ(streamed, slurp(dir / "t.pak"));
    ASSERT_EQ(pak("extract t.pak --directory=d"), 0) << err;
    EXPECT_EQ(slurp(dir / "d/a"), "x");
    ASSERT_EQ(pak("extract t.pak A -C -"), 0) << err;
    EXPECT_EQ(out, "x");
    EXPECT_NE(err.find("a (1 bytes)"), std::string::npos) << err;
}

TEST_F(PakTool, AfterTwoDashesAHelpOptionIsAFileName)
{
    // "--" ends the options: "-h" after it is the archive to list.
    EXPECT_EQ(pak("list -- -h"), 1);
    EXPECT_EQ(out.find("Uso"), std::string::npos) << out;
    EXPECT_NE(err.find("-h"), std::string::npos) << err;
    write("-h", "x");
    ASSERT_EQ(pak("create t.pak -- -h"), 0) << err;
    EXPECT_EQ(pak("list t.pak"), 0) << err;
    EXPECT_NE(out.find("-h"), std::string::npos) << out;
}
