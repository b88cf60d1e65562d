// An earlier capture replaced (--overwrite): the files it wrote are known by
// what it recorded (its MANIFEST_NAME list, or for a capture made before
// there was one, the frames its frames.tsv lists); the new capture is made in
// a hidden folder beside it and takes its place only once whole, by swapping
// the two folders in one step; the files in the folder that are not ours
// stay.  An interrupted capture is saved under a new name and the earlier one
// kept; a failed one (a full disk) is removed and the earlier one kept.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "capture/capture_local.h"
#include "display/error.h"

namespace {

bool digits(const std::string& s, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (s[i] < '0' || s[i] > '9')
            return false;
    return to > from;
}

// A name the new capture may write: its table, sound and list, or a frame
// "frame-" + six or more digits + its extension.
bool new_capture_may_write(const std::string& name)
{
    if (name == TABLE_NAME || name == SOUND_NAME || name == MANIFEST_NAME)
        return true;
    const std::string ext = std::string(".") + frame_extension();
    return name.size() >= 6 + 6 + ext.size() && name.compare(0, 6, "frame-") == 0 &&
           name.compare(name.size() - ext.size(), ext.size(), ext) == 0 &&
           digits(name, 6, name.size() - ext.size());
}

// The lines of a text file, without their ends; false when it cannot be read.
bool read_lines(const std::string& path, std::vector<std::string>& lines)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file)
        return false;
    std::string line;
    for (int c; (c = std::fgetc(file.get())) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += char(c);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return true;
}

// What an earlier capture in folder recorded that it wrote.
std::set<std::string> recorded_files(const std::string& folder, const FolderContents& contents)
{
    std::set<std::string> present(contents.names.begin(), contents.names.end()), ours;
    std::vector<std::string> lines;
    if (read_lines(folder + "/" + MANIFEST_NAME, lines) && !lines.empty() && lines[0] == MANIFEST_HEADER) {
        ours.insert(MANIFEST_NAME);
        for (size_t i = 1; i < lines.size(); ++i)
            if (lines[i].find('/') == std::string::npos && present.count(lines[i]))
                ours.insert(lines[i]);
        return ours;
    }
    // Made before the list existed: frames.tsv names its frames by number.
    lines.clear();
    if (!read_lines(folder + "/" + TABLE_NAME, lines) || lines.empty() || lines[0] != "frame\tT_ms\tstage")
        return ours;
    ours.insert(TABLE_NAME);
    if (present.count(SOUND_NAME))
        ours.insert(SOUND_NAME);
    int64_t rows = 0;
    for (size_t i = 1; i < lines.size(); ++i)
        if (!lines[i].empty())
            ++rows;
    for (int64_t n = 0; n < rows; ++n)
        for (const char* ext : {"png", "ppm", "raw"}) {
            char name[40];
            std::snprintf(name, sizeof name, "frame-%06lld.%s", static_cast<long long>(n), ext);
            if (present.count(name))
                ours.insert(name);
        }
    return ours;
}

// Removes a capture's folder and the files in it (a capture makes no
// folders inside it; one found there stays, and so does the folder).
void remove_folder(const std::string& folder)
{
    FolderContents contents;
    if (read_folder(folder, contents))
        for (const std::string& name : contents.names)
            ::unlink((folder + "/" + name).c_str());
    ::rmdir(folder.c_str());
}

// Hidden folders of earlier captures into the same target that were killed
// (kill -9, a power cut) before they were whole: a live capture holds a lock
// on its own, so only the dead ones' are removed.
void remove_stale_staging(const std::string& parent, const std::string& base)
{
    FolderContents siblings;
    if (!read_folder(parent, siblings))
        return;
    const std::string prefix = "." + base + ".tmp-";
    for (const std::string& name : siblings.names) {
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string path = parent + "/" + name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            remove_folder(path);
        ::close(fd);
    }
}

// Termination signals wait while the folders are swapped.
struct SignalsHeld {
    sigset_t old{};
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&held, s);
        pthread_sigmask(SIG_BLOCK, &held, &old);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

// Swaps the staged capture in with the folders exchanged in one step; the
// files that are not ours go with it as second links.  False when the file
// system cannot exchange, or something not ours is not a plain file.
bool exchange_folders(const std::string& staged, const std::string& target, const FolderContents& now,
                      const std::set<std::string>& old)
{
    std::vector<std::string> linked;
    bool ok = true;
    for (size_t i = 0; i < now.names.size() && ok; ++i) {
        if (old.count(now.names[i]))
            continue;
        ok = now.regular[i] && ::link((target + "/" + now.names[i]).c_str(), (staged + "/" + now.names[i]).c_str()) == 0;
        if (ok)
            linked.push_back(now.names[i]);
    }
#if defined(RENAME_EXCHANGE)  // not in the browser build's C library
    if (ok && ::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0)
        return true;
#endif
    for (const std::string& name : linked)
        ::unlink((staged + "/" + name).c_str());
    return false;
}

// The staged files renamed into the folder one by one, the list last, then
// the earlier capture's files that were not replaced removed.
void move_files_in(const std::string& staged, const std::string& target, const std::set<std::string>& old)
{
    FolderContents made;
    if (!read_folder(staged, made))
        fatal_error("No puedo leer la carpeta \"%s\": %s", staged.c_str(), system_reason(errno));
    std::vector<std::string> names = made.names;
    std::stable_partition(names.begin(), names.end(), [](const std::string& n) { return n != MANIFEST_NAME; });
    std::set<std::string> replaced;
    for (const std::string& name : names) {
        const std::string to = target + "/" + name;
        if (::rename((staged + "/" + name).c_str(), to.c_str()) != 0)
            fatal_error("No puedo escribir \"%s\": %s", to.c_str(), system_reason(errno));
        replaced.insert(name);
    }
    for (const std::string& name : old)
        if (!replaced.count(name))
            ::unlink((target + "/" + name).c_str());
}

}  // namespace

std::string partial_name(const std::string& stem, const std::string& extension)
{
    for (int32_t k = 1;; ++k) {
        const std::string name = stem + "-parcial" + (k == 1 ? std::string() : "-" + std::to_string(k)) + extension;
        struct stat st;
        if (::lstat(name.c_str(), &st) != 0 && errno == ENOENT)
            return name;
    }
}

StagingFolder::~StagingFolder()
{
    if (!path.empty())
        remove_folder(path);
    if (lock >= 0)
        ::close(lock);
}

bool read_folder(const std::string& folder, FolderContents& out)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return false;
    out = {};
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        out.names.push_back(name);
        out.regular.push_back(::lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode));
    }
    return true;
}

void stage_beside(const FolderContents& contents)
{
    const std::string given = capture->folder;
    char* real = ::realpath(given.c_str(), nullptr);
    if (!real)
        fatal_error("No puedo leer la carpeta \"%s\": %s", given.c_str(), system_reason(errno));
    const std::string target = real;
    std::free(real);
    const std::set<std::string> old = recorded_files(target, contents);
    for (const std::string& name : contents.names)
        if (!old.count(name) && new_capture_may_write(name))
            fatal_error("\"%s/%s\" no lo escribió una grabación anterior (no figura en lo que esta anotó) y la nueva "
                        "lo sustituiría: muévelo o graba en otra carpeta",
                        given.c_str(), name.c_str());
    const size_t slash = target.rfind('/');
    remove_stale_staging(slash == 0 ? "/" : target.substr(0, slash), target.substr(slash + 1));
    std::string staged = target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".tmp-XXXXXX";
    if (!::mkdtemp(staged.data()))
        fatal_error("No puedo crear una carpeta junto a \"%s\": %s", given.c_str(), system_reason(errno));
    capture->staging.lock = ::open(staged.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (capture->staging.lock >= 0)
        ::flock(capture->staging.lock, LOCK_EX);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0)
        ::chmod(staged.c_str(), st.st_mode & 07777);
    capture->staging.path = staged;
    capture->target_folder = target;
    capture->old_files.assign(old.begin(), old.end());
    capture->folder = staged;
}

void put_in_place(bool interrupted)
{
    const std::string staged = capture->staging.path, target = capture->target_folder;
    if (interrupted) {
        const std::string partial = partial_name(target, "");
        if (::rename(staged.c_str(), partial.c_str()) != 0)
            fatal_error("No puedo escribir \"%s\": %s", partial.c_str(), system_reason(errno));
        capture->staging.path.clear();
        capture->saved_to = partial;
        std::fprintf(stderr, "yurn: la grabación anterior de \"%s\" queda como estaba; lo grabado está en \"%s\"\n",
                     capture->options.target, partial.c_str());
        return;
    }
    SignalsHeld held;
    const std::set<std::string> old(capture->old_files.begin(), capture->old_files.end());
    FolderContents now;
    if (!read_folder(target, now))
        fatal_error("No puedo leer la carpeta \"%s\": %s", target.c_str(), system_reason(errno));
    if (exchange_folders(staged, target, now, old))
        return;  // the earlier capture is now where the staged one was: the destructor removes it
    move_files_in(staged, target, old);
}
