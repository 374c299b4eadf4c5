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
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "command.h"
#include "host.h"
#include "image_file.h"
#include "scratch_dir.h"

extern char** environ;

namespace fh_test {

namespace fs = std::filesystem;
using host::Image;

inline const std::string kFilterhost = test_support::FilterhostPath().string();

inline std::string Slurp(const fs::path& file)
{
    return test_support::ReadText(file);
}

struct Outcome {
    int exit = -1;  // exit status, or minus the signal that ended the process
    std::string out, err;
};

class Filterhost : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir_ / "home");
        fs::create_directories(dir_ / "desktop");
    }

    fs::path File(const std::string& name) const { return dir_ / name; }

    // Starts filterhost with its folders pointed into the test's directory
    // and nothing of the caller's HOME, XDG or FILTERHOST_ settings; later
    // settings in extraEnv replace earlier ones.
    pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        test_support::Command command;
        command.argv = {kFilterhost};
        command.argv.insert(command.argv.end(), args.begin(), args.end());
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (entry.rfind("FILTERHOST_", 0) == 0 || entry.rfind("XDG_", 0) == 0)
                command.env.push_back(entry.substr(0, entry.find('=')));
        }
        command.env.push_back("HOME=" + (dir_ / "home").string());
        command.env.push_back("FILTERHOST_PREFS_DIR=" + (dir_ / "prefs").string());
        command.env.push_back("FILTERHOST_DESKTOP_DIR=" + (dir_ / "desktop").string());
        command.env.insert(command.env.end(), extraEnv.begin(), extraEnv.end());
        auto child = std::make_unique<test_support::Child>(command, dir_.Path());
        const pid_t pid = child->Pid();
        last_ = child.get();
        children_[pid] = std::move(child);
        return pid;
    }

    Outcome Wait(pid_t pid)
    {
        auto found = children_.find(pid);
        if (found == children_.end())
            return {};
        const auto result = found->second->Wait();
        return Outcome{result.exit, result.out, result.err};
    }

    Outcome Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        return Wait(Start(args, extraEnv));
    }

    // Waits until the last started child's stderr holds `text` (false after
    // 20 s).
    bool AwaitStderr(const std::string& text) { return last_ && last_->AwaitErr(text, 20); }

    test_support::ScratchDir dir_{"filterhost"};

private:
    std::map<pid_t, std::unique_ptr<test_support::Child>> children_;
    test_support::Child* last_ = nullptr;
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
