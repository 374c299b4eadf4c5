// Child processes through posix_spawn: no fork of a threaded server, the
// child starts with default signal handling and an empty signal mask.
#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

extern char** environ;

namespace filterhost::serve {

namespace fs = std::filesystem;

std::string ChildExit::Describe() const
{
    if (signalled)
        return "ended by signal " + std::to_string(code) + " (" + strsignal(code) + ")";
    return "exit status " + std::to_string(code);
}

fs::path SelfExecutable()
{
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path("/proc/self/exe") : exe;
}

namespace {

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const fs::path& stderrFile)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("cannot make a pipe: ") + strerror(errno));
    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&setup.actions, STDERR_FILENO, stderrFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    const std::string exe = SelfExecutable().string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(exe.c_str()));
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int error =
        posix_spawn(&pid_, exe.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    close(pipeFds[1]);
    if (error != 0) {
        close(pipeFds[0]);
        throw std::runtime_error(std::string("cannot start a child process: ") + strerror(error));
    }
    stdoutFd_ = pipeFds[0];
}

ChildProcess::~ChildProcess()
{
    if (stdoutFd_ >= 0)
        close(stdoutFd_);
    if (!waited_) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

void ChildProcess::ReadLines(const std::function<void(const std::string&)>& onLine,
                             const std::function<void()>& onIdle)
{
    constexpr auto kIdleInterval = std::chrono::milliseconds(200);
    auto lastIdle = std::chrono::steady_clock::now();
    std::string pending;
    char buffer[4096];
    for (;;) {
        // A chatty child still gets its idle calls, at the same pace.
        if (onIdle && std::chrono::steady_clock::now() - lastIdle >= kIdleInterval) {
            onIdle();
            lastIdle = std::chrono::steady_clock::now();
        }
        pollfd wait{stdoutFd_, POLLIN, 0};
        const int ready = poll(&wait, 1, static_cast<int>(kIdleInterval.count()));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;
        const ssize_t got = read(stdoutFd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(got));
        size_t start = 0, end;
        while ((end = pending.find('\n', start)) != std::string::npos) {
            onLine(pending.substr(start, end - start));
            start = end + 1;
        }
        pending.erase(0, start);
    }
    if (!pending.empty())
        onLine(pending);
}

ChildExit ChildProcess::Wait(const std::function<void()>& beforeReap)
{
    if (waited_)
        return exit_;
    if (beforeReap) {
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
               errno == EINTR) {
        }
        beforeReap();
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    if (WIFSIGNALED(status))
        exit_ = {true, WTERMSIG(status)};
    else
        exit_ = {false, WEXITSTATUS(status)};
    return exit_;
}

void ChildProcess::Signal(int signal) const
{
    if (!waited_)
        kill(pid_, signal);
}

}  // namespace filterhost::serve
