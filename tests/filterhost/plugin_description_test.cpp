// Plug-in descriptions: the installed files match the modules, and
// parameter values are checked, written and read back as the filter reads
// them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "plugin_description.h"

namespace fs = std::filesystem;

namespace {

const host::PluginDescription& RankSharpen()
{
    static const host::PluginDescription description =
        *host::LoadPluginDescription(PLUGIN_DIR "/rank_sharpen.so");
    return description;
}

std::string Slurp(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class TempFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = fs::temp_directory_path() / ("plugin_description_" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST(PluginDescription, EveryBuiltModuleHasOneMatchingItsAboutText)
{
    int modules = 0;
    for (const auto& entry : fs::directory_iterator(PLUGIN_DIR)) {
        if (entry.path().extension() != ".so")
            continue;
        ++modules;
        SCOPED_TRACE(entry.path().string());
        const auto description = host::LoadPluginDescription(entry.path());
        ASSERT_TRUE(description.has_value());
        EXPECT_EQ(description->name, entry.path().stem().string());
        host::Module module(entry.path());
        EXPECT_EQ(description->about, host::AboutText(module));
        EXPECT_FALSE(description->menuName.empty());
        EXPECT_FALSE(description->category.empty());
        EXPECT_FALSE(description->imageModes.empty());
    }
    EXPECT_EQ(modules, 8);
    EXPECT_FALSE(host::LoadPluginDescription(TEST_PLUGIN_DIR "/fh_test_waits.so").has_value());
}

TEST(PluginDescription, RankSharpenParameterFile)
{
    const auto& file = RankSharpen().parameterFile;
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->fileName, "ranksharp.txt");
    EXPECT_EQ(file->folder, "desktop");
    std::vector<std::string> names;
    for (const auto& p : file->parameters)
        names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"radius", "mode", "amount", "clip"}));
    EXPECT_TRUE(file->parameters[1].integer);
    EXPECT_EQ(file->parameters[2].unit, "percent");
}

TEST(PluginDescription, ModesOffered)
{
    const auto rgbToIhs = *host::LoadPluginDescription(PLUGIN_DIR "/rgb_to_ihs.so");
    EXPECT_TRUE(host::OffersMode(rgbToIhs, host::Image::Make(1, 1, plugInModeRGB48, 16)));
    EXPECT_FALSE(host::OffersMode(rgbToIhs, host::Image::Make(1, 1, plugInModeLab48, 16)));
    EXPECT_EQ(host::OfferedModesText(rgbToIhs), "greyscale 8-bit, RGB 8-bit, greyscale 16-bit, "
                                                "RGB 16-bit, RGB 32-bit float, greyscale 32-bit "
                                                "float");
    // Grey float is mode 1 with depth 32 in the host, 17 in descriptions.
    EXPECT_EQ(host::InterfaceMode(host::Image::Make(1, 1, plugInModeGrayScale, 32)), 17);
    EXPECT_TRUE(host::OffersMode(RankSharpen(), host::Image::Make(1, 1, plugInModeGrayScale, 32)));
}

TEST(PluginDescription, ValuesAreCheckedBeforeAnythingIsWritten)
{
    const struct {
        std::map<std::string, std::string> values;
        std::string error;
    } refused[] = {
        {{{"radius", "4"}, {"sharpness", "2"}},
         "rank_sharpen has no parameter 'sharpness' (it has radius, mode, amount, clip)"},
        {{{"radius", "4.5"}}, "rank_sharpen: radius=4.5 is out of range (0 to 4 (pixels))"},
        {{{"radius", "-1"}}, "rank_sharpen: radius=-1 is out of range (0 to 4 (pixels))"},
        {{{"mode", "2.5"}}, "rank_sharpen: mode='2.5' is not a whole number"},
        {{{"amount", "lots"}}, "rank_sharpen: amount='lots' is not a number"},
        {{{"amount", "150%"}}, "rank_sharpen: amount='150%' is not a number"},
        {{{"amount", ""}}, "rank_sharpen: amount='' is not a number"},
        {{{"clip", "nan"}}, "rank_sharpen: clip='nan' is not a number"},
        {{{"clip", "0.5"}}, "rank_sharpen: clip=0.5 is out of range (-1 to 0.49 (fraction))"},
    };
    for (const auto& c : refused) {
        try {
            host::ResolveParameters(RankSharpen(), c.values);
            ADD_FAILURE() << "accepted: " << c.error;
        } catch (const host::DescriptionError& e) {
            EXPECT_EQ(std::string(e.what()), c.error);
        }
    }
    const auto fillHoles = *host::LoadPluginDescription(PLUGIN_DIR "/fill_holes.so");
    EXPECT_THROW(host::ResolveParameters(fillHoles, {{"radius", "1"}}), host::DescriptionError);
}

TEST_F(TempFolder, WrittenFileHoldsDefaultsForWhatIsNotGiven)
{
    const auto values =
        host::WriteParameterFile(RankSharpen(), {{"mode", "+1"}, {"amount", "2.5e2"}}, dir_);
    EXPECT_EQ(Slurp(dir_ / "ranksharp.txt"), "2.9\r\n1\r\n250\r\n0.005\r\n");
    ASSERT_EQ(values.size(), 4u);
    EXPECT_FALSE(values[0].given);
    EXPECT_TRUE(values[1].given);
    EXPECT_EQ(values[2].value, 250.0);
    EXPECT_EQ(values[3].value, 0.005);
}

TEST(PluginDescription, WrittenNumbersReadBackAsTheSameFloat)
{
    // The filter reads each number with atof and narrows it to float.
    std::srand(7);
    for (int i = 0; i < 20000; ++i) {
        const double wanted = (std::rand() / static_cast<double>(RAND_MAX)) * 4.0;
        char text[32];
        std::snprintf(text, sizeof text, "%.*g", 1 + i % 17, wanted);
        const auto values = host::ResolveParameters(RankSharpen(), {{"radius", text}});
        ASSERT_EQ(static_cast<float>(std::atof(values[0].text.c_str())),
                  static_cast<float>(std::atof(text)))
            << text << " written as " << values[0].text;
    }
}

TEST_F(TempFolder, ParameterFileReadsTheSameWithAnyLineEnd)
{
    const std::map<std::string, std::string> expected = {
        {"radius", "1"}, {"mode", "1"}, {"amount", "300"}, {"clip", "0.01"}};
    for (const std::string text :
         {"1\n1\n300\n0.01\n", "1\r1\r300\r0.01\r", "1\r\n1\r\n300\r\n0.01\r\n", "1\t1,300 0.01"}) {
        std::ofstream(dir_ / "p.txt", std::ios::binary) << text;
        EXPECT_EQ(host::ReadParameterFile(RankSharpen(), dir_ / "p.txt"), expected);
    }
    // An empty field reads as 0, as in the filter.
    std::ofstream(dir_ / "p.txt", std::ios::binary) << "3\n\n100\n0.01\n";
    EXPECT_EQ(host::ReadParameterFile(RankSharpen(), dir_ / "p.txt").at("mode"), "0");

    std::ofstream(dir_ / "p.txt", std::ios::binary) << "3\r\n2\r\n";
    try {
        host::ReadParameterFile(RankSharpen(), dir_ / "p.txt");
        ADD_FAILURE() << "a short file was accepted";
    } catch (const host::DescriptionError& e) {
        EXPECT_EQ(std::string(e.what()), "'" + (dir_ / "p.txt").string() +
                                             "' holds 2 number(s); rank_sharpen reads 4: "
                                             "radius, mode, amount, clip");
    }
}

TEST(PluginDescription, MalformedDescriptionsAreNamed)
{
    EXPECT_THROW(host::ParsePluginDescription("{", "x.json"), host::DescriptionError);
    EXPECT_THROW(host::ParsePluginDescription(R"({"name": "x"})", "x.json"),
                 host::DescriptionError);
    EXPECT_THROW(host::ParsePluginDescription(
                     R"({"name": "x", "image_modes": [1], "parameter_file": {"file": "a/b",
                         "parameters": [{"name": "p", "type": "float", "default": 1,
                         "minimum": 0, "maximum": 2}]}})",
                     "x.json"),
                 host::DescriptionError);
    EXPECT_THROW(host::ParsePluginDescription(
                     R"({"name": "x", "image_modes": [1], "parameter_file": {"file": "p.txt",
                         "parameters": [{"name": "p", "type": "float", "default": 5,
                         "minimum": 0, "maximum": 2}]}})",
                     "x.json"),
                 host::DescriptionError);
}

}  // namespace
