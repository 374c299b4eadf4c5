// Shared pieces of the fuzz targets: a scratch folder per process and the
// fuzzer's bytes put in a file there.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fuzz {

// A private folder for this process's scratch files, made once.
inline const std::filesystem::path& ScratchFolder()
{
    static const std::filesystem::path folder = [] {
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base))
            base = std::filesystem::temp_directory_path();
        std::filesystem::path made = base / ("filterkit_fuzz_" + std::to_string(getpid()));
        std::filesystem::create_directories(made);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(ScratchFolder(), ec);
        });
        return made;
    }();
    return folder;
}

// The value of an environment variable, or `fallback`.
inline std::string Setting(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != 0 ? value : fallback;
}

// A sub-folder of the scratch folder, made once.
inline std::filesystem::path ScratchSubfolder(const std::string& name)
{
    std::filesystem::path folder = ScratchFolder() / name;
    std::filesystem::create_directories(folder);
    return folder;
}

inline void WriteBytes(const std::filesystem::path& path, const void* data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace fuzz
