// filterhost against hostile files and signals, run as a child process:
// damaged plug-in modules and reference files, FIFOs and devices in place of
// files, a file-size limit and termination while the output is written, a
// store killed midway. Each must end in a clean failure or a correct result,
// never a crash, a hang or a file left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "image_file.h"

namespace fs = std::filesystem;

namespace {

const std::string kFilterhost = BINARY_DIR "/bin/filterhost";
const std::string kRefName = "Reference Image.xzy";

std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Spill(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

// Names in a folder, hidden ones included.
std::vector<std::string> Names(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct Outcome {
    int exit = -1;  // exit status, or minus the signal that ended the process
    std::string err;
};

class HostileFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() /
               ("hostile_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        for (const char* sub : {"prefs", "desk", "out"})
            fs::create_directories(dir_ / sub);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Starts filterhost with its folders in the test's directory; the child
    // gets `fileSizeLimit` as its RLIMIT_FSIZE when non-zero.
    pid_t Start(const std::vector<std::string>& args, rlim_t fileSizeLimit = 0)
    {
        std::vector<std::string> argv = {kFilterhost};
        argv.insert(argv.end(), args.begin(), args.end());
        if (args.size() > 1 && args[0] == "run")
            for (std::string option :
                 {"--prefs-dir=" + (dir_ / "prefs").string(),
                  "--desktop-dir=" + (dir_ / "desk").string(), std::string("-q")})
                argv.push_back(option);
        std::vector<char*> argp;
        for (auto& a : argv)
            argp.push_back(a.data());
        argp.push_back(nullptr);
        const std::string errPath = (dir_ / "stderr").string();
        const pid_t pid = fork();
        if (pid == 0) {
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, 2);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            if (fileSizeLimit != 0) {
                struct rlimit limit = {fileSizeLimit, fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            execv(kFilterhost.c_str(), argp.data());
            _exit(127);
        }
        return pid;
    }

    // Waits at most 30 s; a child still running then is killed and counts
    // as a hang.
    Outcome Wait(pid_t pid)
    {
        Outcome outcome;
        int status = 0;
        for (int i = 0; i < 3000; ++i) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                outcome.err = Slurp(dir_ / "stderr");
                return outcome;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "filterhost hung";
        outcome.err = Slurp(dir_ / "stderr");
        return outcome;
    }

    Outcome Run(const std::vector<std::string>& args, rlim_t fileSizeLimit = 0)
    {
        return Wait(Start(args, fileSizeLimit));
    }

    fs::path Input(const host::Image& image, const std::string& name = "in.png")
    {
        host::WriteImageFile(dir_ / name, image);
        return dir_ / name;
    }

    fs::path dir_;
};

host::Image Noise(int32_t width, int32_t height, unsigned seed)
{
    host::Image image = host::Image::Make(width, height, plugInModeRGBColor, 8);
    std::mt19937 random(seed);
    for (auto& sample : image.pixels)
        sample = static_cast<uint8_t>(random());
    return image;
}

// A reference file with this header and pixel byte count.
std::string ReferenceFile(uint16_t width, uint16_t height, uint16_t bytesPerPixel, size_t pixels)
{
    std::string bytes(6 + pixels, '\x40');
    const uint16_t header[3] = {width, height, bytesPerPixel};
    std::memcpy(bytes.data(), header, 6);
    return bytes;
}

TEST_F(HostileFiles, TruncatedPluginFileIsSkippedAndTheOthersListed)
{
    const fs::path plugins = dir_ / "plugins";
    fs::create_directories(plugins);
    fs::copy_file(PLUGIN_DIR "/rgb_to_ihs.so", plugins / "rgb_to_ihs.so");
    const std::string whole = Slurp(PLUGIN_DIR "/fill_holes.so");
    for (size_t keep : {whole.size() * 3 / 4, whole.size() / 3, size_t{64}, size_t{3}}) {
        Spill(plugins / "fill_holes.so", whole.substr(0, keep));
        const Outcome listed = Run({"--plugin-dir", plugins.string(), "list"});
        EXPECT_EQ(listed.exit, 1) << keep << " bytes";
        EXPECT_NE(listed.err.find("skipping '" + (plugins / "fill_holes.so").string()),
                  std::string::npos)
            << listed.err;
        const Outcome run = Run({"--plugin-dir", plugins.string(), "run", "fill_holes",
                                 Input(Noise(4, 4, 1)).string()});
        EXPECT_EQ(run.exit, 1) << keep << " bytes";
        EXPECT_NE(run.err.find("cannot load plug-in"), std::string::npos) << run.err;
    }
}

TEST_F(HostileFiles, DamagedReferenceIsRefusedByEveryReader)
{
    const std::string input = Input(Noise(32, 32, 2)).string();
    const std::vector<std::string> damaged = {
        ReferenceFile(32, 32, 24,
                      32 * 32 * 24),  // a line of 24-byte pixels overflowed 12-byte buffers
        ReferenceFile(32, 32, 4000, 32 * 32 * 12),
        ReferenceFile(32, 32, 1, 32 * 32),
        ReferenceFile(32, 32, 0, 0),
        ReferenceFile(1, 1, 12, 1),
        ReferenceFile(32, 32, 12, 32 * 32 * 12 - 5),
    };
    for (const std::string& file : damaged) {
        Spill(dir_ / "prefs" / kRefName, file);
        for (const char* plugin : {"marker_select", "cross_correlate"}) {
            const Outcome outcome =
                Run({"run", plugin, input, "-o", (dir_ / "out" / "x.png").string()});
            EXPECT_EQ(outcome.exit, 2) << plugin << ": " << outcome.err;
            EXPECT_FALSE(fs::exists(dir_ / "out" / "x.png")) << plugin;
            EXPECT_EQ(Slurp(dir_ / "prefs" / kRefName), file) << plugin;
        }
    }
}

TEST_F(HostileFiles, FifoOrDeviceInPlaceOfAFileIsRefusedWithoutWaiting)
{
    const std::string input = Input(Noise(8, 8, 3)).string();
    ASSERT_EQ(mkfifo((dir_ / "prefs" / kRefName).c_str(), 0600), 0);
    EXPECT_EQ(Run({"run", "marker_select", input}).exit, 2);
    fs::remove(dir_ / "prefs" / kRefName);
    fs::create_symlink("/dev/zero", dir_ / "prefs" / kRefName);
    EXPECT_EQ(Run({"run", "cross_correlate", input}).exit, 2);

    // A parameter file that is not a file counts as missing: the defaults.
    const Outcome defaults =
        Run({"run", "rank_sharpen", input, "-o", (dir_ / "out" / "a.png").string()});
    ASSERT_EQ(defaults.exit, 0) << defaults.err;
    ASSERT_EQ(mkfifo((dir_ / "desk" / "ranksharp.txt").c_str(), 0600), 0);
    const Outcome fifo =
        Run({"run", "rank_sharpen", input, "-o", (dir_ / "out" / "b.png").string()});
    EXPECT_EQ(fifo.exit, 0) << fifo.err;
    fs::remove(dir_ / "desk" / "ranksharp.txt");
    fs::create_symlink("/dev/zero", dir_ / "desk" / "ranksharp.txt");
    const Outcome zero =
        Run({"run", "rank_sharpen", input, "-o", (dir_ / "out" / "c.png").string()});
    EXPECT_EQ(zero.exit, 0) << zero.err;
    EXPECT_EQ(Slurp(dir_ / "out" / "b.png"), Slurp(dir_ / "out" / "a.png"));
    EXPECT_EQ(Slurp(dir_ / "out" / "c.png"), Slurp(dir_ / "out" / "a.png"));
}

TEST_F(HostileFiles, OutputBeyondTheFileSizeLimitFailsAndLeavesNothing)
{
    const std::string input = Input(Noise(300, 300, 4)).string();
    const fs::path target = dir_ / "out" / "big.ppm";
    const Outcome outcome = Run({"run", "rgb_to_ihs", input, "-o", target.string()}, 100000);
    EXPECT_EQ(outcome.exit, 1) << outcome.err;
    EXPECT_NE(outcome.err.find("'" + target.string() + "'"), std::string::npos) << outcome.err;
    EXPECT_TRUE(Names(dir_ / "out").empty());
}

// SIGTERM or SIGINT at any moment: either the whole output is there and the
// run said so, or nothing is; never a hidden temporary file.
TEST_F(HostileFiles, SignalAtAnyMomentLeavesTheWholeOutputOrNothing)
{
    const host::Image image = Noise(900, 700, 5);
    const std::string input = Input(image, "in.ppm").string();
    const fs::path target = dir_ / "out" / "result.ppm";
    for (int delayMs : {0, 5, 15, 30, 60, 100, 150, 250, 400}) {
        for (int signal : {SIGTERM, SIGINT}) {
            fs::remove(target);
            const pid_t pid = Start({"run", "rgb_to_ihs", input, "-o", target.string()});
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            kill(pid, signal);
            const Outcome outcome = Wait(pid);
            SCOPED_TRACE(std::to_string(delayMs) + " ms, signal " + std::to_string(signal));
            // A signal just after the file was put in place still ends the
            // process, with the whole file there.
            const std::vector<std::string> names = Names(dir_ / "out");
            if (outcome.exit == 0 || !names.empty()) {
                ASSERT_EQ(names, std::vector<std::string>{"result.ppm"}) << outcome.err;
                EXPECT_EQ(host::ReadImageFile(target).width, 900);
            }
            if (outcome.exit != 0 && !names.empty()) {
                EXPECT_EQ(outcome.exit, -signal) << outcome.err;
            }
        }
    }
}

// A store killed at any moment leaves the previous reference or the whole new
// one, and a reader never sees anything else.
TEST_F(HostileFiles, KilledStoreLeavesTheOldReferenceOrTheNewOne)
{
    const std::string small = Input(Noise(16, 16, 6), "small.ppm").string();
    ASSERT_EQ(Run({"run", "store_reference", small}).exit, 0);
    const std::string old = Slurp(dir_ / "prefs" / kRefName);
    const std::string big = Input(Noise(1200, 1000, 7), "big.ppm").string();
    for (int delayMs : {10, 40, 80, 150, 300}) {
        const pid_t pid = Start({"run", "store_reference", big});
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGKILL);
        Wait(pid);
        const std::string now = Slurp(dir_ / "prefs" / kRefName);
        EXPECT_TRUE(now == old || now.size() == 6 + 1200 * 1000 * 12) << delayMs << " ms";
        const Outcome read = Run({"run", "marker_select", small});
        EXPECT_EQ(read.exit, now == old ? 0 : 2) << read.err;
    }
}

// Stores of two references of one size alternate while marker_select runs:
// each run sees one reference whole and gives that reference's result.
TEST_F(HostileFiles, ReaderDuringAStoreSeesTheOldOrTheNewReference)
{
    const std::string input = Input(Noise(160, 160, 8), "input.ppm").string();
    const std::string first = Input(Noise(160, 160, 9), "first.ppm").string();
    const std::string second = Input(Noise(160, 160, 10), "second.ppm").string();
    std::string results[2];
    for (int i = 0; i < 2; i++) {
        ASSERT_EQ(Run({"run", "store_reference", i == 0 ? first : second}).exit, 0);
        const fs::path out = dir_ / "out" / ("expected" + std::to_string(i) + ".ppm");
        ASSERT_EQ(Run({"run", "marker_select", input, "-o", out.string()}).exit, 0);
        results[i] = Slurp(out);
    }
    ASSERT_NE(results[0], results[1]);

    std::atomic<bool> done{false};
    std::thread stores([&] {
        for (int i = 0; !done; i++) {
            std::vector<std::string> argv = {kFilterhost,
                                             "run",
                                             "store_reference",
                                             i % 2 ? first : second,
                                             "--prefs-dir=" + (dir_ / "prefs").string(),
                                             "-q"};
            std::vector<char*> argp;
            for (auto& a : argv)
                argp.push_back(a.data());
            argp.push_back(nullptr);
            const pid_t pid = fork();
            if (pid == 0) {
                execv(kFilterhost.c_str(), argp.data());
                _exit(127);
            }
            int status = 0;
            waitpid(pid, &status, 0);
        }
    });
    for (int run = 0; run < 12; run++) {
        const fs::path out = dir_ / "out" / "during.ppm";
        const Outcome outcome = Run({"run", "marker_select", input, "-o", out.string()});
        EXPECT_EQ(outcome.exit, 0) << outcome.err;
        const std::string got = Slurp(out);
        EXPECT_TRUE(got == results[0] || got == results[1]) << "run " << run;
    }
    done = true;
    stores.join();
}

}  // namespace
