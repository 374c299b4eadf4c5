// The reference image and temporary images: opening on first use, replacing,
// the null-imageID messages, and the release of temporary images at the end
// of a run.
#include "test_support.h"

namespace {

const fs::path kRefName = "Reference Image.xzy";

std::vector<float> Line(int32_t width, float seed)
{
    std::vector<float> line(static_cast<size_t>(width) * 3);
    for (size_t i = 0; i < line.size(); i++)
        line[i] = seed + static_cast<float>(i) * 0.25f;
    return line;
}

// The end of one run and the start of the next, as the entry code does them.
void NextRun()
{
    _CloseRefImage();
    _TossOpenImageFiles();
    gRefImage = nullptr;
    gOpenImageFileList = nullptr;
}

using RefImageTest = NamedImageTest;
using TempImageTest = NamedImageTest;

TEST_F(RefImageTest, WithoutAStoredImageEveryUseFailsAndRetries)
{
    int32_t w = -1, h = -1;
    EXPECT_EQ(GetRefDimensions(&w, &h), fnfErr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    std::vector<float> line(3, 7.0f);
    ReadRefImageLine(0, line.data());
    WriteRefImageLine(0, line.data());
    EXPECT_EQ(messages_.Messages(),
              (std::vector<std::string>{"There is no reference image (ReadRefImageLine)",
                                        "There is no reference image (WriteRefImageLine)"}));
    EXPECT_EQ(line, std::vector<float>(3, 7.0f));
    EXPECT_EQ(gRefImage, nullptr);
    EXPECT_TRUE(Files().empty());

    // A file appearing later in the run is found by the next call.
    WriteFileBytes(dir_ / kRefName, NativeHeader(1, 1, 12));
    fs::resize_file(dir_ / kRefName, 6 + 12);
    EXPECT_EQ(GetRefDimensions(&w, &h), noErr);
    EXPECT_EQ(w, 1);
    EXPECT_EQ(h, 1);
}

TEST_F(RefImageTest, StoredInOneRunReadBackInTheNext)
{
    ASSERT_EQ(InitializeRefImage(4, 3), noErr);
    std::vector<float> zeros(12, 0.0f), got(12);
    for (int32_t y = 0; y < 3; y++) {
        ASSERT_EQ(ReadRefImageLine(y, got.data()), noErr);
        EXPECT_EQ(got, zeros) << "line " << y;
    }
    for (int32_t y = 0; y < 2; y++)
        ASSERT_EQ(WriteRefImageLine(y, Line(4, 10.0f * y).data()), noErr);
    ASSERT_EQ(WriteRefImageLine(2, zeros.data()), noErr);
    NextRun();

    EXPECT_EQ(std::vector<std::string>{kRefName}, Files());
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName).size(), 6u + 4 * 3 * 12);
    int32_t w = 0, h = 0;
    ASSERT_EQ(GetRefDimensions(&w, &h), noErr);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 3);
    for (int32_t y = 0; y < 2; y++) {
        ASSERT_EQ(ReadRefImageLine(y, got.data()), noErr);
        EXPECT_EQ(got, Line(4, 10.0f * y));
    }
    ASSERT_EQ(ReadRefImageLine(2, got.data()), noErr);
    EXPECT_EQ(got, zeros);
    ReadRefImageLine(3, got.data());
    EXPECT_EQ(messages_.Messages(),
              std::vector<std::string>{"Y line out of range for this image (_GetLine)"});
    NextRun();
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
}

TEST_F(RefImageTest, InitializingAgainReplacesTheImageAlsoWithASmallerOne)
{
    ASSERT_EQ(InitializeRefImage(5, 5), noErr);
    ASSERT_EQ(WriteRefImageLine(0, Line(5, 1.0f).data()), noErr);
    NamedImage* first = gRefImage;
    ASSERT_EQ(InitializeRefImage(2, 1), noErr);
    EXPECT_NE(gRefImage, nullptr);
    EXPECT_EQ(gRefImage->width, 2);
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_ + 1) << "the first image's file is closed";
    (void)first;
    std::vector<float> got(6, 9.0f);
    ASSERT_EQ(ReadRefImageLine(0, got.data()), noErr);
    EXPECT_EQ(got, std::vector<float>(6, 0.0f));
    EXPECT_FALSE(fs::exists(dir_ / kRefName)) << "nothing is stored before every line is";
    ASSERT_EQ(WriteRefImageLine(0, got.data()), noErr);
    std::vector<uint8_t> want = NativeHeader(2, 1, 12);
    want.resize(6 + 24, 0);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), want);
}

TEST_F(RefImageTest, ShortReferenceFileGivesEndOfFileAndNoImage)
{
    WriteFileBytes(dir_ / kRefName, {1, 0, 1});
    int32_t w = -1, h = -1;
    EXPECT_EQ(GetRefDimensions(&w, &h), eofErr);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(gRefImage, nullptr);
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_) << "the failed open leaves no file open";
    EXPECT_TRUE(fs::exists(dir_ / kRefName));
}

// A reference file whose header does not describe a 12-byte-a-pixel image
// with every pixel present is refused: nothing reads past a line buffer or
// beyond the file's data, and the file stays for a new store to replace.
TEST_F(RefImageTest, DamagedReferenceFileIsRefusedAndKept)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> header;
        size_t pixelBytes;
        OSErr expected;
    };
    const Case cases[] = {
        {"intact header, one byte of pixels", NativeHeader(1, 1, 12), 1, eofErr},
        {"short body", NativeHeader(4, 3, 12), 4 * 3 * 12 - 1, eofErr},
        {"bytes per pixel 0", NativeHeader(4, 3, 0), 4 * 3 * 12, paramErr},
        {"bytes per pixel 1", NativeHeader(4, 3, 1), 4 * 3, paramErr},
        {"bytes per pixel above 12", NativeHeader(4, 3, 4000), 4 * 3 * 4000, paramErr},
        {"longer than its header says", NativeHeader(4, 3, 12), 4 * 3 * 12 + 1, paramErr},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.header;
        bytes.resize(bytes.size() + c.pixelBytes, 0x7F);
        WriteFileBytes(dir_ / kRefName, bytes);
        messages_.Clear();
        int32_t w = -1, h = -1;
        EXPECT_EQ(GetRefDimensions(&w, &h), c.expected) << c.what;
        EXPECT_EQ(w, 0) << c.what;
        EXPECT_EQ(h, 0) << c.what;
        std::vector<float> line(4 * 3 + 1, 5.0f);
        EXPECT_NE(ReadRefImageLine(0, line.data()), noErr) << c.what;
        EXPECT_EQ(line, std::vector<float>(4 * 3 + 1, 5.0f)) << c.what;
        EXPECT_EQ(messages_.Messages(),
                  (std::vector<std::string>{
                      "The reference image is damaged.  Store it again. (_OpenRefImage)",
                      "The reference image is damaged.  Store it again. (_OpenRefImage)",
                      "There is no reference image (ReadRefImageLine)"}))
            << c.what;
        EXPECT_EQ(gRefImage, nullptr) << c.what;
        EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_) << c.what;
        EXPECT_EQ(ReadFileBytes(dir_ / kRefName), bytes) << c.what;
    }
}

TEST_F(RefImageTest, NewReferenceReplacesTheStoredOneOnlyWhenEveryLineIsWritten)
{
    ASSERT_EQ(InitializeRefImage(2, 2), noErr);
    ASSERT_EQ(WriteRefImageLine(0, Line(2, 1.0f).data()), noErr);
    ASSERT_EQ(WriteRefImageLine(1, Line(2, 2.0f).data()), noErr);
    NextRun();
    const std::vector<uint8_t> stored = ReadFileBytes(dir_ / kRefName);

    // A new image with a line missing at the end of the run is dropped.
    ASSERT_EQ(InitializeRefImage(3, 2), noErr);
    ASSERT_EQ(WriteRefImageLine(1, Line(3, 3.0f).data()), noErr);
    ASSERT_EQ(WriteRefImageLine(1, Line(3, 4.0f).data()), noErr);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), stored);
    NextRun();
    EXPECT_EQ(Files(), std::vector<std::string>{kRefName.string()});
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), stored);

    // Out-of-order lines count once each; the last one missing completes it.
    ASSERT_EQ(InitializeRefImage(3, 2), noErr);
    ASSERT_EQ(WriteRefImageLine(1, Line(3, 4.0f).data()), noErr);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), stored);
    ASSERT_EQ(WriteRefImageLine(0, Line(3, 5.0f).data()), noErr);
    int32_t w = 0, h = 0;
    ASSERT_EQ(GetRefDimensions(&w, &h), noErr);
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName).size(), 6u + 3 * 2 * 12);
    NextRun();
    EXPECT_EQ(Files(), std::vector<std::string>{kRefName.string()});
    std::vector<float> got(9);
    ASSERT_EQ(GetRefDimensions(&w, &h), noErr);
    EXPECT_EQ(w, 3);
    ASSERT_EQ(ReadRefImageLine(0, got.data()), noErr);
    EXPECT_EQ(got, Line(3, 5.0f));

    // An image of no lines is complete at once.
    ASSERT_EQ(InitializeRefImage(7, 0), noErr);
    NextRun();
    EXPECT_EQ(ReadFileBytes(dir_ / kRefName), NativeHeader(7, 0, 12));
}

TEST_F(TempImageTest, NullImageIDIsReportedByEachOperation)
{
    std::vector<uint8_t> buffer(4, 0x11);
    ReadTempImageLine(nullptr, 0, buffer.data());
    WriteTempImageLine(nullptr, 0, buffer.data());
    ReadTempImageColumn(nullptr, 0, buffer.data());
    WriteTempImageColumn(nullptr, 0, buffer.data());
    EXPECT_EQ(messages_.Messages(),
              (std::vector<std::string>{"imageID is 0.  (ReadTempImageLine)",
                                        "imageID is 0.  (WriteTempImageLine)",
                                        "imageID is 0.  (ReadTempImageColumn)",
                                        "imageID is 0.  (WriteTempImageColumn)"}));
    EXPECT_EQ(buffer, std::vector<uint8_t>(4, 0x11));
}

TEST_F(TempImageTest, TemporaryImagesLeaveNoFileOrMemoryBehindAfterTheRun)
{
    NamedImage* inMemory = nullptr;
    ASSERT_EQ(MakeTemporaryImage(8, 8, 4, "Temp A", &inMemory), noErr);
    EXPECT_NE(inMemory->data, nullptr);
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_ + 8 * 8 * 4);
    NamedImage* onDisk = nullptr;
    {
        host::ScopedMemoryBudget none(0);
        ASSERT_EQ(MakeTemporaryImage(3, 2, 8, "Temp B", &onDisk), noErr);
    }
    EXPECT_EQ(onDisk->data, nullptr);
    EXPECT_NE(onDisk->fileRef, 0);
    EXPECT_TRUE(Files().empty()) << "a working image's file leaves the folder once open";

    // Lines and columns go through the wrappers unchanged.
    uint32_t column[8] = {1, 2, 3, 4, 5, 6, 7, 8}, line[8] = {};
    ASSERT_EQ(WriteTempImageColumn(inMemory, 5, column), noErr);
    ASSERT_EQ(ReadTempImageLine(inMemory, 6, line), noErr);
    EXPECT_EQ(line[5], 7u);
    uint64_t fileColumn[2] = {0xAAull, 0xBBull}, fileLine[3] = {};
    ASSERT_EQ(WriteTempImageColumn(onDisk, 2, fileColumn), noErr);
    ASSERT_EQ(ReadTempImageLine(onDisk, 1, fileLine), noErr);
    EXPECT_EQ(fileLine[2], 0xBBull);
    ASSERT_EQ(WriteTempImageLine(onDisk, 0, fileLine), noErr);
    ASSERT_EQ(ReadTempImageColumn(onDisk, 2, fileColumn), noErr);
    EXPECT_EQ(fileColumn[0], 0xBBull);

    NextRun();
    EXPECT_EQ(gOpenImageFileList, nullptr);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_);
    EXPECT_TRUE(messages_.Messages().empty());
}

TEST_F(TempImageTest, ReleasedImageIsTakenOffTheListBeforeShutDown)
{
    NamedImage* first = nullptr;
    NamedImage* second = nullptr;
    ASSERT_EQ(MakeTemporaryImage(2, 2, 4, "one", &first), noErr);
    ASSERT_EQ(MakeTemporaryImage(2, 2, 4, "two", &second), noErr);
    _TossNamedImage(first);
    ASSERT_NE(gOpenImageFileList, nullptr);
    EXPECT_EQ(gOpenImageFileList->image, second);
    EXPECT_EQ(gOpenImageFileList->next, nullptr);
    _TossOpenImageFiles();  // must not release the first image again
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_);
}

TEST_F(TempImageTest, FailedCreationHandsOutNullAndRegistersNothing)
{
    NamedImage* image = reinterpret_cast<NamedImage*>(0x1);
    EXPECT_EQ(MakeTemporaryImage(2, 2, 4, std::string(300, 'x').c_str(), &image), bdNamErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(gOpenImageFileList, nullptr);
    ReadTempImageLine(image, 0, nullptr);
    EXPECT_EQ(messages_.Messages(), std::vector<std::string>{"imageID is 0.  (ReadTempImageLine)"});
}

TEST_F(TempImageTest, TemporaryImageUnderTheReferenceNameDeletesTheStoredReference)
{
    ASSERT_EQ(InitializeRefImage(1, 1), noErr);
    ASSERT_EQ(WriteRefImageLine(0, Line(1, 0.0f).data()), noErr);
    NextRun();
    ASSERT_TRUE(fs::exists(dir_ / kRefName));
    NamedImage* image = nullptr;
    ASSERT_EQ(MakeTemporaryImage(1, 1, 4, kReferenceImageName, &image), noErr);
    EXPECT_FALSE(fs::exists(dir_ / kRefName));
}

}  // namespace
