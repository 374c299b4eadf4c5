// filterhost end to end: the built executable run as a child process on
// small files written here.
#include "filterhost_fixture.h"

#include <set>

namespace {

using namespace fh_test;

const host::Module& RgbToIhs()
{
    static host::Module module(PLUGIN_DIR "/rgb_to_ihs.so");
    return module;
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

TEST_F(Filterhost, AboutByNameOrPathShowsTheDescription)
{
    for (const std::string plugin : {"rgb_to_ihs", PLUGIN_DIR "/rgb_to_ihs.so"}) {
        const Outcome about = Run({"about", plugin});
        EXPECT_EQ(about.exit, 0) << about.err;
        EXPECT_EQ(Lines(about.out).at(0), "Convert RGB values to Intensity, Hue and Saturation");
        EXPECT_NE(about.out.find("image modes: greyscale 8-bit, RGB 8-bit, greyscale 16-bit, "
                                 "RGB 16-bit, RGB 32-bit float, greyscale 32-bit float\n"),
                  std::string::npos)
            << about.out;
    }
    const Outcome sharpen = Run({"about", "rank_sharpen"});
    for (const char* text : {"\"ranksharp.txt\" on the Desktop", "\n  radius: ", "\n  mode: ",
                             "\n  amount: number (percent)", "\n  clip: "})
        EXPECT_NE(sharpen.out.find(text), std::string::npos) << text << "\n" << sharpen.out;
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
        const Outcome run = Run({"run", "fill_holes", in.string(), "-o", out.string()});
        ASSERT_EQ(run.exit, 0) << label << ": " << run.err;
        EXPECT_EQ(run.err, "") << label;
        static host::Module fillHoles(PLUGIN_DIR "/fill_holes.so");
        const auto expected = host::RunFilter(fillHoles, input);
        ASSERT_EQ(expected.result, 0);
        EXPECT_EQ(host::ReadImageFile(out), expected.output) << label;
        fs::remove(out);
    }
}

TEST_F(Filterhost, HostErrorsExitOneWithOneLineAndWriteNothing)
{
    host::WriteImageFile(File("float.tif"), RandomImage(plugInModeRGB96, 32, 1));
    host::WriteImageFile(File("rgb.png"), RandomImage(plugInModeRGBColor, 8, 2));
    host::WriteImageFile(File("grey.png"), RandomImage(plugInModeGrayScale, 8, 2));
    host::WriteImageFile(File("lab.tif"), RandomImage(plugInModeLabColor, 8, 2));
    std::ofstream(File("notes.png")) << "not an image\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;  // the whole of stderr, or its start when it ends in "..."
    };
    const std::string d = dir_.Path().string();
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
        {{"run", "fill_holes", d + "/rgb.png", d + "/grey.png", "-o", d + "/out/"},
         "filterhost: run takes one INPUT; for many images use 'filterhost batch fill_holes "
         "INPUT... --out-dir DIR'\n"},
        {{"runn", "rgb_to_ihs", d + "/rgb.png"},
         "filterhost: unknown command 'runn'; did you mean 'run'?\n"},
        {{"frobnicate"}, "filterhost: unknown command 'frobnicate' (the commands are ..."},
        {{"run", "rgb_to_ihs", d + "/lab.tif", "-o", d + "/out.tif"},
         "filterhost: rgb_to_ihs does not take Lab 8-bit images; it takes greyscale 8-bit, RGB "
         "8-bit, greyscale 16-bit, RGB 16-bit, RGB 32-bit float, greyscale 32-bit float\n"},
        {{"run", "rank_sharpen", d + "/rgb.png", "-o", d + "/out.png", "--param", "radius=9"},
         "filterhost: rank_sharpen: radius=9 is out of range (0 to 4 (pixels))\n"},
        {{"run", "rank_sharpen", d + "/rgb.png", "--param", "sharpness=2"},
         "filterhost: rank_sharpen has no parameter 'sharpness' (it has radius, mode, amount, "
         "clip)\n"},
        {{"run", "rank_sharpen", d + "/rgb.png", "--param", "radius"},
         "filterhost: --param wants NAME=VALUE, not 'radius'\n"},
        {{"run", "fill_holes", d + "/rgb.png", "--param", "radius=2"},
         "filterhost: fill_holes takes no parameters\n"},
        {{"run", "rgb_to_ihs", d + "/rgb.png", "--progress", "fancy"},
         "filterhost: --progress must be auto, bar, plain or none, not 'fancy'\n"},
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
    const std::string reason =
        "message: Refused \"image\"\\\tfor testing.\nSecond line (MainUserEntry)\n"
        "filterhost: fh_test_refuses returned -128 (cancelled, or the plug-in refused the "
        "image); nothing written\n";
    EXPECT_EQ(run.err, reason);
    EXPECT_FALSE(fs::exists(File("out.png")));
    const auto report = JsonFile(File("r.json"));
    EXPECT_EQ(report["plugin"], "fh_test_refuses");
    EXPECT_EQ(report["about"], "Refuses every image (test module)");
    EXPECT_EQ(report["result"], -128);
    EXPECT_EQ(report["exit_status"], 2);
    EXPECT_EQ(
        report["messages"],
        nlohmann::json::array({"Refused \"image\"\\\tfor testing.\nSecond line (MainUserEntry)"}));
    EXPECT_EQ(report["output"], File("out.png").string());
    EXPECT_EQ(report["output_written"], false);
    EXPECT_TRUE(report["parameters"].is_null());

    // --quiet holds back progress and messages, but not why the run failed.
    const Outcome quiet = Run({"run", module, File("in.png").string(), "--quiet"});
    EXPECT_EQ(quiet.exit, 2);
    EXPECT_EQ(quiet.err, reason);
}

TEST_F(Filterhost, JsonReportOfASuccessfulRun)
{
    const Image input = RandomImage(plugInModeRGB48, 16, 4);
    host::WriteImageFile(File("in.ppm"), input);
    const Outcome run = Run({"run", "rgb_to_ihs", File("in.ppm").string(), "-o",
                             File("out.tif").string(), "--json", File("r.json").string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    const auto expected = host::RunFilter(RgbToIhs(), input);
    EXPECT_EQ(host::ReadImageFile(File("out.tif")), expected.output);
    const auto report = JsonFile(File("r.json"));
    const std::vector<std::string> keys = {
        "plugin",         "about",          "input",   "output",     "result",
        "exit_status",    "messages",       "numbers", "parameters", "parameters_from",
        "progress_calls", "width",          "height",  "mode",       "depth",
        "cancelled",      "output_written", "error",   "seconds",    "peak_memory_bytes"};
    std::vector<std::string> found;
    std::ifstream text(File("r.json"));
    const auto ordered = nlohmann::ordered_json::parse(text);
    for (const auto& [key, value] : ordered.items())
        found.push_back(key);
    EXPECT_EQ(found, keys) << "keys keep their order";
    EXPECT_EQ(report["input"], File("in.ppm").string());
    EXPECT_EQ(report["output"], File("out.tif").string());
    EXPECT_EQ(report["progress_calls"], expected.progress.size());
    EXPECT_EQ(report["mode"], 11);
    EXPECT_EQ(report["depth"], 16);
    EXPECT_EQ(report["output_written"], true);
    EXPECT_TRUE(report["error"].is_null());
    const auto& seconds = report["seconds"];
    for (const char* phase : {"read", "filter", "write"}) {
        EXPECT_GE(seconds[phase].get<double>(), 0.0) << phase;
        EXPECT_LE(seconds[phase].get<double>(), seconds["total"].get<double>()) << phase;
    }
    EXPECT_GT(report["peak_memory_bytes"].get<int64_t>(), 0);
}

TEST_F(Filterhost, ReportHoldsTheMeasurementAsANumber)
{
    // A plus sign of 2 × 3 black pixels on white: its perimeter is reported
    // in a message, and the number in it becomes a number in the report.
    Image image = Image::Make(8, 8, plugInModeGrayScale, 8);
    std::fill(image.pixels.begin(), image.pixels.end(), 255);
    for (const auto& [x, y] : {std::pair{3, 3}, {4, 3}, {3, 4}, {4, 4}, {3, 5}, {4, 5}})
        image.U8(x, y) = 0;
    host::WriteImageFile(File("in.png"), image);
    const Outcome run =
        Run({"run", "total_perimeter", File("in.png").string(), "--json", File("r.json").string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    const auto report = JsonFile(File("r.json"));
    ASSERT_EQ(report["messages"].size(), 1u);
    const std::string message = report["messages"][0];
    ASSERT_EQ(report["numbers"].size(), 1u) << message;
    EXPECT_EQ(report["numbers"][0].get<double>(), std::stod(message)) << message;
    EXPECT_TRUE(report["output"].is_null());
}

// The report replaces an older one whole, through a link too (the link
// stays), and leaves nothing else in its folder.
TEST_F(Filterhost, JsonReportReplacesTheOldOneWhole)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeGrayScale, 8, 9));
    fs::create_directories(File("reports"));
    std::ofstream(File("reports/old.json")) << std::string(100000, 'x');
    fs::create_symlink("old.json", File("reports/link.json"));
    for (const char* name : {"old.json", "link.json"}) {
        const Outcome run = Run({"run", "total_perimeter", File("in.png").string(), "--json",
                                 File(std::string("reports/") + name).string()});
        ASSERT_EQ(run.exit, 0) << run.err;
        EXPECT_EQ(JsonFile(File("reports/old.json"))["exit_status"], 0) << name;
    }
    EXPECT_TRUE(fs::is_symlink(File("reports/link.json")));
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(File("reports")))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"link.json", "old.json"}));
}

TEST_F(Filterhost, PreferencesFolderIsMadeOnlyWhenTheReferenceIsStored)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 5));
    const fs::path prefs = File("config/deep/prefs"), desktop = File("no_desktop");
    const Outcome run = Run({"run", "rgb_to_ihs", File("in.png").string(), "--prefs-dir",
                             prefs.string(), "--desktop-dir", desktop.string()});
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_FALSE(fs::exists(File("config")));
    EXPECT_FALSE(fs::exists(desktop));

    const Outcome store =
        Run({"run", "store_reference", File("in.png").string(), "--prefs-dir", prefs.string()});
    EXPECT_EQ(store.exit, 0) << store.err;
    EXPECT_TRUE(fs::is_regular_file(prefs / "Reference Image.xzy"));

    // Without a setting, the Preferences folder follows XDG_CONFIG_HOME.
    const Outcome byXdg = Run({"run", "store_reference", File("in.png").string()},
                              {"FILTERHOST_PREFS_DIR=", "XDG_CONFIG_HOME=" + File("xdg").string()});
    EXPECT_EQ(byXdg.exit, 0) << byXdg.err;
    EXPECT_TRUE(fs::is_regular_file(File("xdg/filterhost/Reference Image.xzy")));
}

TEST_F(Filterhost, NoHomeNeededForAFilterWithoutTheReference)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeGrayScale, 8, 8));
    const std::vector<std::string> noHome = {
        "HOME=", "FILTERHOST_PREFS_DIR=", "FILTERHOST_DESKTOP_DIR="};
    const Outcome fill =
        Run({"run", "fill_holes", File("in.png").string(), "-o", File("out.png").string()}, noHome);
    EXPECT_EQ(fill.exit, 0) << fill.err;
    EXPECT_TRUE(fs::exists(File("out.png")));
    const Outcome store = Run({"run", "store_reference", File("in.png").string()}, noHome);
    EXPECT_EQ(store.exit, 1);
    EXPECT_EQ(store.err, "filterhost: no Preferences folder for the reference image: set "
                         "--prefs-dir or HOME\n");
}

TEST_F(Filterhost, MissingReferenceIsExplainedWithStoreReference)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 9));
    for (const std::string plugin : {"marker_select", "cross_correlate"}) {
        for (const bool quiet : {false, true}) {
            std::vector<std::string> args = {"run", plugin, File("in.png").string()};
            if (quiet)
                args.push_back("-q");
            const Outcome run = Run(args);
            EXPECT_EQ(run.exit, 2) << plugin;
            const auto lines = Lines(run.err);
            ASSERT_GE(lines.size(), 3u) << run.err;
            EXPECT_EQ(lines[0].rfind("message: ", 0), 0u) << run.err;
            EXPECT_EQ(lines.back(), "filterhost: no reference image is stored in '" +
                                        File("prefs").string() +
                                        "'; store one first with 'filterhost run store_reference "
                                        "IMAGE'")
                << run.err;
        }
    }
    // With a reference stored, a size mismatch is not blamed on it.
    host::WriteImageFile(File("other.png"), RandomImage(plugInModeRGBColor, 8, 10));
    ASSERT_EQ(Run({"run", "store_reference", File("other.png").string()}).exit, 0);
    const Outcome mismatch = Run({"run", "cross_correlate", File("in.png").string()});
    EXPECT_EQ(mismatch.exit, 2);
    EXPECT_EQ(mismatch.err.find("store_reference"), std::string::npos) << mismatch.err;
}

TEST_F(Filterhost, VersionHelpAndNearMisses)
{
    for (const std::string flag : {"-V", "--version"}) {
        const Outcome version = Run({flag});
        EXPECT_EQ(version.exit, 0);
        EXPECT_EQ(version.out.rfind("filterhost ", 0), 0u) << version.out;
    }
    const Outcome help = Run({"help"});
    EXPECT_EQ(help.exit, 0) << help.err;
    EXPECT_NE(help.out.find("Usage: filterhost"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("batch"), std::string::npos) << help.out;
    const Outcome helpRun = Run({"help", "run"});
    EXPECT_EQ(helpRun.exit, 0);
    EXPECT_NE(helpRun.out.find("--param"), std::string::npos) << helpRun.out;
    for (const auto& [typed, meant] : {std::pair{"runn", "run"},
                                       {"lst", "list"},
                                       {"abut", "about"},
                                       {"bat", "batch"},
                                       {"hlep", "help"}}) {
        const Outcome miss = Run({typed});
        EXPECT_EQ(miss.exit, 1);
        EXPECT_EQ(miss.err, std::string("filterhost: unknown command '") + typed +
                                "'; did you mean '" + meant + "'?\n");
    }
}

TEST_F(Filterhost, ParametersReachTheFilterAndTheUsersDesktopIsLeftAlone)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 11));
    std::ofstream(File("desktop/ranksharp.txt"), std::ios::binary) << "keep me";
    const std::vector<std::string> params = {"--param", "radius=1",   "--param", "mode=1",
                                             "--param", "amount=300", "--param", "clip=0.01"};
    std::vector<std::string> args = {
        "run",    "rank_sharpen",         File("in.png").string(), "-o", File("given.png").string(),
        "--json", File("r.json").string()};
    args.insert(args.end(), params.begin(), params.end());
    const Outcome given = Run(args);
    ASSERT_EQ(given.exit, 0) << given.err;
    EXPECT_EQ(Slurp(File("desktop/ranksharp.txt")), "keep me");
    const auto report = JsonFile(File("r.json"));
    EXPECT_EQ(report["parameters"],
              nlohmann::json({{"radius", 1.0}, {"mode", 1}, {"amount", 300.0}, {"clip", 0.01}}));
    EXPECT_EQ(report["parameters_from"], "command line");

    // The same numbers in a Desktop file, with any line end, give the same
    // image; the report reads them from there.
    for (const std::string end : {"\n", "\r", "\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(end));
        std::ofstream(File("desktop/ranksharp.txt"), std::ios::binary | std::ios::trunc)
            << "1" << end << "1" << end << "300" << end << "0.01" << end;
        const Outcome desk = Run({"run", "rank_sharpen", File("in.png").string(), "-o",
                                  File("desk.png").string(), "--json", File("d.json").string()});
        ASSERT_EQ(desk.exit, 0) << desk.err;
        EXPECT_EQ(Slurp(File("desk.png")), Slurp(File("given.png")));
        EXPECT_EQ(JsonFile(File("d.json"))["parameters"], report["parameters"]);
        // --param-file takes the same file.
        const Outcome byFile =
            Run({"run", "rank_sharpen", File("in.png").string(), "-o", File("file.png").string(),
                 "--param-file", File("desktop/ranksharp.txt").string(), "--desktop-dir",
                 File("elsewhere").string()});
        ASSERT_EQ(byFile.exit, 0) << byFile.err;
        EXPECT_EQ(Slurp(File("file.png")), Slurp(File("given.png")));
    }

    // The defaults give another image.
    fs::remove(File("desktop/ranksharp.txt"));
    const Outcome defaults =
        Run({"run", "rank_sharpen", File("in.png").string(), "-o", File("defaults.png").string(),
             "--json", File("d.json").string()});
    ASSERT_EQ(defaults.exit, 0) << defaults.err;
    EXPECT_NE(Slurp(File("defaults.png")), Slurp(File("given.png")));
    EXPECT_EQ(JsonFile(File("d.json"))["parameters_from"], "defaults");
}

TEST_F(Filterhost, PlainProgressShowsPhasesAndPassesAndNeverGoesBack)
{
    host::WriteImageFile(File("in.png"), RandomImage(plugInModeRGBColor, 8, 12));
    const Outcome run = Run({"run", "rank_sharpen", File("in.png").string(), "-o",
                             File("out.png").string(), "--progress=plain"});
    ASSERT_EQ(run.exit, 0) << run.err;
    std::vector<std::string> phases;
    int pass = 1, percent = -1;
    for (const auto& line : Lines(run.err)) {
        ASSERT_EQ(line.rfind("filterhost: ", 0), 0u) << line;
        const std::string text = line.substr(12, line.rfind(" (") - 12);
        const size_t space = text.find(' ');
        const std::string phase = text.substr(0, text.find_first_of(" ,"));
        if (phases.empty() || phases.back() != phase)
            phases.push_back(phase);
        if (space == std::string::npos)
            continue;
        const size_t passAt = text.find(", pass ");
        const int linePass = passAt == std::string::npos ? 1 : std::stoi(text.substr(passAt + 7));
        const int linePercent = std::stoi(text.substr(text.rfind(' ') + 1));
        if (linePass != pass) {
            EXPECT_EQ(linePass, pass + 1) << line;
            pass = linePass;
            percent = -1;
        }
        EXPECT_GT(linePercent, percent) << line;
        percent = linePercent;
    }
    EXPECT_EQ(phases, (std::vector<std::string>{"reading", "filtering", "writing"})) << run.err;
    EXPECT_EQ(pass, 5) << "rank_sharpen reports progress in five passes\n" << run.err;
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
