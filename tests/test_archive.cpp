// Resource archive lookup: name matching, directory end, fallback to disk and
// the streams handed back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// A directory entry with the name copied byte for byte (no zero added when it
// fills the field).
void add_entry(Bytes& a, const std::string& name, uint32_t offset)
{
    uint8_t e[ARCHIVE_ENTRY_SIZE] = {};
    std::memcpy(e, name.data(), std::min(name.size(), ARCHIVE_NAME_SIZE));
    for (int i = 0; i < 4; ++i)
        e[ARCHIVE_OFFSET_AT + i] = uint8_t(offset >> (8 * i));
    a.insert(a.end(), e, e + sizeof e);
}

// Directory of the members, an end marker, then the members' bytes.
std::string make_archive(const std::vector<std::pair<std::string, std::string>>& members)
{
    Bytes a;
    uint32_t at = uint32_t((members.size() + 1) * ARCHIVE_ENTRY_SIZE);
    for (auto& [name, data] : members) {
        add_entry(a, name, at);
        at += uint32_t(data.size());
    }
    a.resize(a.size() + ARCHIVE_ENTRY_SIZE, 0);
    std::string s(a.begin(), a.end());
    for (auto& m : members)
        s += m.second;
    return s;
}

std::optional<uint32_t> lookup(const Bytes& a, const char* path)
{
    uint32_t offset = 0;
    if (find_archive_member(a.data(), a.size(), path, &offset))
        return offset;
    return std::nullopt;
}

std::optional<uint32_t> lookup(const std::string& a, const char* path)
{
    return lookup(Bytes(a.begin(), a.end()), path);
}

// Rest of a stream, then closes it.
std::string drain(FILE* f)
{
    if (!f)
        return "(null)";
    std::string s;
    for (int c; (c = std::fgetc(f)) != EOF;)
        s.push_back(char(c));
    std::fclose(f);
    return s;
}

// Runs in a scratch folder of its own, with archive_name = "Yurn.pak".
class ArchiveFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("yurn-archive-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "datos");
        old_cwd = fs::current_path();
        fs::current_path(dir);
        archive_name = name_storage;
    }
    void TearDown() override
    {
        archive_name = nullptr;
        fs::current_path(old_cwd);
        fs::remove_all(dir);
    }
    static void write(const std::string& path, const std::string& data)
    {
        std::ofstream(path, std::ios::binary) << data;
    }
    fs::path dir, old_cwd;
    char name_storage[20] = "Yurn.pak";
};

} // namespace

TEST(ArchiveLookup, NamesMatchWholeWithOnlyAsciiLettersFolded)
{
    std::string a = make_archive({{"DATOS/FOTO1.PCX", "1"}, {"A[B@C", "2"}, {"\xC1" "B", "3"}});
    EXPECT_EQ(lookup(a, "datos/Foto1.pcx"), 4 * ARCHIVE_ENTRY_SIZE);
    EXPECT_TRUE(lookup(a, "a[b@c"));
    // Pairs that differ only in the 0x20 bit but are not a-z / A-Z.
    EXPECT_FALSE(lookup(a, "a{b@c"));
    EXPECT_FALSE(lookup(a, "a[b`c"));
    EXPECT_FALSE(lookup(a, "\xE1" "b"));
    for (const char* other : {"datos/Foto", "datos/Foto1.pcx2"})
        EXPECT_FALSE(lookup(a, other)) << other;
}

TEST(ArchiveLookup, NameIsTestedBeforeTheEndMarker)
{
    // The end marker's name is empty, so an empty path matches it.
    Bytes a;
    add_entry(a, "uno", 100);
    add_entry(a, "", 77);
    add_entry(a, "dos", 200);
    EXPECT_EQ(lookup(a, ""), 77u);
    EXPECT_FALSE(lookup(a, "dos"));
}

TEST(ArchiveLookup, NameFillingTheFieldMatchesAndNothingPastItIsRead)
{
    // Offset 0x41 ('A'): a lookup running past the 16-byte field would see
    // "datos/Foto10.pcxA" and match the 17-character path instead.
    Bytes a;
    add_entry(a, "datos/Foto10.pcx", 0x41);
    EXPECT_EQ(lookup(a, "DATOS/FOTO10.PCX"), 0x41u);
    EXPECT_FALSE(lookup(a, "datos/Foto10.pcxA"));
    EXPECT_FALSE(lookup(a, "datos/Foto10.pc"));
}

TEST(ArchiveLookup, DirectoryEnds)
{
    Bytes a;
    add_entry(a, "uno", 100);
    add_entry(a, "UNO", 150);  // the first match wins
    a.resize(a.size() + ARCHIVE_ENTRY_SIZE, 0);
    add_entry(a, "dos", 200);  // after the end marker
    EXPECT_EQ(lookup(a, "uno"), 100u);
    EXPECT_FALSE(lookup(a, "dos"));

    // Without an end marker the file's end closes the directory; a last entry
    // cut short is used only when its offset is whole.
    Bytes b;
    add_entry(b, "uno", 7);
    add_entry(b, "dos", 0x01020304);
    EXPECT_EQ(lookup(b, "dos"), 0x01020304u);
    EXPECT_EQ(lookup(Bytes(b.begin(), b.end() - 4), "dos"), 0x01020304u);
    EXPECT_FALSE(lookup(Bytes(b.begin(), b.end() - 5), "dos"));
    EXPECT_FALSE(lookup(Bytes{}, "uno"));
}

TEST_F(ArchiveFiles, ArchiveFirstThenDiskThenNull)
{
    write("Yurn.pak", make_archive({{"DATOS/A.PCX", "primero"}, {"otro", "segundo"}}));
    write("datos/a.pcx", "disco a");
    write("datos/b.pcx", "disco b");
    // The member's stream is the archive's own: reading goes on past the member.
    EXPECT_EQ(drain(open_data_file("datos/a.pcx", "r")), "primerosegundo");
    EXPECT_EQ(drain(open_data_file("datos/b.pcx", "rb")), "disco b");
    EXPECT_EQ(open_data_file("datos/c.pcx", "rb"), nullptr);
    // No archive name, or no archive file: everything from disk.
    archive_name = nullptr;
    EXPECT_EQ(drain(open_data_file("datos/a.pcx", "rb")), "disco a");
    archive_name = name_storage;
    fs::remove("Yurn.pak");
    EXPECT_EQ(drain(open_data_file("datos/a.pcx", "rb")), "disco a");
}

TEST_F(ArchiveFiles, EveryCallOpensAndReadsTheArchiveAnew)
{
    write("Yurn.pak", make_archive({{"uno", "11111"}, {"dos", "22222"}}));
    FILE* a = open_data_file("uno", "rb");
    FILE* b = open_data_file("dos", "rb");
    EXPECT_EQ(std::fgetc(a), '1');
    EXPECT_EQ(std::fgetc(b), '2');
    EXPECT_EQ(std::fgetc(a), '1');
    std::fclose(a);
    std::fclose(b);
    write("Yurn.pak", make_archive({{"otro", "x"}, {"uno", "nuevo"}}));
    EXPECT_EQ(drain(open_data_file("uno", "rb")), "nuevo");
}

TEST_F(ArchiveFiles, DataFilesThatAreNotRegularFilesAreRefusedNamingThem)
{
    // A FIFO would block the open (and then the reading) for ever.
    ASSERT_EQ(::mkfifo("datos/tuberia.pcx", 0600), 0);
    fs::create_directory("datos/carpeta.pcx");
    fs::create_symlink("bucle.pcx", "datos/bucle.pcx");  // a link to itself
    const std::string fifo = fatal_message_of([] { open_data_file("datos/tuberia.pcx", "rb"); });
    EXPECT_EQ(fifo, "No puedo leer \"datos/tuberia.pcx\": es una tubería (FIFO), no un fichero");
    const std::string folder = fatal_message_of([] { open_data_file("datos/carpeta.pcx", "rb"); });
    EXPECT_EQ(folder, "No puedo leer \"datos/carpeta.pcx\": es una carpeta, no un fichero");
    const std::string loop = fatal_message_of([] { open_data_file("datos/bucle.pcx", "rb"); });
    EXPECT_EQ(loop, std::string("No puedo abrir el fichero \"datos/bucle.pcx\": ") + system_reason(ELOOP));
    // Missing stays missing: the caller reports it in its own words.
    EXPECT_EQ(open_data_file("datos/no-existe.pcx", "rb"), nullptr);
    EXPECT_EQ(open_data_file("datos/a.pcx/dentro", "rb"), nullptr);
}

TEST_F(ArchiveFiles, AnArchiveThatIsNotARegularFileCountsAsAbsent)
{
    write("datos/a.pcx", "disco a");
    ASSERT_EQ(::mkfifo("Yurn.pak", 0600), 0);
    EXPECT_EQ(drain(open_data_file("datos/a.pcx", "rb")), "disco a");
    fs::remove("Yurn.pak");
    fs::create_directory("Yurn.pak");
    EXPECT_EQ(drain(open_data_file("datos/a.pcx", "rb")), "disco a");
}

TEST_F(ArchiveFiles, AMemberPlacedPastTheArchivesEndIsBlamedOnTheArchive)
{
    Bytes a;
    add_entry(a, "datos/lejos.pcx", 5000);
    a.resize(a.size() + ARCHIVE_ENTRY_SIZE, 0);
    add_entry(a, "datos/vacio.pcx", 3 * ARCHIVE_ENTRY_SIZE);  // after the marker: not found
    write("Yurn.pak", std::string(a.begin(), a.end()));
    EXPECT_EQ(fatal_message_of([] { open_data_file("datos/lejos.pcx", "rb"); }),
              "El archivo de recursos \"Yurn.pak\" sitúa \"datos/lejos.pcx\" en la posición 5000, más allá de su "
              "final (72 bytes)");
    // A member starting right at the end is empty, not misplaced.
    Bytes b;
    add_entry(b, "datos/vacio.pcx", 2 * ARCHIVE_ENTRY_SIZE);
    b.resize(b.size() + ARCHIVE_ENTRY_SIZE, 0);
    write("Yurn.pak", std::string(b.begin(), b.end()));
    EXPECT_EQ(drain(open_data_file("datos/vacio.pcx", "rb")), "");
}

namespace {

// An archive holding "datos/Foto1.pcx" as bytes no PCX starts with, its
// entry's offset and length as given, then what follows the entry.
std::string archive_with_member(uint32_t offset, uint32_t length, const std::string& rest)
{
    Bytes a;
    add_entry(a, "datos/Foto1.pcx", offset);
    for (int i = 0; i < 4; ++i)
        a[ARCHIVE_SPARE_AT + i] = uint8_t(length >> (8 * i));
    return std::string(a.begin(), a.end()) + rest;
}

// Reads the picture with the program's own fatal_error (stderr, exit 1).
void read_first_photo()
{
    set_fatal_handler(nullptr);
    std::vector<uint32_t> pixels(320 * 240);
    read_pcx("datos/Foto1.pcx", pixels.data(), pixels.size() * 4, nullptr);
    std::_Exit(0);
}

} // namespace

TEST_F(ArchiveFiles, AMemberTheArchiveCannotHoldSoundlyNamesTheArchiveAfterTheReadersMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string marker(ARCHIVE_ENTRY_SIZE, '\0');
    const std::string junk(40, 'j');  // 'j' is no PCX maker byte (10)
    const std::string pcx_message = "EL FICHERO datos/Foto1\\.pcx NO ES DE FORMATO PCX\n";
    // No end marker: the directory runs on into the data.
    write("Yurn.pak", archive_with_member(24, 40, junk));
    EXPECT_EXIT(read_first_photo(), ::testing::ExitedWithCode(1),
                "^" + pcx_message + "El archivo de recursos \"Yurn\\.pak\" no guarda bien \"datos/Foto1\\.pcx\": su "
                "directorio no termina con una entrada a cero\\.\n$");
    // An offset inside the directory (its own entry, here).
    write("Yurn.pak", archive_with_member(0, 40, marker + junk));
    EXPECT_EXIT(read_first_photo(), ::testing::ExitedWithCode(1),
                "^" + pcx_message + "El archivo de recursos \"Yurn\\.pak\" no guarda bien \"datos/Foto1\\.pcx\": "
                "\"datos/Foto1\\.pcx\" empieza en la posición 0, dentro del directorio \\(48 bytes\\)\\.\n$");
    // Overlapping the next member: bytes 72..111 and 92..111.
    Bytes second;
    add_entry(second, "datos/Foto2.pcx", 92);
    for (int i = 0; i < 4; ++i)
        second[ARCHIVE_SPARE_AT + i] = uint8_t(20 >> (8 * i));
    write("Yurn.pak", archive_with_member(72, 40, std::string(second.begin(), second.end()) + marker + junk));
    EXPECT_EXIT(read_first_photo(), ::testing::ExitedWithCode(1),
                "^" + pcx_message + "El archivo de recursos \"Yurn\\.pak\" no guarda bien \"datos/Foto1\\.pcx\": "
                "\"datos/Foto1\\.pcx\" se solapa con el miembro 2, que empieza en la posición 92\\.\n$");
    // A sound archive: the reader's message alone.
    write("Yurn.pak", archive_with_member(48, 40, marker + junk));
    EXPECT_EXIT(read_first_photo(), ::testing::ExitedWithCode(1), "^" + pcx_message + "$");
    // The note goes with the next file opened.
    write("Yurn.pak", archive_with_member(0, 40, marker + junk));
    write("datos/b.pcx", "otro");
    EXPECT_EXIT(
        {
            set_fatal_handler(nullptr);
            std::fclose(open_data_file("datos/Foto1.pcx", "rb"));
            std::fclose(open_data_file("datos/b.pcx", "rb"));
            fatal_error("otro fallo");
        },
        ::testing::ExitedWithCode(1), "^otro fallo\n$");
}
