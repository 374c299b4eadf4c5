// Shared fixture of the named-image tests: a fresh Preferences folder per
// test, captured messages, and the framework's image globals reset around
// each test as a run's start-up and shut-down would.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "named_image.h"
#include "platform.h"
#include "ref_image.h"

namespace fs = std::filesystem;

inline fs::path MakeFreshDir(const std::string& stem)
{
    static std::atomic<int> counter{0};
    fs::path dir = fs::temp_directory_path() /
                   (stem + "_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

inline std::vector<uint8_t> ReadFileBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFileBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Header bytes of a named-image file in this processor's byte order.
inline std::vector<uint8_t> NativeHeader(uint16_t width, uint16_t height, uint16_t bytesPerPixel)
{
    std::vector<uint8_t> header(6);
    std::memcpy(header.data() + 0, &width, 2);
    std::memcpy(header.data() + 2, &height, 2);
    std::memcpy(header.data() + 4, &bytesPerPixel, 2);
    return header;
}

class NamedImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = MakeFreshDir("named_images");
        prefs_ = std::make_unique<host::ScopedFolder>(kPreferencesFolderType, dir_);
        gRefImage = nullptr;
        gOpenImageFileList = nullptr;
        baseOpenFiles_ = PlatformOpenFileCount();
        baseMemory_ = PlatformTempMemoryInUse();
    }
    void TearDown() override
    {
        _CloseRefImage();
        gRefImage = nullptr;
        _TossOpenImageFiles();
        prefs_.reset();
        fs::remove_all(dir_);
    }
    // Files in the Preferences folder, by name.
    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir_;
    std::unique_ptr<host::ScopedFolder> prefs_;
    host::MessageCapture messages_;
    int32_t baseOpenFiles_ = 0;
    int64_t baseMemory_ = 0;
};
