// Shared by the filterhost end-to-end tests: the built executable run as a
// child process with its folders pointed into a directory of the test's own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "host.h"
#include "image_file.h"

extern char** environ;

namespace fh_test {

namespace fs = std::filesystem;
using host::Image;

inline const std::string kFilterhost = BINARY_DIR "/bin/filterhost";

inline std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    int exit = -1;  // exit status, or minus the signal that ended the process
    std::string out, err;
};

class Filterhost : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("filterhost_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "desktop");
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path File(const std::string& name) const { return dir_ / name; }

    // Starts filterhost with stdout and stderr going to files, its folders
    // pointed into the test's directory.
    pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("FILTERHOST_", 0) == 0 || entry.rfind("XDG_", 0) == 0 ||
                entry.rfind("HOME=", 0) == 0)
                continue;
            env.push_back(entry);
        }
        env.push_back("HOME=" + (dir_ / "home").string());
        env.push_back("FILTERHOST_PREFS_DIR=" + (dir_ / "prefs").string());
        env.push_back("FILTERHOST_DESKTOP_DIR=" + (dir_ / "desktop").string());
        for (const auto& extra : extraEnv) {  // later settings replace earlier ones
            const std::string key = extra.substr(0, extra.find('=') + 1);
            std::erase_if(env, [&](const std::string& e) { return e.rfind(key, 0) == 0; });
            env.push_back(extra);
        }

        std::vector<std::string> argv = {kFilterhost};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp, envp;
        for (auto& a : argv)
            argp.push_back(a.data());
        argp.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, File("stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, File("stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        const int rc =
            posix_spawn(&pid, kFilterhost.c_str(), &actions, nullptr, argp.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << kFilterhost;
        return pid;
    }

    Outcome Wait(pid_t pid)
    {
        int status = 0;
        Outcome outcome;
        if (waitpid(pid, &status, 0) == pid)
            outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        outcome.out = Slurp(File("stdout"));
        outcome.err = Slurp(File("stderr"));
        return outcome;
    }

    Outcome Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        return Wait(Start(args, extraEnv));
    }

    // Waits until the child's stderr holds `text` (false after 20 s).
    bool AwaitStderr(const std::string& text)
    {
        for (int i = 0; i < 2000; ++i) {
            if (Slurp(File("stderr")).find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fs::path dir_;
};

inline Image RandomImage(int16_t mode, int16_t depth, unsigned seed)
{
    Image image = Image::Make(9, 6, mode, depth);
    std::mt19937 random(seed);
    for (int32_t y = 0; y < image.height; ++y)
        for (int32_t x = 0; x < image.width; ++x)
            for (int p = 0; p < image.planes; ++p) {
                if (depth == 8)
                    image.U8(x, y, p) = static_cast<uint8_t>(random() & 0xFF);
                else if (depth == 16)
                    image.U16(x, y, p) = static_cast<uint16_t>(random() % 32769);
                else
                    image.F32(x, y, p) = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
            }
    return image;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline nlohmann::json JsonFile(const fs::path& file)
{
    std::ifstream in(file);
    return nlohmann::json::parse(in);
}

}  // namespace fh_test
