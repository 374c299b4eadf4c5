// Starting and stopping `filterhost serve` for the tests.
#include "serve_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <thread>

extern char** environ;

std::string TestPluginPath()
{
    return std::string(PLUGIN_DIR) + ":" + TEST_PLUGIN_DIR;
}

ServeProcess::ServeProcess(const std::vector<std::string>& serveArgs,
                           const std::vector<std::string>& globalArgs)
{
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    std::vector<std::string> args = {BINARY_DIR "/bin/filterhost"};
    args.insert(args.end(), globalArgs.begin(), globalArgs.end());
    args.insert(args.end(), {"serve", "--port", "0"});
    args.insert(args.end(), serveArgs.begin(), serveArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (error != 0)
        throw std::runtime_error("cannot start filterhost serve");

    // The address line and the session folder line, within ten seconds.
    std::string text;
    const std::regex address(R"(http://([0-9.]+):(\d+)/\?token=([0-9a-f]+))");
    const std::regex folder(R"(session folder: (\S+))");
    std::smatch found, folderFound;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(std::regex_search(text, found, address) &&
             std::regex_search(text, folderFound, folder))) {
        pollfd wait{fds[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || poll(&wait, 1, 100) < 0)
            break;
        char buffer[512];
        if (wait.revents) {
            const ssize_t got = read(fds[0], buffer, sizeof buffer);
            if (got <= 0)
                break;
            text.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fds[0]);
    if (found.empty() || folderFound.empty()) {
        Stop();
        throw std::runtime_error("filterhost serve printed no address: " + text);
    }
    host_ = found[1];
    port_ = std::stoi(found[2]);
    token_ = found[3];
    sessionFolder_ = folderFound[1].str();
}

ServeProcess::~ServeProcess()
{
    Stop();
}

std::string ServeProcess::With(const std::string& path) const
{
    return path + (path.find('?') == std::string::npos ? "?" : "&") + "token=" + token_;
}

bool ServeProcess::Running() const
{
    return pid_ > 0 && kill(pid_, 0) == 0;
}

int ServeProcess::Stop()
{
    if (pid_ <= 0)
        return -1;
    kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 200; ++i) {  // ten seconds, then by force
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -SIGKILL;
}
