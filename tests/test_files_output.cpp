// Output files replace the old file whole or not at all.

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include "files/files.h"
#include "files/signals.h"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct TempFolder {
    fs::path path = fs::temp_directory_path() / ("yurn-output-" + std::to_string(::getpid()));
    TempFolder() { fs::create_directories(path); }
    ~TempFolder() { fs::remove_all(path); }
    size_t entries() const { return size_t(std::distance(fs::directory_iterator(path), {})); }
};

// Lowers the soft file-size limit for its lifetime: writes past it fail with
// EFBIG, as on a full disk (in a program set up as every one of ours is).
struct FileSizeLimit {
    rlimit old{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        signals_init();
        getrlimit(RLIMIT_FSIZE, &old);
        rlimit lower = old;
        lower.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old); }
};

TEST(OutputFile, ReplacesTheOldFileWholeAndLeavesNoTemporary)
{
    TempFolder folder;
    fs::path target = folder.path / "out.bin";
    std::ofstream(target) << "old";
    int error = -1;
    ASSERT_TRUE(write_whole_file(target.c_str(), "new contents", 12, &error));
    EXPECT_EQ(error, 0);
    EXPECT_EQ(slurp(target), "new contents");
    EXPECT_EQ(folder.entries(), 1u);
    // The permissions of a file fopen would have made, not the temporary's 0600.
    EXPECT_EQ(unsigned(fs::status(target).permissions()), unsigned(new_file_mode()));
    // An empty file is written soundly too.
    ASSERT_TRUE(write_whole_file(target.c_str(), nullptr, 0, nullptr));
    EXPECT_EQ(fs::file_size(target), 0u);
    // A private file replaced stays private.
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(write_whole_file(target.c_str(), "secret", 6, nullptr));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(OutputFile, AFailedWriteKeepsTheOldFileAndSaysWhy)
{
    TempFolder folder;
    fs::path target = folder.path / "out.bin";
    std::ofstream(target) << "old";
    std::string big(1 << 20, 'x');
    int error = 0;
    {
        FileSizeLimit limit(4096);
        EXPECT_FALSE(write_whole_file(target.c_str(), big.data(), big.size(), &error));
    }
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(slurp(target), "old");
    EXPECT_EQ(folder.entries(), 1u);
    EXPECT_STRNE(system_reason(EFBIG), "");
    // A folder that does not exist: nothing is created, the reason is kept.
    EXPECT_FALSE(write_whole_file((folder.path / "none" / "x").c_str(), "a", 1, &error));
    EXPECT_EQ(error, ENOENT);
}

TEST(OutputFile, AFifoIsWrittenWhereItIsNotReplacedByAFile)
{
    TempFolder folder;
    fs::path fifo = folder.path / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A reader that never blocks, so the writer's open finds it at once.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    int error = -1;
    EXPECT_TRUE(write_whole_file(fifo.c_str(), "through", 7, &error));
    EXPECT_EQ(error, 0);
    char got[16] = {};
    EXPECT_EQ(::read(reader, got, sizeof got), 7);
    ::close(reader);
    EXPECT_EQ(std::string(got), "through");
    EXPECT_TRUE(fs::is_fifo(fs::symlink_status(fifo)));
    EXPECT_EQ(folder.entries(), 1u);
    // A socket cannot be opened for writing: it is left as it is, and why is said in Spanish.
    fs::path socket_path = folder.path / "socket";
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_FALSE(write_whole_file(socket_path.c_str(), "x", 1, &error));
    EXPECT_EQ(error, ENXIO);
    EXPECT_EQ(std::string(system_reason(ENXIO)).find("No such"), std::string::npos);
    EXPECT_TRUE(fs::is_socket(fs::symlink_status(socket_path)));
    ::close(sock);
}

TEST(OutputFile, ALinkStaysALinkAndTheFileItPointsToIsReplaced)
{
    TempFolder folder;
    fs::create_directories(folder.path / "real");
    fs::path file = folder.path / "real" / "out.bin", link = folder.path / "link.bin";
    std::ofstream(file) << "old";
    fs::create_symlink("real/out.bin", link);
    ASSERT_TRUE(write_whole_file(link.c_str(), "new", 3, nullptr));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_EQ(slurp(file), "new");
    EXPECT_EQ(size_t(std::distance(fs::directory_iterator(folder.path / "real"), {})), 1u);
}

TEST(OutputFile, AnUncommittedFileRemovesItsTemporary)
{
    TempFolder folder;
    fs::path target = folder.path / "out.bin";
    {
        OutputFile out;
        ASSERT_TRUE(output_open(out, target.c_str()));
        ASSERT_TRUE(output_write(out, "abc", 3));
        EXPECT_EQ(folder.entries(), 1u);
    }
    EXPECT_EQ(folder.entries(), 0u);
}

TEST(OutputFile, ASignalMidWriteRemovesTheTemporaryAndKeepsTheOldFile)
{
    TempFolder folder;
    fs::path target = folder.path / "out.bin";
    std::ofstream(target) << "old";
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(
            {
                signals_init();
                OutputFile out;
                if (output_open(out, target.c_str()) && output_write(out, "partial", 7) && std::fflush(out.stream) == 0)
                    std::raise(signal_number);
                std::_Exit(3);
            },
            ::testing::KilledBySignal(signal_number), "");
        EXPECT_EQ(slurp(target), "old");
        EXPECT_EQ(folder.entries(), 1u) << "a temporary was left after signal " << signal_number;
    }
    // A handler the program set itself is left alone: opening a file does
    // not install one.
    EXPECT_EXIT(
        {
            std::signal(SIGINT, [](int) { std::_Exit(7); });
            OutputFile out;
            if (output_open(out, target.c_str()))
                std::raise(SIGINT);
            std::_Exit(3);
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(OutputFile, ALinkThatLeadsNowhereIsRefusedAndStaysALink)
{
    TempFolder folder;
    const fs::path dangling = folder.path / "dangling.png", loop = folder.path / "loop.png";
    fs::create_symlink("nowhere/missing.png", dangling);
    fs::create_symlink("loop.png", loop);
    int error = 0;
    EXPECT_FALSE(write_whole_file(dangling.c_str(), "x", 1, &error));
    EXPECT_EQ(error, OUTPUT_DANGLING_LINK);
    EXPECT_NE(std::string(system_reason(error)).find("enlace simbólico roto"), std::string::npos);
    EXPECT_FALSE(write_whole_file(loop.c_str(), "x", 1, &error));
    EXPECT_EQ(error, ELOOP);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dangling)));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(loop)));
    EXPECT_FALSE(fs::exists(folder.path / "nowhere"));
    EXPECT_EQ(folder.entries(), 2u);  // no temporary left
}

TEST(OutputFile, AnyNameTheSystemAcceptsCanBeWritten)
{
    TempFolder folder;
    // 255 bytes, the most a name may have; two-byte characters cut anywhere
    // would leave half a character in the temporary's name.
    std::string accented;
    while (accented.size() + 2 <= 255)
        accented += "\xc3\xb1";  // ñ
    accented += "x";
    for (const std::string& name : {std::string(255, 'n'), std::string(244, 'm'), accented}) {
        const fs::path target = folder.path / name;
        int error = 0;
        EXPECT_TRUE(write_whole_file(target.c_str(), "long", 4, &error)) << system_reason(error);
        EXPECT_EQ(slurp(target), "long");
        // Twice, so a temporary with a shortened name also replaces a file.
        EXPECT_TRUE(write_whole_file(target.c_str(), "again", 5, &error)) << system_reason(error);
        EXPECT_EQ(slurp(target), "again");
    }
    EXPECT_EQ(folder.entries(), 3u);
    // Different long names sharing their first 200 bytes get different temporaries.
    EXPECT_NE(temporary_name(std::string(250, 'a') + "1"), temporary_name(std::string(250, 'a') + "2"));
}

namespace {

// Temporaries beside target: names starting ".<name>.tmp-".
size_t temporaries_beside(const fs::path& target)
{
    const std::string prefix = "." + target.filename().string() + ".tmp-";
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(target.parent_path()))
        count += entry.path().filename().string().rfind(prefix, 0) == 0;
    return count;
}

} // namespace

TEST(OutputFile, ALaterWriteRemovesOnlyTheTemporariesAKilledWriterLeft)
{
    TempFolder folder;
    const fs::path target = folder.path / "out.bin";
    std::ofstream(target) << "old";
    // A writer killed mid-write (kill -9: no handler runs) leaves its temporary.
    for (int i = 0; i < 2; ++i) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            OutputFile out;
            if (output_open(out, target.c_str()) && output_write(out, "partial", 7))
                std::fflush(out.stream);
            ::raise(SIGKILL);
            std::_Exit(3);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        // The second writer already removed what the first one left.
        ASSERT_EQ(temporaries_beside(target), 1u);
    }
    // What is not ours to remove: a writer still at work (its temporary
    // locked), another user's file, a name of another pattern, the
    // temporary of another destination, a folder.
    const fs::path live = folder.path / ".out.bin.tmp-Live00", foreign = folder.path / ".out.bin.tmp-Other0",
                   other_pattern = folder.path / ".out.bin.tmp-notours", other_target = folder.path / ".b.bin.tmp-Abc123",
                   a_folder = folder.path / ".out.bin.tmp-Dir000";
    for (const fs::path& p : {live, foreign, other_pattern, other_target})
        std::ofstream(p) << "keep";
    fs::create_directories(a_folder);
    const int held = ::open(live.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const bool can_chown = ::geteuid() == 0 && ::chown(foreign.c_str(), 65534, 65534) == 0;
    ASSERT_TRUE(write_whole_file(target.c_str(), "new", 3, nullptr));
    EXPECT_EQ(slurp(target), "new");
    ::close(held);
    for (const fs::path& p : {live, other_pattern, other_target, a_folder})
        EXPECT_TRUE(fs::exists(p)) << p;
    EXPECT_EQ(fs::exists(foreign), can_chown);
    // The killed writer's is gone; the live one, the other pattern, the
    // folder and (when it could be given away) the foreign one stay.
    EXPECT_EQ(temporaries_beside(target), can_chown ? 4u : 3u);
}

} // namespace
