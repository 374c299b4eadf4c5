// Named images: both storages behave alike for lines and columns, the file
// format on disk, opening files with any header, and the failure paths.
#include <fcntl.h>
#include <sys/resource.h>

#include <random>

#include "test_support.h"

// The test executable links the framework directly and supplies the body.
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}
extern "C" const char gAboutText[] = "named image tests";

namespace {

enum class Storage { kMemory, kForcedFile, kKeepOnDisk };

class NamedImageStorageTest : public NamedImageTest, public ::testing::WithParamInterface<Storage> {
protected:
    NamedImage* Make(const char* name, uint16_t width, uint16_t height, uint16_t bpp)
    {
        // A zero budget refuses temporary memory, so the image goes to a file.
        std::unique_ptr<host::ScopedMemoryBudget> budget;
        if (GetParam() == Storage::kForcedFile)
            budget = std::make_unique<host::ScopedMemoryBudget>(0);
        NamedImage* image = nullptr;
        EXPECT_EQ(
            _MakeNamedImage(name, GetParam() == Storage::kKeepOnDisk, width, height, bpp, &image),
            noErr);
        return image;
    }
};

TEST_P(NamedImageStorageTest, LinesAndColumnsAgreeWithAPlainPixelArray)
{
    const uint16_t w = 7, h = 5, bpp = 3;
    NamedImage* image = Make("work", w, h, bpp);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->byteCount, uint64_t{w} * h * bpp);
    EXPECT_EQ(image->data == nullptr, GetParam() != Storage::kMemory);
    EXPECT_EQ(fs::exists(dir_ / "work"), GetParam() != Storage::kMemory);

    std::vector<uint8_t> expected(size_t{w} * h * bpp, 0);
    std::vector<uint8_t> line(size_t{w} * bpp), column(size_t{h} * bpp);
    for (int32_t y = 0; y < h; y++) {
        ASSERT_EQ(_GetLine(image, y, line.data()), noErr);
        EXPECT_EQ(line, std::vector<uint8_t>(line.size(), 0)) << "new image not zero at line " << y;
    }

    std::mt19937 random(42);
    for (int round = 0; round < 40; round++) {
        if (random() % 2) {
            int32_t y = static_cast<int32_t>(random() % h);
            for (auto& b : line)
                b = static_cast<uint8_t>(random());
            ASSERT_EQ(_PutLine(image, y, line.data()), noErr);
            std::copy(line.begin(), line.end(), expected.begin() + y * w * bpp);
        } else {
            int32_t x = static_cast<int32_t>(random() % w);
            for (auto& b : column)
                b = static_cast<uint8_t>(random());
            ASSERT_EQ(_PutColumn(image, x, column.data()), noErr);
            for (int32_t y = 0; y < h; y++)
                std::copy_n(column.begin() + y * bpp, bpp, expected.begin() + (y * w + x) * bpp);
        }
    }
    for (int32_t y = 0; y < h; y++) {
        ASSERT_EQ(_GetLine(image, y, line.data()), noErr);
        EXPECT_TRUE(std::equal(line.begin(), line.end(), expected.begin() + y * w * bpp))
            << "line " << y;
    }
    for (int32_t x = 0; x < w; x++) {
        ASSERT_EQ(_GetColumn(image, x, column.data()), noErr);
        for (int32_t y = 0; y < h; y++)
            EXPECT_TRUE(std::equal(column.begin() + y * bpp, column.begin() + (y + 1) * bpp,
                                   expected.begin() + (y * w + x) * bpp))
                << "pixel " << x << "," << y;
    }
    if (GetParam() != Storage::kMemory) {
        std::vector<uint8_t> file = NativeHeader(w, h, bpp);
        file.insert(file.end(), expected.begin(), expected.end());
        EXPECT_EQ(ReadFileBytes(dir_ / "work"), file);
    }
    EXPECT_TRUE(messages_.Messages().empty());
    _TossNamedImage(image);
    EXPECT_TRUE(Files().empty());
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_);
}

TEST_P(NamedImageStorageTest, OutOfRangeLinesAndColumnsShowTheMessageAndMoveNothing)
{
    NamedImage* image = Make("edges", 4, 3, 2);
    ASSERT_NE(image, nullptr);
    std::vector<uint8_t> buffer(8, 0xAB);
    struct Case {
        bool column;
        int32_t index;
        bool valid;
    };
    const Case cases[] = {{false, -1, false}, {false, 3, false}, {false, 2, true},
                          {true, -1, false},  {true, 4, false},  {true, 3, true}};
    for (const Case& c : cases) {
        messages_.Clear();
        std::fill(buffer.begin(), buffer.end(), 0xAB);
        if (c.column)
            _GetColumn(image, c.index, buffer.data());
        else
            _GetLine(image, c.index, buffer.data());
        std::vector<std::string> want;
        if (!c.valid)
            want.push_back(c.column ? "X column out of range for this image (_GetColumn)"
                                    : "Y line out of range for this image (_GetLine)");
        EXPECT_EQ(messages_.Messages(), want) << c.column << " " << c.index;
        // Valid reads bring zeros (6 bytes for a column, 8 for a line).
        size_t moved = c.valid ? (c.column ? 6 : 8) : 0;
        for (size_t i = 0; i < buffer.size(); i++)
            EXPECT_EQ(buffer[i], i < moved ? 0 : 0xAB)
                << c.column << " " << c.index << " byte " << i;
    }
    // The writes share the reads' texts.
    messages_.Clear();
    _PutLine(image, 3, buffer.data());
    _PutColumn(image, 4, buffer.data());
    EXPECT_EQ(messages_.Messages(),
              (std::vector<std::string>{"Y line out of range for this image (_GetLine)",
                                        "X column out of range for this image (_GetColumn)"}));
    _TossNamedImage(image);
}

TEST_P(NamedImageStorageTest, EmptyImagesCanBeMade)
{
    // Zero height: every line is out of range, a column moves nothing.
    NamedImage* flat = Make("flat", 5, 0, 4);
    ASSERT_NE(flat, nullptr);
    EXPECT_EQ(flat->byteCount, 0u);
    uint8_t sentinel = 0x5A;
    EXPECT_EQ(_GetColumn(flat, 0, &sentinel), noErr);
    EXPECT_EQ(sentinel, 0x5A);
    _GetLine(flat, 0, &sentinel);
    EXPECT_EQ(messages_.Messages(),
              std::vector<std::string>{"Y line out of range for this image (_GetLine)"});
    // Zero width: lines of zero bytes.
    NamedImage* thin = Make("thin", 0, 3, 4);
    ASSERT_NE(thin, nullptr);
    EXPECT_EQ(_GetLine(thin, 2, &sentinel), noErr);
    EXPECT_EQ(sentinel, 0x5A);
    // (A zero-byte block fits any memory budget, so only keepOnDisk is sure
    // to give header-only files.)
    if (GetParam() == Storage::kKeepOnDisk) {
        EXPECT_EQ(ReadFileBytes(dir_ / "flat"), NativeHeader(5, 0, 4));
        EXPECT_EQ(ReadFileBytes(dir_ / "thin"), NativeHeader(0, 3, 4));
    }
    _TossNamedImage(flat);
    _TossNamedImage(thin);
    EXPECT_TRUE(Files().empty());
}

TEST_P(NamedImageStorageTest, MakingReplacesAnExistingFileOfTheName)
{
    WriteFileBytes(dir_ / "old", std::vector<uint8_t>(100, 0xEE));
    NamedImage* image = Make("old", 2, 2, 1);
    ASSERT_NE(image, nullptr);
    if (GetParam() == Storage::kMemory) {
        EXPECT_TRUE(Files().empty()) << "the old file must be gone even for a memory image";
    } else {
        std::vector<uint8_t> want = NativeHeader(2, 2, 1);
        want.resize(10, 0);
        EXPECT_EQ(ReadFileBytes(dir_ / "old"), want);
    }
    _CloseNamedImage(image);
}

INSTANTIATE_TEST_SUITE_P(Storages, NamedImageStorageTest,
                         ::testing::Values(Storage::kMemory, Storage::kForcedFile,
                                           Storage::kKeepOnDisk),
                         [](const auto& info) {
                             switch (info.param) {
                             case Storage::kMemory:
                                 return "Memory";
                             case Storage::kForcedFile:
                                 return "ForcedFile";
                             default:
                                 return "KeepOnDisk";
                             }
                         });

TEST_F(NamedImageTest, NewFileIsHeaderThenZerosAcrossSeveralChunks)
{
    // 600,000 pixel bytes: more than one 524,288-byte zero chunk.
    NamedImage* image = nullptr;
    ASSERT_EQ(_MakeNamedImage("big", 1, 1000, 300, 2, &image), noErr);
    ASSERT_NE(image, nullptr);
    std::vector<uint8_t> bytes = ReadFileBytes(dir_ / "big");
    ASSERT_EQ(bytes.size(), 6u + 600000u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 6, NativeHeader(1000, 300, 2).begin()));
    EXPECT_EQ(std::count(bytes.begin() + 6, bytes.end(), 0), 600000);
    _CloseNamedImage(image);
    EXPECT_EQ(Files(), std::vector<std::string>{"big"}) << "closing keeps the file";
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
}

// Temporary memory hands a released large block out again: an image made in
// it must still come out all zeros, not with the last image's pixels.
TEST_F(NamedImageTest, MemoryImageMadeInAReleasedBlockIsCleared)
{
    const uint16_t width = 1024, height = 640, bpp = 8;  // 5 MiB
    NamedImage* first = nullptr;
    ASSERT_EQ(_MakeNamedImage("first", 0, width, height, bpp, &first), noErr);
    ASSERT_NE(first->data, nullptr);
    std::vector<uint8_t> line(size_t{width} * bpp, 0xA5);
    for (int32_t y = 0; y < height; y++)
        ASSERT_EQ(_PutLine(first, y, line.data()), noErr);
    void* block = first->data;
    _TossNamedImage(first);

    NamedImage* second = nullptr;
    ASSERT_EQ(_MakeNamedImage("second", 0, width, height, bpp, &second), noErr);
    EXPECT_EQ(second->data, block) << "the released block is taken again";
    for (int32_t y = 0; y < height; y++) {
        ASSERT_EQ(_GetLine(second, y, line.data()), noErr);
        ASSERT_EQ(std::count(line.begin(), line.end(), 0), static_cast<long>(line.size()))
            << "line " << y;
    }
    _TossNamedImage(second);
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_);
}

TEST_F(NamedImageTest, OpeningTakesWhateverHeaderTheFileHas)
{
    // Arbitrary header bytes are the dimensions, unchecked.
    WriteFileBytes(dir_ / "any", {0x03, 0x00, 0x02, 0x00, 0x01, 0x00, 9, 8, 7, 6, 5, 4});
    NamedImage* image = nullptr;
    ASSERT_EQ(_OpenNamedImage("any", &image), noErr);
    ASSERT_NE(image, nullptr);
    const uint16_t one = 1;
    const bool little = *reinterpret_cast<const uint8_t*>(&one) == 1;
    if (little) {
        EXPECT_EQ(image->width, 3);
        EXPECT_EQ(image->height, 2);
        EXPECT_EQ(image->bytesPerPixel, 1);
        uint8_t line[3];
        ASSERT_EQ(_GetLine(image, 1, line), noErr);
        EXPECT_EQ(std::vector<uint8_t>(line, line + 3), (std::vector<uint8_t>{6, 5, 4}));
    }
    EXPECT_EQ(image->keepOnDisk, 1);
    EXPECT_EQ(image->data, nullptr);
    EXPECT_STREQ(image->name, "any");
    _CloseNamedImage(image);

    // A header written big-endian reads back byte-swapped here.
    if (little) {
        WriteFileBytes(dir_ / "big-endian", {0x00, 0x03, 0x00, 0x02, 0x00, 0x0C});
        ASSERT_EQ(_OpenNamedImage("big-endian", &image), noErr);
        EXPECT_EQ(image->width, 0x0300);
        EXPECT_EQ(image->height, 0x0200);
        EXPECT_EQ(image->bytesPerPixel, 0x0C00);
        EXPECT_EQ(image->byteCount, uint64_t{0x300} * 0x200 * 0xC00);
        _CloseNamedImage(image);
    }
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
}

TEST_F(NamedImageTest, OpenFailuresHandOutNothingAndKeepTheFile)
{
    NamedImage* image = reinterpret_cast<NamedImage*>(0x1);
    EXPECT_EQ(_OpenNamedImage("missing", &image), fnfErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_TRUE(Files().empty()) << "opening never creates";

    // Shorter than the header: end of file, nothing left open.
    WriteFileBytes(dir_ / "short", {1, 2, 3});
    EXPECT_EQ(_OpenNamedImage("short", &image), eofErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(PlatformOpenFileCount(), baseOpenFiles_);
    EXPECT_TRUE(fs::exists(dir_ / "short"));
}

TEST_F(NamedImageTest, FileThatFailsToOpenIsNotDeleted)
{
    WriteFileBytes(dir_ / "kept", NativeHeader(1, 1, 1));
    // Exhaust the process's descriptors so the open fails for a passing reason.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::vector<int> held;
    struct rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        held.push_back(fd);
    NamedImage* image = nullptr;
    OSErr result = _OpenNamedImage("kept", &image);
    for (int fd : held)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_NE(result, noErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(ReadFileBytes(dir_ / "kept"), NativeHeader(1, 1, 1));
}

TEST_F(NamedImageTest, NamesLongerThan255CharactersAreRefusedAndTouchNothing)
{
    const std::string longest(255, 'n');
    const std::string tooLong(256, 'n');
    WriteFileBytes(dir_ / longest, {4, 5, 6});
    NamedImage* image = reinterpret_cast<NamedImage*>(0x1);
    EXPECT_EQ(_MakeNamedImage(tooLong.c_str(), 1, 2, 2, 1, &image), bdNamErr);
    EXPECT_EQ(image, nullptr);
    image = reinterpret_cast<NamedImage*>(0x1);
    EXPECT_EQ(_OpenNamedImage(tooLong.c_str(), &image), bdNamErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(Files(), std::vector<std::string>{longest});
    EXPECT_EQ(ReadFileBytes(dir_ / longest), (std::vector<uint8_t>{4, 5, 6}));

    // 255 characters is a valid name.
    ASSERT_EQ(_MakeNamedImage(longest.c_str(), 1, 2, 2, 1, &image), noErr);
    EXPECT_EQ(ReadFileBytes(dir_ / longest).size(), 10u);
    _TossNamedImage(image);
    EXPECT_TRUE(Files().empty());
}

TEST_F(NamedImageTest, FSSpecOfANameCutTo255Characters)
{
    FSSpec spec{};
    _CStringToFSSpec(nullptr, &spec);
    EXPECT_EQ(spec.vRefNum, -1);
    EXPECT_EQ(spec.parID, 2);
    EXPECT_EQ(spec.name[0], 0);
    const std::string name = std::string(255, 'a') + "bc";
    _CStringToFSSpec(name.c_str(), &spec);
    EXPECT_EQ(spec.name[0], 255);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(spec.name + 1), 255), std::string(255, 'a'));
}

TEST_F(NamedImageTest, WithoutAPreferencesFolderOnlyMemoryImagesCanBeMade)
{
    prefs_.reset();
    host::ScopedFolder none(kPreferencesFolderType, dir_ / "absent");
    NamedImage* image = nullptr;
    ASSERT_EQ(_MakeNamedImage("mem", 0, 4, 4, 4, &image), noErr);
    EXPECT_NE(image->data, nullptr);
    _TossNamedImage(image);
    EXPECT_EQ(_MakeNamedImage("disk", 1, 4, 4, 4, &image), fnfErr);
    EXPECT_EQ(image, nullptr);
    EXPECT_FALSE(fs::exists("disk")) << "nothing may land in the working directory";
    EXPECT_EQ(PlatformTempMemoryInUse(), baseMemory_);
}

// A file-backed image beyond 4 GiB: offsets past 32 bits reach the right
// bytes. The file is sparse, so nothing near its size is written.
TEST_F(NamedImageTest, FileImageBeyond4GiBAddressesTheRightBytes)
{
    const uint16_t w = 32768, h = 32768, bpp = 8;  // 8 GiB of pixels
    const uint64_t lineBytes = uint64_t{w} * bpp;
    const uint64_t total = 6 + lineBytes * h;
    {
        std::vector<uint8_t> header = NativeHeader(w, h, bpp);
        WriteFileBytes(dir_ / "huge", header);
        fs::resize_file(dir_ / "huge", total);
    }
    NamedImage* image = nullptr;
    ASSERT_EQ(_OpenNamedImage("huge", &image), noErr);
    EXPECT_EQ(image->byteCount, lineBytes * h);

    std::vector<uint8_t> line(lineBytes);
    for (size_t i = 0; i < line.size(); i++)
        line[i] = static_cast<uint8_t>(i * 7 + 1);
    const int32_t y = h - 1;
    ASSERT_EQ(_PutLine(image, y, line.data()), noErr);
    // Check on disk at the 64-bit offset, independently of the framework.
    int fd = open((dir_ / "huge").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> onDisk(lineBytes);
    ASSERT_EQ(pread(fd, onDisk.data(), onDisk.size(), static_cast<off_t>(6 + y * lineBytes)),
              static_cast<ssize_t>(lineBytes));
    EXPECT_EQ(onDisk, line);
    // A pixel in the middle line lands past 2^32 as well.
    const uint64_t pixel[1] = {0x0123456789ABCDEFull};
    std::vector<uint64_t> column(h, 0);
    ASSERT_EQ(_GetColumn(image, w - 1, column.data()), noErr);
    EXPECT_EQ(column[h - 1], *reinterpret_cast<const uint64_t*>(line.data() + lineBytes - 8));
    EXPECT_EQ(column[h / 2], 0u);
    column[h / 2] = pixel[0];
    ASSERT_EQ(_PutColumn(image, w - 1, column.data()), noErr);
    uint64_t read = 0;
    const off_t at = static_cast<off_t>(6 + (uint64_t{h / 2} * w + (w - 1)) * bpp);
    ASSERT_EQ(pread(fd, &read, 8, at), 8);
    EXPECT_EQ(read, pixel[0]);
    close(fd);
    _TossNamedImage(image);
    EXPECT_TRUE(Files().empty());
}

}  // namespace
