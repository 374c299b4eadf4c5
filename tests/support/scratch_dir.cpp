#include "scratch_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace test_support {

namespace {

std::string CurrentTestName()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr)
        return "none";
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

}  // namespace

ScratchDir::ScratchDir(const std::string& stem)
{
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() / (stem + "_" + std::to_string(::getpid()) + "_" +
                                         std::to_string(counter++) + "_" + CurrentTestName());
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

fs::path ScratchDir::Sub(const std::string& name) const
{
    fs::create_directories(path_ / name);
    return path_ / name;
}

std::vector<std::string> ScratchDir::Names() const
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> ReadBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes)
{
    WriteBytes(file, std::string(bytes.begin(), bytes.end()));
}

}  // namespace test_support
