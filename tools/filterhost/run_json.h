// The --json report of a run: a small fixed object, written by hand (the
// only JSON this program produces).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace filterhost {

struct RunSummary {
    std::string plugin;
    std::string about;
    int result = 0;
    std::vector<std::string> messages;
    size_t progressCalls = 0;
    int32_t width = 0;
    int32_t height = 0;
    int mode = 0;
    int depth = 0;
    bool cancelled = false;
    bool outputWritten = false;
};

// A JSON string literal for `text` (quotes included); control characters,
// quotes and backslashes are escaped, other bytes pass through as UTF-8.
std::string JsonString(const std::string& text);

// The report as one JSON object with a trailing newline.
std::string RunSummaryJson(const RunSummary& summary);

}  // namespace filterhost
