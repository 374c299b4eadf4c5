#include "command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "scratch_dir.h"

extern char** environ;

namespace fs = std::filesystem;

namespace test_support {

fs::path FilterhostPath()
{
    return fs::path(BINARY_DIR) / "bin" / "filterhost";
}

namespace {

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const auto& change : changes) {
        const auto equals = change.find('=');
        const std::string key = change.substr(0, equals) + "=";
        std::erase_if(env, [&](const std::string& e) { return e.rfind(key, 0) == 0; });
        if (equals != std::string::npos)
            env.push_back(change);
    }
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (auto& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

Child::Child(const Command& command, const fs::path& scratch)
{
    static std::atomic<int> counter{0};
    const std::string stem = "child" + std::to_string(counter++);
    outFile_ = scratch / (stem + ".out");
    errFile_ = scratch / (stem + ".err");
    inFile_ = scratch / (stem + ".in");
    WriteBytes(inFile_, command.stdinBytes);

    std::vector<std::string> argv = command.argv;
    std::vector<std::string> env = ChildEnvironment(command.env);
    auto argp = Pointers(argv);
    auto envp = Pointers(env);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inFile_.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int rc =
        posix_spawn(&pid_, argv.at(0).c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        throw std::runtime_error("cannot start " + argv.at(0));
}

Child::~Child()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void Child::Signal(int signal) const
{
    if (pid_ > 0)
        ::kill(pid_, signal);
}

std::string Child::ErrSoFar() const
{
    return ReadText(errFile_);
}

bool Child::AwaitErr(const std::string& text, double timeoutSeconds) const
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ErrSoFar().find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

CommandResult Child::Wait()
{
    CommandResult result;
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_)
        result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    pid_ = -1;
    result.out = ReadText(outFile_);
    result.err = ReadText(errFile_);
    return result;
}

CommandResult RunCommand(const Command& command, const fs::path& scratch)
{
    Child child(command, scratch);
    return child.Wait();
}

}  // namespace test_support
