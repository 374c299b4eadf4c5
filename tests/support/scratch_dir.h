// A fresh folder under the system temporary folder, removed with everything
// in it when the object goes. Its name holds the process id, a counter and
// the running test's name, so parallel test processes never meet.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

class ScratchDir {
public:
    explicit ScratchDir(const std::string& stem = "filterkit_test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    // A subfolder, made if missing.
    std::filesystem::path Sub(const std::string& name) const;
    // The names of the entries in the folder, sorted.
    std::vector<std::string> Names() const;

private:
    std::filesystem::path path_;
};

std::string ReadText(const std::filesystem::path& file);
std::vector<uint8_t> ReadBytes(const std::filesystem::path& file);
void WriteBytes(const std::filesystem::path& file, const std::string& bytes);
void WriteBytes(const std::filesystem::path& file, const std::vector<uint8_t>& bytes);

}  // namespace test_support
