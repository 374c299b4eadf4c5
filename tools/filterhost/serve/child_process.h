// A child process of filterhost itself, started with an argument list, its
// stdout read line by line through a pipe and its stderr kept in a file.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace filterhost::serve {

struct ChildExit {
    bool signalled = false;  // ended by a signal (a crash, or killed)
    int code = 0;            // the exit status, or the signal number
    std::string Describe() const;
};

class ChildProcess {
public:
    // Starts /proc/self/exe with `arguments`; stderr goes to `stderrFile`.
    // Throws std::runtime_error when the process cannot be started.
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::filesystem::path& stderrFile);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Calls `onLine` for every stdout line until the child closes it, and
    // `onIdle` every fifth of a second meanwhile.
    void ReadLines(const std::function<void(const std::string&)>& onLine,
                   const std::function<void()>& onIdle = {});
    // Waits for the child to end (once). `beforeReap` runs once the child
    // has ended but before its process id is released, so whoever signals
    // it by that id can forget the id first.
    ChildExit Wait(const std::function<void()>& beforeReap = {});
    void Signal(int signal) const;

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    bool waited_ = false;
    ChildExit exit_;
};

// The path of the running executable.
std::filesystem::path SelfExecutable();

}  // namespace filterhost::serve
