// Text files: opening, creating, closing, the record list, and tokenising.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "entry.h"
#include "platform.h"
#include "test_support.h"
#include "text_file.h"

namespace {

struct Token {
    std::string text;
    bool endOfLine;
    bool endOfFile;
    bool operator==(const Token&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Token& t)
{
    return os << "{\"" << t.text << "\", eol " << t.endOfLine << ", eof " << t.endOfFile << "}";
}

Token ReadToken(TextFileNode* file, int32_t size = 256)
{
    std::vector<char> buffer(static_cast<size_t>(size) + 1, '#');
    Boolean eol = 7, eof = 7;
    EXPECT_EQ(_ReadCString(file->fileRef, buffer.data(), &eol, &eof, size), 0);
    return {std::string(buffer.data()), eol == 1, eof == 1};
}

using TextFileTest = DesktopTest;

struct TokenCase {
    const char* name;
    std::string bytes;
    std::vector<Token> tokens;
};

TEST_F(TextFileTest, TokenisesByteSequences)
{
    const std::vector<TokenCase> cases = {
        {"carriage returns",
         "1.5\r2.5\r",
         {{"1.5", true, false}, {"2.5", true, false}, {"", true, true}}},
        {"line feed after carriage return is dropped",
         "1.5\r\n2.5\r",
         {{"1.5", true, false}, {"2.5", true, false}, {"", true, true}}},
        {"lone line feed ends a line",
         "1.5\n2.5\n",
         {{"1.5", true, false}, {"2.5", true, false}, {"", true, true}}},
        {"line feed then carriage return is two line ends",
         "1\n\r2",
         {{"1", true, false}, {"", true, false}, {"2", true, true}}},
        {"carriage return, line feed, tab",
         "1\r\n\t2",
         {{"1", true, false}, {"", false, false}, {"2", true, true}}},
        {"carriage return at the very end", "7\r", {{"7", true, false}, {"", true, true}}},
        {"comma then blank gives an empty token",
         "1, 2",
         {{"1", false, false}, {"", false, false}, {"2", true, true}}},
        {"tab after carriage return gives an empty token",
         "1\r\t2",
         {{"1", true, false}, {"", false, false}, {"2", true, true}}},
        {"form feed and NUL dropped",
         std::string("a\fb\0c\td", 8),
         {{"abc", false, false}, {"d", true, true}}},
        {"0x1A inside the file is an ordinary character", "x\x1Ay", {{"x\x1Ay", true, true}}},
        {"empty file", "", {{"", true, true}, {"", true, true}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TextFileNode* file = OpenWith(c.bytes);
        ASSERT_NE(file, nullptr);
        for (const auto& expected : c.tokens)
            EXPECT_EQ(ReadToken(file), expected);
        CloseTextFile(file);
    }
    EXPECT_TRUE(Messages().empty());
}

// Parameter files written one number a line with line feeds alone used to
// run together into one token ("113000.01").
TEST_F(TextFileTest, RegressionLineFeedLineEndsDoNotRunNumbersTogether)
{
    for (const std::string end : {"\n", "\r", "\r\n"}) {
        SCOPED_TRACE(testing::PrintToString(end));
        TextFileNode* file = OpenWith("1" + end + "1" + end + "300" + end + "0.01" + end);
        ASSERT_NE(file, nullptr);
        for (const char* number : {"1", "1", "300", "0.01"})
            EXPECT_EQ(ReadToken(file), (Token{number, true, false}));
        EXPECT_EQ(ReadToken(file), (Token{"", true, true}));
        CloseTextFile(file);
    }
}

TEST_F(TextFileTest, LongTokenIsSplitAtSizeMinusOne)
{
    std::string token(300, 'x');
    for (size_t i = 0; i < token.size(); ++i)
        token[i] = static_cast<char>('a' + i % 26);
    TextFileNode* file = OpenWith(token + "\r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(ReadToken(file, 256), (Token{token.substr(0, 255), false, false}));
    EXPECT_EQ(ReadToken(file, 256), (Token{token.substr(255), true, false}));
}

TEST_F(TextFileTest, TinySizesNeverWritePastTheBuffer)
{
    TextFileNode* file = OpenWith("ab");
    ASSERT_NE(file, nullptr);
    // Size 1: room for the NUL only, so an empty token and nothing consumed.
    char one[2] = {'#', '#'};
    Boolean eol = 7, eof = 7;
    EXPECT_EQ(_ReadCString(file->fileRef, one, &eol, &eof, 1), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(one[1], '#');
    EXPECT_TRUE(Messages().empty());
    // Size 0: the zero-size report, and the caller's buffer is not touched.
    char none[1] = {'#'};
    EXPECT_EQ(_ReadCString(file->fileRef, none, &eol, &eof, 0), 0);
    EXPECT_EQ(none[0], '#');
    EXPECT_EQ(Messages(), std::vector<std::string>{
                              "Attempt to allocate a zero-length pointer. (CreateAPointer)"});
    // A size no buffer can be made for: no memory, and nothing touched.
    eol = 7;
    eof = 7;
    EXPECT_EQ(_ReadCString(file->fileRef, none, &eol, &eof, -1), memFullErr);
    EXPECT_EQ(none[0], '#');
    EXPECT_EQ(eol, 7);
    EXPECT_EQ(eof, 7);
    // Size 2: one character at a time.
    EXPECT_EQ(ReadToken(file, 2), (Token{"a", false, false}));
    EXPECT_EQ(ReadToken(file, 2), (Token{"b", false, false}));
    EXPECT_EQ(ReadToken(file, 2), (Token{"", true, true}));
}

TEST_F(TextFileTest, ReadCharacterReportsLineAndFileEnds)
{
    TextFileNode* file = OpenWith("a\r");
    ASSERT_NE(file, nullptr);
    char ch = 0;
    Boolean eol = 7, eof = 7;
    EXPECT_EQ(_ReadCH(file->fileRef, &ch, &eol, &eof), 0);
    EXPECT_EQ(ch, 'a');
    EXPECT_EQ(eol, 0);
    EXPECT_EQ(eof, 0);
    EXPECT_EQ(_ReadCH(file->fileRef, &ch, &eol, &eof), 0);
    EXPECT_EQ(ch, '\r');
    EXPECT_EQ(eol, 1);
    EXPECT_EQ(eof, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(_ReadCH(file->fileRef, &ch, &eol, &eof), 0);
        EXPECT_EQ(ch, 0x1A);
        EXPECT_EQ(eol, 1);
        EXPECT_EQ(eof, 1);
    }
    // A bad reference number reads as the end of the file, not as an error.
    EXPECT_EQ(_ReadCH(12345, &ch, &eol, &eof), 0);
    EXPECT_EQ(ch, 0x1A);
    EXPECT_EQ(eof, 1);
}

TEST_F(TextFileTest, ReadCharacterTakesEveryLineEndAsOne)
{
    TextFileNode* file = OpenWith("a\r\nb\nc\r");
    ASSERT_NE(file, nullptr);
    const std::vector<std::pair<char, bool>> expected = {{'a', false}, {'\r', true}, {'b', false},
                                                         {'\n', true}, {'c', false}, {'\r', true}};
    for (const auto& [wanted, endOfLine] : expected) {
        char ch = 0;
        Boolean eol = 7, eof = 7;
        EXPECT_EQ(_ReadCH(file->fileRef, &ch, &eol, &eof), 0);
        EXPECT_EQ(ch, wanted);
        EXPECT_EQ(eol, endOfLine ? 1 : 0);
        EXPECT_EQ(eof, 0);
    }
}

TEST_F(TextFileTest, OpenForReadingMissingFileIsQuiet)
{
    TextFileNode* file = reinterpret_cast<TextFileNode*>(0x1);
    EXPECT_EQ(OpenTextFileToRead("missing.txt", &file), fnfErr);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TextFileTest, CreateMakesFileOnDesktopAndListsRecordsNewestFirst)
{
    TextFileNode* first = nullptr;
    TextFileNode* second = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("out.txt", &first), 0);
    EXPECT_TRUE(std::filesystem::exists(PathOf("out.txt")));
    EXPECT_EQ(first->forReading, 0);
    EXPECT_EQ(first->isOpen, 1);
    PutFile("in.txt", "1");
    ASSERT_EQ(OpenTextFileToRead("in.txt", &second), 0);
    EXPECT_EQ(second->forReading, 1);
    EXPECT_EQ(gOpenFileList, second);
    EXPECT_EQ(second->next, first);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TextFileTest, CreateEmptiesAnExistingFile)
{
    PutFile("out.txt", "a much longer older text\r\n");
    TextFileNode* file = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("out.txt", &file), 0);
    int32_t count = 3;
    ASSERT_EQ(FSWrite(file->fileRef, &count, "new"), 0);
    CloseTextFile(file);
    EXPECT_EQ(FileBytes("out.txt"), "new");
}

TEST_F(TextFileTest, CreateWithoutDesktopFolderReports)
{
    std::filesystem::remove_all(dir_);
    TextFileNode* file = reinterpret_cast<TextFileNode*>(0x1);
    EXPECT_NE(CreateTextFileToWrite("out.txt", &file), 0);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"Cannot open text file. (CreateTextFileToWrite)"});
}

TEST_F(TextFileTest, ClosingTwiceReportsAndKeepsRecordListed)
{
    TextFileNode* file = OpenWith("1");
    ASSERT_NE(file, nullptr);
    CloseTextFile(file);
    EXPECT_EQ(file->isOpen, 0);
    EXPECT_TRUE(Messages().empty());
    CloseTextFile(file);
    EXPECT_EQ(file->isOpen, 0);
    EXPECT_EQ(gOpenFileList, file);
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"Text file has already been closed. (CloseTextFile)"});
    CloseTextFile(nullptr);
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(TextFileTest, FailedCloseLeavesRecordOpenAndCloseAllStillFreesIt)
{
    TextFileNode* file = OpenWith("1");
    ASSERT_NE(file, nullptr);
    const int16_t realRef = file->fileRef;
    file->fileRef = 12345;
    CloseTextFile(file);
    EXPECT_EQ(file->isOpen, 1);
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"Bad File_ID when closing text file. (CloseTextFile)"});
    _CloseAllTextFiles();
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_EQ(Messages().size(), 2u);
    EXPECT_EQ(Messages()[1], "Bad File_ID when closing text file. (CloseTextFile)");
    EXPECT_EQ(FSClose(realRef), 0);
}

TEST_F(TextFileTest, CloseAllClosesOpenFilesAndEmptiesList)
{
    const int32_t before = PlatformOpenFileCount();
    TextFileNode* a = nullptr;
    TextFileNode* b = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("a.txt", &a), 0);
    ASSERT_EQ(CreateTextFileToWrite("b.txt", &b), 0);
    CloseTextFile(a);  // a closed record is only released
    EXPECT_EQ(PlatformOpenFileCount(), before + 1);
    _CloseAllTextFiles();
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_EQ(PlatformOpenFileCount(), before);
    _CloseAllTextFiles();
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(TextFileTest, RunShutdownClosesFilesLeftOpen)
{
    const int32_t before = PlatformOpenFileCount();
    FilterRecord record{};
    record.imageMode = plugInModeRGBColor;
    record.depth = 8;
    record.planes = 3;
    record.imageSize.h = 2;
    record.imageSize.v = 1;
    _KVStartupInitialization(&record);
    EXPECT_EQ(gOpenFileList, nullptr);
    TextFileNode* file = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("left_open.txt", &file), 0);
    EXPECT_EQ(PlatformOpenFileCount(), before + 1);
    _KVShutdownCleanup();
    EXPECT_EQ(gOpenFileList, nullptr);
    EXPECT_EQ(PlatformOpenFileCount(), before);
    EXPECT_TRUE(Messages().empty());
}

}  // namespace
