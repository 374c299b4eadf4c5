// filterhost end to end: the built executable run as a child process on
// small files written here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "host.h"
#include "image_file.h"

extern char** environ;

namespace fs = std::filesystem;
using host::Image;

namespace {

const std::string kFilterhost = BINARY_DIR "/bin/filterhost";

std::string Slurp(const fs::path& file)
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

Image RandomImage(int16_t mode, int16_t depth, unsigned seed)
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

const host::Module& RgbToIhs()
{
    static host::Module module(PLUGIN_DIR "/rgb_to_ihs.so");
    return module;
}

std::vector<std::string> Lines(const std::string& text)
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

TEST_F(Filterhost, ListShowsEveryBuiltPluginSortedByName)
{
    std::set<std::string> built;
    for (const auto& entry : fs::directory_iterator(PLUGIN_DIR))
        if (entry.path().extension() == ".so")
            built.insert(entry.path().stem().string());
    const Outcome listed = Run({"list"});
    ASSERT_EQ(listed.exit, 0) << listed.err;
    EXPECT_EQ(listed.err, "");
    std::vector<std::string> names;
    for (const auto& line : Lines(listed.out)) {
        const size_t tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        EXPECT_GT(line.size(), tab + 1) << "no About text: " << line;
        names.push_back(line.substr(0, tab));
    }
    EXPECT_EQ(names, std::vector<std::string>(built.begin(), built.end()));
    EXPECT_NE(listed.out.find("rgb_to_ihs\tConvert RGB values to Intensity, Hue and Saturation\n"),
              std::string::npos);
}

TEST_F(Filterhost, PluginFolderCanBeOverridden)
{
    const Outcome byEnv = Run({"list"}, {"FILTERHOST_PLUGIN_PATH=" TEST_PLUGIN_DIR});
    ASSERT_EQ(byEnv.exit, 0) << byEnv.err;
    EXPECT_NE(byEnv.out.find("fh_test_refuses\tRefuses every image (test module)\n"),
              std::string::npos);
    EXPECT_EQ(byEnv.out.find("rgb_to_ihs"), std::string::npos);

    const Outcome byOption = Run({"about", "fh_test_waits", "--plugin-dir", TEST_PLUGIN_DIR});
    EXPECT_EQ(byOption.exit, 0) << byOption.err;
    EXPECT_EQ(byOption.out, "Waits for cancel (test module)\n");

    const Outcome empty = Run({"list", "--plugin-dir", File("nothing").string()});
    EXPECT_EQ(empty.exit, 1);
    EXPECT_EQ(Lines(empty.err).size(), 1u) << empty.err;
}

TEST_F(Filterhost, AboutByNameOrPath)
{
    for (const std::string plugin : {"rgb_to_ihs", PLUGIN_DIR "/rgb_to_ihs.so"}) {
        const Outcome about = Run({"about", plugin});
        EXPECT_EQ(about.exit, 0) << about.err;
        EXPECT_EQ(about.out, "Convert RGB values to Intensity, Hue and Saturation\n");
    }
    const Outcome missing = Run({"about", "no_such_filter"});
    EXPECT_EQ(missing.exit, 1);
    EXPECT_EQ(missing.err.rfind("filterhost: no plug-in named 'no_such_filter' in ", 0), 0u)
        << missing.err;
    EXPECT_EQ(Lines(missing.err).size(), 1u);
}

struct Kind {
    const char* in;
    const char* out;
    int16_t mode, depth;
};

TEST_F(Filterhost, RunsOnEveryFormatAndDepthKeepingModeAndDepth)
{
    const Kind kinds[] = {
        {"png", "png", plugInModeGrayScale, 8},  {"png", "png", plugInModeGray16, 16},
        {"png", "png", plugInModeRGBColor, 8},   {"png", "tif", plugInModeRGB48, 16},
        {"tif", "tif", plugInModeGrayScale, 8},  {"tif", "tiff", plugInModeGray16, 16},
        {"tif", "tif", plugInModeGrayScale, 32}, {"tif", "tif", plugInModeRGBColor, 8},
        {"tif", "png", plugInModeRGB48, 16},     {"tif", "tif", plugInModeRGB96, 32},
        {"tif", "tif", plugInModeLabColor, 8},   {"tif", "tif", plugInModeLab48, 16},
        {"pgm", "pgm", plugInModeGrayScale, 8},  {"pgm", "pnm", plugInModeGray16, 16},
        {"ppm", "ppm", plugInModeRGBColor, 8},   {"ppm", "ppm", plugInModeRGB48, 16},
    };
    unsigned seed = 10;
    for (const auto& k : kinds) {
        const std::string label =
            std::string(k.in) + " → " + k.out + " " + host::ModeName(k.mode, k.depth);
        const Image input = RandomImage(k.mode, k.depth, seed++);
        const fs::path in = File(std::string("in.") + k.in),
                       out = File(std::string("out.") + k.out);
        host::WriteImageFile(in, input);
        const Outcome run = Run({"run", "rgb_to_ihs", in.string(), "-o", out.string()});
        ASSERT_EQ(run.exit, 0) << label << ": " << run.err;
        EXPECT_EQ(run.err, "") << label;
        const auto expected = host::RunFilter(RgbToIhs(), input);
        ASSERT_EQ(expected.result, 0);
        EXPECT_EQ(host::ReadImageFile(out), expected.output) << label;
        fs::remove(out);
    }
}

TEST_F(Filterhost, HostErrorsExitOneWithOneLineAndWriteNothing)
{
    host::WriteImageFile(File("float.tif"), RandomImage(plugInModeRGB96, 32, 1));
    host::WriteImageFile(File("rgb.png"), RandomImage(plugInModeRGBColor, 8, 2));
    std::ofstream(File("notes.png")) << "not an image\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the whole of stderr, or its start when it ends in "..."
    };
    const std::string d = dir_.string();
    const Case cases[] = {
        {{"run", "rgb_to_ihs", d + "/float.tif", "-o", d + "/out.png", "--json", d + "/r.json"},
         "filterhost: cannot write '" + d +
             "/out.png': PNG cannot hold 32-bit float samples (use .tif)\n"},
        {{"run", "rgb_to_ihs", d + "/rgb.png", "-o", d + "/out.gif"},
         "filterhost: cannot write '" + d +
             "/out.gif': unknown file type '.gif' (use .png, .tif, .tiff, .jpg, .jpeg, .pgm, "
             ".ppm, .pnm or .pbm)\n"},
        {{"run", "rgb_to_ihs", d + "/rgb.png", "-o", d + "/nowhere/out.png"},
         "filterhost: cannot write '" + d + "/nowhere/out.png': the folder '" + d +
             "/nowhere' does not exist\n"},
        {{"run", "rgb_to_ihs", d + "/notes.png", "-o", d + "/out.png"},
         "filterhost: cannot read '" + d +
             "/notes.png': not a PNG, TIFF, JPEG, PBM, PGM or PPM image\n"},
        {{"run", "rgb_to_ihs", d + "/missing.png", "-o", d + "/out.png"},
         "filterhost: cannot read '" + d + "/missing.png': No such file or directory\n"},
        {{"run", "no_such_filter", d + "/rgb.png", "-o", d + "/out.png"},
         "filterhost: no plug-in named 'no_such_filter' in ..."},
        {{"run", d + "/rgb.png"}, "filterhost: INPUT is required ..."},
        {{"run", "rgb_to_ihs", d + "/rgb.png", "--frobnicate"},
         "filterhost: The following argument was not expected: --frobnicate ..."},
        {{}, "filterhost: A subcommand is required ..."},
    };
    for (const auto& c : cases) {
        const Outcome run = Run(c.args);
        EXPECT_EQ(run.exit, 1) << c.err;
        if (c.err.ends_with("...")) {
            EXPECT_EQ(run.err.rfind(c.err.substr(0, c.err.size() - 3), 0), 0u) << run.err;
            EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
        } else {
            EXPECT_EQ(run.err, c.err);
        }
        EXPECT_EQ(run.out, "");
    }
    EXPECT_FALSE(fs::exists(File("out.png")));
    EXPECT_FALSE(fs::exists(File("r.json"))) << "a report for a run that never reached the plug-in";
}

TEST_F(Filterhost, PluginFailureExitsTwoWritesNothingAndStillReports)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 3));
    const std::string module = TEST_PLUGIN_DIR "/fh_test_refuses.so";
    const Outcome run = Run({"run", module, File("in.png").string(), "-o", File("out.png").string(),
                             "--json", File("r.json").string()});
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.err,
              "message: Refused \"image\"\\\tfor testing.\nSecond line (MainUserEntry)\n"
              "filterhost: fh_test_refuses returned -128 (cancelled, or the plug-in refused the "
              "image); nothing written\n");
    EXPECT_FALSE(fs::exists(File("out.png")));
    EXPECT_EQ(Slurp(File("r.json")), "{\n"
                                     "  \"plugin\": \"fh_test_refuses\",\n"
                                     "  \"about\": \"Refuses every image (test module)\",\n"
                                     "  \"result\": -128,\n"
                                     "  \"messages\": [\"Refused \\\"image\\\"\\\\\\tfor "
                                     "testing.\\nSecond line (MainUserEntry)\"],\n"
                                     "  \"progress_calls\": 0,\n"
                                     "  \"width\": 9,\n"
                                     "  \"height\": 6,\n"
                                     "  \"mode\": 3,\n"
                                     "  \"depth\": 8,\n"
                                     "  \"cancelled\": false,\n"
                                     "  \"output_written\": false\n"
                                     "}\n");

    const Outcome quiet = Run({"run", module, File("in.png").string(), "--quiet"});
    EXPECT_EQ(quiet.exit, 2);
    EXPECT_EQ(quiet.err.find("message:"), std::string::npos) << quiet.err;
}

TEST_F(Filterhost, JsonReportOfASuccessfulRun)
{
    const Image input = RandomImage(plugInModeGray16, 16, 4);
    host::WriteImageFile(File("in.pgm"), input);
    const Outcome run = Run({"run", "rgb_to_ihs", File("in.pgm").string(), "-o",
                             File("out.tif").string(), "--json", File("r.json").string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    const auto expected = host::RunFilter(RgbToIhs(), input);
    EXPECT_EQ(Slurp(File("r.json")),
              "{\n"
              "  \"plugin\": \"rgb_to_ihs\",\n"
              "  \"about\": \"Convert RGB values to Intensity, Hue and Saturation\",\n"
              "  \"result\": 0,\n"
              "  \"messages\": [],\n"
              "  \"progress_calls\": " +
                  std::to_string(expected.progress.size()) +
                  ",\n"
                  "  \"width\": 9,\n"
                  "  \"height\": 6,\n"
                  "  \"mode\": 10,\n"
                  "  \"depth\": 16,\n"
                  "  \"cancelled\": false,\n"
                  "  \"output_written\": true\n"
                  "}\n");
    EXPECT_EQ(host::ReadImageFile(File("out.tif")), expected.output);
}

TEST_F(Filterhost, PreferencesFolderIsMadeAndDesktopIsNot)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 5));
    const fs::path prefs = File("config/deep/prefs"), desktop = File("no_desktop");
    const Outcome run = Run({"run", "rgb_to_ihs", File("in.png").string(), "--prefs-dir",
                             prefs.string(), "--desktop-dir", desktop.string()});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_TRUE(fs::is_directory(prefs));
    EXPECT_FALSE(fs::exists(desktop));

    // Without a setting, the Preferences folder follows XDG_CONFIG_HOME.
    const Outcome byXdg = Run({"run", "rgb_to_ihs", File("in.png").string()},
                              {"FILTERHOST_PREFS_DIR=", "XDG_CONFIG_HOME=" + File("xdg").string()});
    EXPECT_EQ(byXdg.exit, 0) << byXdg.err;
    EXPECT_TRUE(fs::is_directory(File("xdg/filterhost")));
}

TEST_F(Filterhost, CtrlCCancelsTheRunAndWritesNothing)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 6));
    const pid_t pid = Start({"run", TEST_PLUGIN_DIR "/fh_test_waits.so", File("in.png").string(),
                             "-o", File("out.png").string(), "--json", File("r.json").string()});
    ASSERT_TRUE(AwaitStderr("message: waiting\n"));
    kill(pid, SIGINT);
    const Outcome run = Wait(pid);
    EXPECT_EQ(run.exit, 130) << run.err;
    EXPECT_NE(run.err.find("filterhost: cancelled; nothing written\n"), std::string::npos)
        << run.err;
    EXPECT_FALSE(fs::exists(File("out.png")));
    const std::string report = Slurp(File("r.json"));
    EXPECT_NE(report.find("\"result\": -128,"), std::string::npos) << report;
    EXPECT_NE(report.find("\"cancelled\": true,"), std::string::npos) << report;
}

TEST_F(Filterhost, SecondCtrlCEndsAPluginThatIgnoresCancel)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 7));
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = Start({"run", TEST_PLUGIN_DIR "/fh_test_stubborn.so", File("in.png").string(),
                             "-o", File("out.png").string()});
    ASSERT_TRUE(AwaitStderr("message: stubborn\n"));
    kill(pid, SIGINT);
    ASSERT_TRUE(AwaitStderr("Ctrl-C again"));
    kill(pid, SIGINT);
    const Outcome run = Wait(pid);
    EXPECT_EQ(run.exit, 130) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));
    EXPECT_FALSE(fs::exists(File("out.png")));
}

}  // namespace
