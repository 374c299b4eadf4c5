// Image files through a whole filterhost run: pipes in and out, symbolic
// links and FIFOs as the output, alpha and metadata carried through a
// filter that changes every colour.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "image_file_helpers.h"

namespace {

const std::string kFilterhost = BINARY_DIR "/bin/filterhost";

class FilterhostFiles : public ImageFiles {
protected:
    // Runs a shell command line with filterhost's folders inside the test's
    // folder; the exit status.
    int Shell(const std::string& line)
    {
        const std::string command = "cd '" + dir_.string() + "' && FILTERHOST_PREFS_DIR=prefs " +
                                    "FILTERHOST_PLUGIN_PATH=" PLUGIN_DIR " " + line +
                                    " 2>stderr.txt";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Stderr() const { return Bytes(File("stderr.txt")); }
};

// The image rgb_to_ihs makes of `image`, written and read by the library.
Image Filtered(const fs::path& folder, const Image& image)
{
    host::WriteImageFile(folder / "plain.ppm", image);
    const std::string command = "FILTERHOST_PREFS_DIR='" + folder.string() + "/prefs' " +
                                kFilterhost + " run rgb_to_ihs '" + folder.string() +
                                "/plain.ppm' -o '" + folder.string() + "/plain-out.ppm' -q";
    EXPECT_EQ(std::system(command.c_str()), 0);
    return host::ReadImageFile(folder / "plain-out.ppm");
}

TEST_F(FilterhostFiles, StandardInputAndOutputWorkThroughRealPipes)
{
    const Image image = RandomImage(plugInModeRGBColor, 8, 31, 17, 21);
    host::WriteImageFile(File("in.png"), image);
    const Image expected = Filtered(dir_, image);

    ASSERT_EQ(Shell("cat in.png | " + kFilterhost +
                    " run rgb_to_ihs - -o - --format tif -q | cat > out.tif"),
              0)
        << Stderr();
    EXPECT_EQ(host::ReadImageFile(File("out.tif")), expected);
    ASSERT_EQ(Shell("cat in.png | " + kFilterhost + " run rgb_to_ihs /dev/stdin -o out.png -q"), 0)
        << Stderr();
    EXPECT_EQ(host::ReadImageFile(File("out.png")), expected);

    // Standard output needs a format, and is refused before the run.
    EXPECT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o - -q > none.bin"), 1);
    EXPECT_EQ(Stderr(), "filterhost: cannot write standard output: say which format to write "
                        "(--format)\n");
    EXPECT_EQ(Bytes(File("none.bin")), "");
    // A damaged image on standard input: one line, nothing on standard output.
    EXPECT_EQ(Shell("head -c 100 in.png | " + kFilterhost +
                    " run rgb_to_ihs - -o - --format png -q > none.bin"),
              1);
    EXPECT_EQ(Stderr().rfind("filterhost: cannot read standard input: damaged or truncated PNG", 0),
              0u)
        << Stderr();
    EXPECT_EQ(Bytes(File("none.bin")), "");
}

TEST_F(FilterhostFiles, LinksAreFollowedAndFifosWrittenStraightThrough)
{
    const Image image = RandomImage(plugInModeRGBColor, 8, 12, 9, 22);
    host::WriteImageFile(File("in.png"), image);
    fs::create_directories(File("elsewhere"));
    Put(File("elsewhere/target.png"), "old");
    fs::create_symlink("elsewhere/target.png", File("link.png"));
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o link.png -q"), 0) << Stderr();
    EXPECT_TRUE(fs::is_symlink(File("link.png")));
    EXPECT_EQ(host::ReadImageFile(File("elsewhere/target.png")).width, 12);
    EXPECT_EQ(fs::directory_iterator(File("elsewhere"))->path().filename(), "target.png");

    // A link to a file not there yet makes the file, keeping the link.
    fs::create_symlink("elsewhere/new.tif", File("dangling.tif"));
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o dangling.tif -q"), 0) << Stderr();
    EXPECT_TRUE(fs::is_symlink(File("dangling.tif")));
    EXPECT_EQ(host::ReadImageFile(File("elsewhere/new.tif")).height, 9);

    ASSERT_EQ(::mkfifo(File("fifo.png").c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = Bytes(File("fifo.png")); });
    const int status = Shell(kFilterhost + " run rgb_to_ihs in.png -o fifo.png -q");
    reader.join();
    EXPECT_EQ(status, 0) << Stderr();
    EXPECT_TRUE(fs::is_fifo(File("fifo.png")));
    const auto image2 = host::ReadImageMemory(
        {reinterpret_cast<const uint8_t*>(received.data()), received.size()}, "fifo");
    EXPECT_EQ(image2.image.width, 12);
}

TEST_F(FilterhostFiles, AlphaAndMetadataComeThroughAFilterThatChangesTheColours)
{
    host::ImageFile file;
    file.image = RandomImage(plugInModeRGBColor, 8, 23, 11, 23);
    file.alpha = RandomImage(plugInModeGrayScale, 8, 23, 11, 24);
    file.metadata.icc = host::ReadImageFile(SOURCE_DIR "/examples/chelsea.png", {}).metadata.icc;
    file.metadata.description = "plate 4";
    file.metadata.resolution = host::Resolution{600, 600, host::Resolution::Unit::kInch};
    host::WriteImageFile(File("in.tif"), file, {});
    const Image expected = Filtered(dir_, file.image);
    ASSERT_NE(expected, file.image);

    for (const char* out : {"out.png", "out.tif"}) {
        ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.tif -o " + out + " -q"), 0) << Stderr();
        const auto back = host::ReadImageFile(File(out), {});
        EXPECT_EQ(back.image, expected) << out;
        ASSERT_TRUE(back.alpha) << out;
        EXPECT_EQ(*back.alpha, *file.alpha) << out;
        EXPECT_EQ(back.metadata.icc, file.metadata.icc) << out;
        EXPECT_EQ(back.metadata.description, "plate 4") << out;
        EXPECT_TRUE(back.metadata.resolution) << out;
    }
}

TEST_F(FilterhostFiles, ImageOptionsReachTheReaderAndTheWriters)
{
    const Image image = RandomImage(plugInModeRGBColor, 8, 64, 48, 25);
    host::WriteImageFile(File("in.png"), image);
    auto size = [&](const char* name) { return Bytes(File(name)).size(); };

    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o stored.png --compression 0 -q"), 0);
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o small.png --compression small -q"), 0);
    EXPECT_GT(size("stored.png"), size("small.png"));
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o plain.tif --compression none -q"), 0);
    EXPECT_GT(size("plain.tif"), 64u * 48 * 3);
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o out.img --format jpg --quality 95 -q"),
              0);
    ASSERT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o low.jpg --quality 10 -q"), 0);
    EXPECT_GT(size("out.img"), size("low.jpg"));
    EXPECT_EQ(host::ReadImageFile(File("out.img")).width, 64);

    EXPECT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o out.png --max-pixels 3071 -q"), 1);
    EXPECT_NE(Stderr().find("64 x 48 is 3072 pixels; the limit is 3071"), std::string::npos)
        << Stderr();
    EXPECT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o out.png --page 2 -q"), 1);
    EXPECT_NE(Stderr().find("there is no page 2 (a PNG holds one image)"), std::string::npos)
        << Stderr();
    EXPECT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o out.tif --compression lzma -q"), 1);
    EXPECT_NE(Stderr().find("TIFF compression 'lzma' is not known"), std::string::npos) << Stderr();
    EXPECT_EQ(Shell(kFilterhost + " run rgb_to_ihs in.png -o out.png --format gif -q"), 1);
    EXPECT_EQ(Stderr(), "filterhost: unknown --format 'gif' (use png, tif, tiff, jpg, jpeg, pgm, "
                        "ppm, pnm or pbm)\n");
}

}  // namespace
