// filterhost batch end to end: children that crash, abort or hang, parallel
// runs, the summary's number columns, Ctrl-C, --skip-existing.
#include "filterhost_fixture.h"

namespace {

using namespace fh_test;

const std::string kMoody = TEST_PLUGIN_DIR "/fh_test_moody.so";

// The images of a batch with fh_test_moody: its width decides its fate.
struct Fate {
    const char* name;
    int32_t width;
    const char* status;
};
const Fate kFates[] = {
    {"a_good.png", 6, "ok"},       {"b_crash.png", 3, "crashed"}, {"c_good.png", 7, "ok"},
    {"d_abort.png", 4, "crashed"}, {"e_hang.png", 5, "timeout"},  {"f_good.png", 8, "ok"},
};

class Batch : public Filterhost {
protected:
    void WriteImages(const fs::path& folder)
    {
        fs::create_directories(folder);
        unsigned seed = 20;
        for (const auto& fate : kFates) {
            Image image = RandomImage(plugInModeRGBColor, 8, seed++);
            image = Crop(image, fate.width);
            host::WriteImageFile(folder / fate.name, image);
        }
    }
    static Image Crop(const Image& image, int32_t width)
    {
        Image cropped = Image::Make(width, image.height, image.mode, image.depth);
        for (int32_t y = 0; y < image.height; ++y)
            for (int32_t x = 0; x < width; ++x)
                for (int p = 0; p < image.planes; ++p)
                    cropped.U8(x, y, p) = image.U8(x % image.width, y, p);
        return cropped;
    }
    // Rows of the JSON summary by input file name.
    std::map<std::string, nlohmann::json> Rows(const fs::path& summary)
    {
        std::map<std::string, nlohmann::json> rows;
        const nlohmann::json all = JsonFile(summary);
        for (const auto& row : all["images"])
            rows[fs::path(row["input"].get<std::string>()).filename().string()] = row;
        return rows;
    }
    // Every file in a folder, hidden ones included.
    std::set<std::string> Listing(const fs::path& folder)
    {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.insert(entry.path().filename().string());
        return names;
    }
};

TEST_F(Batch, CrashAbortAndHangEachCostOneRowAndTheRestAreDone)
{
    WriteImages(File("in"));
    const auto start = std::chrono::steady_clock::now();
    const Outcome run =
        Run({"batch", kMoody, File("in").string(), "--out-dir", File("out").string(), "--timeout",
             "3", "-j", "2", "--progress=plain"});
    EXPECT_EQ(run.exit, 2) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(25));

    static host::Module moody(kMoody);
    const auto rows = Rows(File("out/summary.json"));
    ASSERT_EQ(rows.size(), std::size(kFates));
    std::set<std::string> expectedFiles = {"summary.csv", "summary.json"};
    for (const auto& fate : kFates) {
        SCOPED_TRACE(fate.name);
        const auto& row = rows.at(fate.name);
        const std::string status = row["status"];
        if (std::string(fate.status) == "crashed")  // a sanitizer may turn the signal into exit 1
            EXPECT_TRUE(status == "crashed" || status == "error") << status;
        else
            EXPECT_EQ(status, fate.status);
        if (std::string(fate.status) != "ok") {
            EXPECT_FALSE(fs::exists(File("out") / fate.name));
            continue;
        }
        expectedFiles.insert(fate.name);
        const Image input = host::ReadImageFile(File("in") / fate.name);
        EXPECT_EQ(host::ReadImageFile(File("out") / fate.name),
                  host::RunFilter(moody, input).output);
        EXPECT_EQ(row["numbers"], nlohmann::json::array({input.width * input.height}));
    }
    EXPECT_EQ(Listing(File("out")), expectedFiles) << "no partial or temporary files";
}

TEST_F(Batch, ParallelRunsGiveTheSameOutputsAsOneAtATime)
{
    fs::create_directories(File("in"));
    for (unsigned i = 0; i < 5; ++i)
        host::WriteImageFile(File("in/img" + std::to_string(i) + ".png"),
                             RandomImage(plugInModeGrayScale, 8, 40 + i));
    for (const char* jobs : {"1", "3"}) {
        const Outcome run = Run({"batch", "fill_holes", File("in").string(), "--out-dir",
                                 File(std::string("out") + jobs).string(), "-j", jobs});
        ASSERT_EQ(run.exit, 0) << run.err;
    }
    for (unsigned i = 0; i < 5; ++i) {
        const std::string name = "img" + std::to_string(i) + ".png";
        EXPECT_EQ(Slurp(File("out1/" + name)), Slurp(File("out3/" + name))) << name;
        EXPECT_FALSE(Slurp(File("out1/" + name)).empty());
    }
}

TEST_F(Batch, SummaryNumberColumnHoldsEachRunsMeasurement)
{
    fs::create_directories(File("in"));
    for (unsigned i = 0; i < 3; ++i)
        host::WriteImageFile(File("in/m" + std::to_string(i) + ".pgm"),
                             RandomImage(plugInModeGrayScale, 8, 60 + i));
    const Outcome run = Run({"batch", "total_perimeter", File("in/*.pgm").string(), "--summary",
                             File("perimeters").string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    const std::vector<std::string> csv = Lines(Slurp(File("perimeters.csv")));
    ASSERT_EQ(csv.size(), 4u);
    EXPECT_EQ(csv[0].rfind("input,output,status,exit_status,signal,result,number_1,seconds,", 0),
              0u)
        << csv[0];
    for (size_t i = 1; i < csv.size(); ++i) {
        std::vector<std::string> fields;
        std::stringstream line(csv[i]);
        for (std::string field; std::getline(line, field, ',');)
            fields.push_back(field);
        ASSERT_GE(fields.size(), 7u) << csv[i];
        EXPECT_EQ(fields[2], "ok");
        // The same image run on its own reports the number in its message.
        const Outcome single =
            Run({"run", "total_perimeter", fields[0], "--json", File("single.json").string()});
        ASSERT_EQ(single.exit, 0) << single.err;
        const std::string message = JsonFile(File("single.json"))["messages"][0];
        EXPECT_EQ(std::stod(fields[6]), std::stod(message)) << message;
    }
    EXPECT_EQ(JsonFile(File("perimeters.json"))["images"].size(), 3u);
}

// --compression, --quality, --page and --max-pixels reach every image's
// run: the results are those of `run` with the same options.
TEST_F(Batch, ImageOptionsReachEveryRun)
{
    fs::create_directories(File("in"));
    for (unsigned i = 0; i < 2; ++i)
        host::WriteImageFile(File("in/p" + std::to_string(i) + ".png"),
                             RandomImage(plugInModeRGBColor, 8, 70 + i));
    const Outcome batch = Run({"batch", "rgb_to_ihs", File("in").string(), "--out-dir",
                               File("stored").string(), "--compression", "0"});
    ASSERT_EQ(batch.exit, 0) << batch.err;
    for (unsigned i = 0; i < 2; ++i) {
        const std::string name = "p" + std::to_string(i) + ".png";
        const Outcome single = Run({"run", "rgb_to_ihs", File("in/" + name).string(), "-o",
                                    File("single.png").string(), "--compression", "0"});
        ASSERT_EQ(single.exit, 0) << single.err;
        EXPECT_EQ(Slurp(File("stored/" + name)), Slurp(File("single.png"))) << name;
    }

    const Outcome refused = Run({"batch", "rgb_to_ihs", File("in").string(), "--summary",
                                 File("small").string(), "--max-pixels", "10"});
    EXPECT_EQ(refused.exit, 2);  // images that could not be read
    const auto rows = Rows(File("small.json"));
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [name, row] : rows)
        EXPECT_EQ(row["status"], "error") << name;

    const Outcome format = Run({"batch", "rgb_to_ihs", File("in").string(), "--format", "tif"});
    EXPECT_EQ(format.exit, 1);
    EXPECT_NE(format.err.find("--format"), std::string::npos) << format.err;
}

TEST_F(Batch, CtrlCStopsEveryChildAndLeavesNoPartialOutputs)
{
    fs::create_directories(File("in"));
    for (unsigned i = 0; i < 4; ++i)
        host::WriteImageFile(File("in/w" + std::to_string(i) + ".png"),
                             RandomImage(plugInModeRGBColor, 8, 80 + i));
    const pid_t pid = Start({"batch", TEST_PLUGIN_DIR "/fh_test_waits.so", File("in").string(),
                             "--out-dir", File("out").string(), "-j", "2"});
    // The two first children are waiting for cancel once their reports'
    // folder exists and a moment has passed.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    kill(pid, SIGINT);
    const auto start = std::chrono::steady_clock::now();
    const Outcome run = Wait(pid);
    EXPECT_EQ(run.exit, 130) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(Listing(File("out")), (std::set<std::string>{"summary.csv", "summary.json"}));
    for (const auto& [name, row] : Rows(File("out/summary.json")))
        EXPECT_EQ(row["status"], "cancelled") << name;
}

TEST_F(Batch, SkipExistingLeavesFinishedImagesAlone)
{
    fs::create_directories(File("in"));
    for (unsigned i = 0; i < 2; ++i)
        host::WriteImageFile(File("in/s" + std::to_string(i) + ".png"),
                             RandomImage(plugInModeGrayScale, 8, 90 + i));
    ASSERT_EQ(
        Run({"batch", "fill_holes", File("in").string(), "--out-dir", File("out").string()}).exit,
        0);
    std::ofstream(File("out/s0.png"), std::ios::trunc) << "already here";
    fs::remove(File("out/s1.png"));
    const Outcome again = Run({"batch", "fill_holes", File("in").string(), "--out-dir",
                               File("out").string(), "--skip-existing"});
    EXPECT_EQ(again.exit, 0) << again.err;
    EXPECT_EQ(Slurp(File("out/s0.png")), "already here");
    EXPECT_TRUE(fs::exists(File("out/s1.png")));
    const auto rows = Rows(File("out/summary.json"));
    EXPECT_EQ(rows.at("s0.png")["status"], "skipped");
    EXPECT_EQ(rows.at("s1.png")["status"], "ok");
}

TEST_F(Batch, RefusesBeforeRunningAnything)
{
    fs::create_directories(File("a"));
    fs::create_directories(File("b"));
    host::WriteImageFile(File("a/same.png"), RandomImage(plugInModeGrayScale, 8, 1));
    host::WriteImageFile(File("b/same.png"), RandomImage(plugInModeGrayScale, 8, 2));
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"batch", "fill_holes", File("a").string(), File("b").string(), "--out-dir",
          File("out").string()},
         "filterhost: '" + File("a/same.png").string() + "' and '" + File("b/same.png").string() +
             "' would both be written to '" + File("out/same.png").string() + "'\n"},
        {{"batch", "fill_holes", File("a").string(), "--out-dir", File("a").string()},
         "filterhost: '" + File("a/same.png").string() +
             "' would be overwritten by its own output; choose another --out-dir\n"},
        {{"batch", "rank_sharpen", File("a").string(), "--param", "amount=-5"},
         "filterhost: rank_sharpen: amount=-5 is out of range (0 to 1000 (percent))\n"},
        {{"batch", "fill_holes", File("empty*").string()},
         "filterhost: no image files found in the inputs given\n"},
    };
    for (const auto& c : cases) {
        const Outcome run = Run(c.args);
        EXPECT_EQ(run.exit, 1);
        EXPECT_EQ(run.err, c.err);
        EXPECT_FALSE(fs::exists(File("out/summary.csv")));
    }
}

}  // namespace
