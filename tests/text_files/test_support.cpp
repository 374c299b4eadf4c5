#include "test_support.h"

#include "entry.h"
#include "platform.h"

// The framework expects a filter body and an About text from its module.
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}
extern "C" const char gAboutText[] = "Text file tests";

DesktopTest::DesktopTest() : scratch_("text_files"), dir_(scratch_.Path())
{
    folder_ = std::make_unique<host::ScopedFolder>(kDesktopFolderType, dir_);
    gOpenFileList = nullptr;
}

DesktopTest::~DesktopTest()
{
    _CloseAllTextFiles();
    folder_.reset();
}

void DesktopTest::PutFile(const std::string& name, const std::string& bytes) const
{
    test_support::WriteBytes(PathOf(name), bytes);
}

std::string DesktopTest::FileBytes(const std::string& name) const
{
    return test_support::ReadText(PathOf(name));
}

TextFileNode* DesktopTest::OpenWith(const std::string& bytes)
{
    PutFile("input.txt", bytes);
    TextFileNode* file = nullptr;
    EXPECT_EQ(OpenTextFileToRead("input.txt", &file), 0);
    return file;
}
