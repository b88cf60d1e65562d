// Where yurn finds the installed show when it is given no --data.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "shell/installed_data.h"

namespace {

namespace fs = std::filesystem;

// A scratch folder, removed with everything in it.
struct Scratch {
    fs::path root;
    Scratch()
    {
        char name[] = "/tmp/yurn-installed-XXXXXX";
        root = mkdtemp(name);
    }
    ~Scratch() { fs::remove_all(root); }
};

}  // namespace

TEST(InstalledData, TheFolderBesideTheExecutable)
{
    EXPECT_EQ(folder_beside("/opt/x/bin/yurn", "../share/yurn"), "/opt/x/bin/../share/yurn");
    EXPECT_EQ(folder_beside("/yurn", "share/yurn"), "/share/yurn");
    EXPECT_EQ(folder_beside("yurn", "../share/yurn"), "../share/yurn");
}

TEST(InstalledData, TheFirstCandidateHoldingDatosWins)
{
    Scratch s;
    fs::create_directories(s.root / "usr/bin");
    fs::create_directories(s.root / "usr/share/yurn/datos");
    fs::create_directories(s.root / "local/share/yurn/datos");
    fs::create_directories(s.root / "empty/share/yurn");
    // A file named datos is not a data folder.
    std::FILE* f = std::fopen((s.root / "empty/share/yurn/datos").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);

    const std::string beside = (s.root / "usr/bin/../share/yurn").string();
    const std::string configured = (s.root / "local/share/yurn").string();
    const std::string empty = (s.root / "empty/share/yurn").string();
    const std::string missing = (s.root / "nowhere").string();

    const std::string both[] = {beside, configured};
    EXPECT_EQ(first_data_folder(both, 2), beside);
    const std::string second[] = {empty, configured};
    EXPECT_EQ(first_data_folder(second, 2), configured);
    const std::string none[] = {missing, empty, ""};
    EXPECT_EQ(first_data_folder(none, 3), "");
    EXPECT_EQ(first_data_folder(nullptr, 0), "");
}

TEST(InstalledData, AFolderWithDatosKeepsItsOwn)
{
    // The tests run in the source folder, which has datos/: no installed
    // folder replaces it, whatever is installed on the machine.
    struct stat info;
    ASSERT_EQ(stat("datos", &info), 0) << "the test runs in the source folder";
    EXPECT_EQ(installed_data_folder(), "");

    Scratch s;
    char* here = getcwd(nullptr, 0);
    ASSERT_NE(here, nullptr);
    fs::create_directories(s.root / "datos");
    ASSERT_EQ(chdir(s.root.c_str()), 0);
    const std::string found = installed_data_folder();
    ASSERT_EQ(chdir(here), 0);
    std::free(here);
    EXPECT_EQ(found, "");
}
