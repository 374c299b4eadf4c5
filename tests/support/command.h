// Runs a program as a child process, without a shell: arguments are passed
// as they are, stdout and stderr are captured, and the environment is the
// test's own with the given settings added or replaced.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

// The built filterhost.
std::filesystem::path FilterhostPath();

struct CommandResult {
    int exit = -1;  // exit status, or minus the signal that ended the process
    std::string out;
    std::string err;
};

struct Command {
    std::vector<std::string> argv;  // argv[0] is the program's path
    // "NAME=value" replaces NAME; "NAME" alone removes it.
    std::vector<std::string> env;
    std::string stdinBytes;            // fed to the child's standard input
    std::filesystem::path workingDir;  // the child's current folder, if given
};

// A started child; Wait() collects it. Output goes to files in `scratch`.
class Child {
public:
    Child(const Command& command, const std::filesystem::path& scratch);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;
    // What the child has written to stderr so far.
    std::string ErrSoFar() const;
    // True once stderr holds text (false after timeoutSeconds).
    bool AwaitErr(const std::string& text, double timeoutSeconds = 20) const;
    CommandResult Wait();

private:
    pid_t pid_ = -1;
    std::filesystem::path outFile_, errFile_, inFile_;
};

// Starts the command and waits for it.
CommandResult RunCommand(const Command& command, const std::filesystem::path& scratch);

}  // namespace test_support
