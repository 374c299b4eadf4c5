#include "test_support.h"

#include <fstream>
#include <iterator>
#include <random>

#include "entry.h"
#include "platform.h"

// The framework expects a filter body and an About text from its module.
extern "C" int32_t MainUserEntry(void)
{
    return 0;
}
extern "C" const char gAboutText[] = "Text file tests";

DesktopTest::DesktopTest()
{
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("text_files_test_" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
    folder_ = std::make_unique<host::ScopedFolder>(kDesktopFolderType, dir_);
    gOpenFileList = nullptr;
}

DesktopTest::~DesktopTest()
{
    _CloseAllTextFiles();
    folder_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

void DesktopTest::PutFile(const std::string& name, const std::string& bytes) const
{
    std::ofstream out(PathOf(name), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string DesktopTest::FileBytes(const std::string& name) const
{
    std::ifstream in(PathOf(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TextFileNode* DesktopTest::OpenWith(const std::string& bytes)
{
    PutFile("input.txt", bytes);
    TextFileNode* file = nullptr;
    EXPECT_EQ(OpenTextFileToRead("input.txt", &file), 0);
    return file;
}
