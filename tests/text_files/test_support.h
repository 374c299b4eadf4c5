// Shared fixture for the text-file tests: a fresh Desktop folder under the
// system temp directory, captured messages, and every record released after
// each test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host.h"
#include "text_file.h"

class DesktopTest : public ::testing::Test {
protected:
    DesktopTest();
    ~DesktopTest() override;

    std::filesystem::path PathOf(const std::string& name) const { return dir_ / name; }
    void PutFile(const std::string& name, const std::string& bytes) const;
    std::string FileBytes(const std::string& name) const;
    // Opens a Desktop file holding bytes for reading.
    TextFileNode* OpenWith(const std::string& bytes);
    const std::vector<std::string>& Messages() const { return capture_.Messages(); }

    std::filesystem::path dir_;

private:
    std::unique_ptr<host::ScopedFolder> folder_;
    host::MessageCapture capture_;
};
