// Resource archive lookup: name matching, directory end, fallback to disk and
// the streams handed back.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "files/files.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

// A directory entry with the name copied byte for byte (up to 16, no zero
// added when it fills the field).
void add_entry(Bytes& a, const std::string& name, uint32_t offset, uint32_t spare = 0)
{
    uint8_t e[ARCHIVE_ENTRY_SIZE] = {};
    std::memcpy(e, name.data(), std::min(name.size(), ARCHIVE_NAME_SIZE));
    for (int i = 0; i < 4; ++i) {
        e[ARCHIVE_OFFSET_AT + i] = uint8_t(offset >> (8 * i));
        e[ARCHIVE_SPARE_AT + i] = uint8_t(spare >> (8 * i));
    }
    a.insert(a.end(), e, e + sizeof e);
}

void add_end_marker(Bytes& a) { a.insert(a.end(), ARCHIVE_ENTRY_SIZE, 0); }

// Builds an archive: directory of the given names (then an end marker), then
// each member's bytes in order.
Bytes make_archive(const std::vector<std::pair<std::string, std::string>>& members)
{
    Bytes a;
    uint32_t at = uint32_t((members.size() + 1) * ARCHIVE_ENTRY_SIZE);
    for (auto& [name, data] : members) {
        add_entry(a, name, at, uint32_t(data.size()));
        at += uint32_t(data.size());
    }
    add_end_marker(a);
    for (auto& m : members)
        a.insert(a.end(), m.second.begin(), m.second.end());
    return a;
}

std::optional<uint32_t> lookup(const Bytes& a, const char* path)
{
    uint32_t offset = 0;
    if (find_archive_member(a.data(), a.size(), path, &offset))
        return offset;
    return std::nullopt;
}

// Works in a scratch folder of its own; archive_name points into it.
class ArchiveFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("yurn-archive-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "datos");
        old_cwd = fs::current_path();
        fs::current_path(dir);
        std::strcpy(name_storage, "Yurn.pak");
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
    static void write(const std::string& path, const Bytes& data)
    {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    std::streamsize(data.size()));
    }
    // Whole rest of a stream, then closes it.
    static std::string drain(FILE* f)
    {
        std::string s;
        int c;
        while ((c = std::fgetc(f)) != EOF)
            s.push_back(char(c));
        std::fclose(f);
        return s;
    }
    fs::path dir, old_cwd;
    char name_storage[20];
};

} // namespace

TEST(ArchiveNames, CaseFoldsOnlyAsciiLetters)
{
    Bytes a = make_archive({{"DATOS/FOTO1.PCX", "x"}});
    EXPECT_TRUE(lookup(a, "datos/Foto1.pcx"));
    EXPECT_TRUE(lookup(a, "DATOS/FOTO1.PCX"));
    // Pairs that differ only in the 0x20 bit but are not a-z / A-Z.
    Bytes b = make_archive({{"A[B@C", "x"}, {"\xC1" "B", "y"}});
    EXPECT_TRUE(lookup(b, "a[b@c"));
    EXPECT_FALSE(lookup(b, "a{b@c"));
    EXPECT_FALSE(lookup(b, "a[b`c"));
    EXPECT_FALSE(lookup(b, "\xE1" "b"));
    EXPECT_TRUE(lookup(b, "\xC1" "b"));
}

TEST(ArchiveNames, WholeNameMustMatch)
{
    Bytes a = make_archive({{"datos/Foto1.pcx", "1"}, {"datos/Foto10.pcx", "10"}});
    EXPECT_FALSE(lookup(a, "datos/Foto"));
    EXPECT_FALSE(lookup(a, "datos/Foto1.pcx2"));
    EXPECT_FALSE(lookup(a, ""));
    EXPECT_EQ(lookup(a, "datos/Foto1.pcx"), 3 * ARCHIVE_ENTRY_SIZE);
    EXPECT_EQ(lookup(a, "datos/Foto10.pcx"), 3 * ARCHIVE_ENTRY_SIZE + 1);
}

TEST(ArchiveNames, NameFillingTheFieldMatchesAndNothingPastItIsRead)
{
    // Offset 0x41 ('A'), so a reader running past the 16-byte field would see
    // "datos/Foto10.pcxA" and match the 17-character path instead.
    Bytes a;
    add_entry(a, "datos/Foto10.pcx", 0x41);
    add_end_marker(a);
    EXPECT_EQ(lookup(a, "datos/Foto10.pcx"), 0x41u);
    EXPECT_EQ(lookup(a, "DATOS/FOTO10.PCX"), 0x41u);
    EXPECT_FALSE(lookup(a, "datos/Foto10.pcxA"));
    EXPECT_FALSE(lookup(a, "datos/Foto10.pc"));
    EXPECT_FALSE(lookup(a, "datos/Foto100.pcx"));
}

TEST(ArchiveDirectory, EndMarkerStopsTheSearch)
{
    Bytes a;
    add_entry(a, "uno", 100);
    add_end_marker(a);
    add_entry(a, "dos", 200);
    EXPECT_EQ(lookup(a, "uno"), 100u);
    EXPECT_FALSE(lookup(a, "dos"));
}

TEST(ArchiveDirectory, FirstMatchingEntryWins)
{
    Bytes a;
    add_entry(a, "Foto.pcx", 100);
    add_entry(a, "FOTO.PCX", 200);
    add_end_marker(a);
    EXPECT_EQ(lookup(a, "foto.pcx"), 100u);
}

TEST(ArchiveDirectory, DirectoryMayRunToTheEndOfTheFile)
{
    Bytes a;
    add_entry(a, "uno", 7);
    add_entry(a, "dos", 9);
    EXPECT_EQ(lookup(a, "dos"), 9u);
    EXPECT_FALSE(lookup(a, "tres"));
    EXPECT_FALSE(lookup(Bytes{}, "uno"));
}

TEST(ArchiveDirectory, ShortLastEntryIsUsedOnlyWithItsWholeOffset)
{
    Bytes a;
    add_entry(a, "uno", 0x01020304);
    Bytes twenty(a.begin(), a.begin() + 20);
    EXPECT_EQ(lookup(twenty, "uno"), 0x01020304u);
    Bytes nineteen(a.begin(), a.begin() + 19);
    EXPECT_FALSE(lookup(nineteen, "uno"));
    Bytes ten(a.begin(), a.begin() + 10);
    EXPECT_FALSE(lookup(ten, "uno"));
}

TEST(ArchiveDirectory, StreamAndMemoryLookupsAgree)
{
    std::mt19937 rng(7);
    const char* names[] = {"a", "A", "ab", "datos/Foto10.pcx", "datos/foto1.pcx", "b"};
    for (int round = 0; round < 300; ++round) {
        Bytes a;
        int entries = int(rng() % 5);
        for (int i = 0; i < entries; ++i)
            add_entry(a, rng() % 6 == 0 ? std::string() : names[rng() % 6], rng());
        a.resize(a.size() - std::min<size_t>(a.size(), rng() % 30));
        for (const char* path : names) {
            uint32_t from_memory = 0, from_stream = 0;
            bool in_memory = find_archive_member(a.data(), a.size(), path, &from_memory);
            FILE* f = fmemopen(a.empty() ? nullptr : a.data(), a.size(), "rb");
            bool in_stream = f ? find_archive_member_in_stream(f, path, &from_stream) : false;
            if (f)
                std::fclose(f);
            ASSERT_EQ(in_memory, in_stream) << round << " " << path;
            if (in_memory) {
                ASSERT_EQ(from_memory, from_stream);
            }
        }
    }
}

TEST_F(ArchiveFiles, MemberStreamStartsAtTheMember)
{
    write("Yurn.pak", make_archive({{"DATOS/FOTO1.PCX", "primero"}, {"otro", "segundo"}}));
    FILE* f = open_data_file("datos/Foto1.pcx", "r");  // the mode is not used
    ASSERT_NE(f, nullptr);
    // The stream is the archive's own: reading goes on past the member.
    EXPECT_EQ(drain(f), "primerosegundo");
}

TEST_F(ArchiveFiles, FallsBackToDiskThenNull)
{
    write("Yurn.pak", make_archive({{"datos/a.pcx", "archivo"}}));
    write("datos/b.pcx", "disco");
    write("datos/a.pcx", "disco a");
    FILE* a = open_data_file("datos/a.pcx", "rb");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(drain(a), "archivo");  // the archive wins over the disk
    FILE* b = open_data_file("datos/b.pcx", "rb");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(drain(b), "disco");
    EXPECT_EQ(open_data_file("datos/c.pcx", "rb"), nullptr);
}

TEST_F(ArchiveFiles, WithoutArchiveEverythingComesFromDisk)
{
    write("datos/b.pcx", "disco");
    FILE* f = open_data_file("datos/b.pcx", "rb");  // no Yurn.pak in the folder
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(drain(f), "disco");
    write("Yurn.pak", make_archive({{"datos/b.pcx", "archivo"}}));
    archive_name = nullptr;
    f = open_data_file("datos/b.pcx", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(drain(f), "disco");
}

TEST_F(ArchiveFiles, TwoLookupsGiveIndependentStreams)
{
    write("Yurn.pak", make_archive({{"uno", "11111"}, {"dos", "22222"}}));
    FILE* a = open_data_file("uno", "rb");
    FILE* b = open_data_file("dos", "rb");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(std::fgetc(a), '1');
    EXPECT_EQ(std::fgetc(b), '2');
    EXPECT_EQ(std::fgetc(a), '1');
    std::fclose(a);
    std::fclose(b);
}

TEST_F(ArchiveFiles, ArchiveIsReadAgainOnEveryCall)
{
    write("Yurn.pak", make_archive({{"uno", "viejo"}}));
    std::fclose(open_data_file("uno", "rb"));
    write("Yurn.pak", make_archive({{"otro", "x"}, {"uno", "nuevo"}}));
    FILE* f = open_data_file("uno", "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(drain(f), "nuevo");
}
