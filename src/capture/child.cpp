// Starting the ffmpeg children that decode the sound track and encode the
// video, and waiting for them.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "capture/capture_local.h"

extern char** environ;

bool spawn_child(const std::vector<std::string>& args, int pipe_to, pid_t& child, int& our_end, int extra_input)
{
    int fds[2] = {-1, -1};
    if (pipe_to >= 0 && ::pipe2(fds, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe_to == 0)
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    else if (pipe_to == 1)
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    if (extra_input >= 0)
        posix_spawn_file_actions_adddup2(&actions, extra_input, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);  // we ignore it; the child must not inherit that
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int err = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    our_end = -1;
    if (pipe_to >= 0) {
        ::close(pipe_to == 0 ? fds[0] : fds[1]);
        our_end = pipe_to == 0 ? fds[1] : fds[0];
    }
    if (err != 0) {
        if (our_end >= 0)
            ::close(our_end);
        our_end = -1;
        errno = err;
        return false;
    }
    return true;
}

int wait_child(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ffmpeg_args(std::initializer_list<const char*> more)
{
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

bool file_exists(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}
