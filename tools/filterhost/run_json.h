// The --json report of a run, and the numbers found in message texts.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "plugin_description.h"

namespace filterhost {

struct RunSummary {
    std::string plugin;
    std::string about;
    std::string input;
    std::string output;  // empty when none was asked for
    int result = 0;
    std::vector<std::string> messages;
    size_t progressCalls = 0;
    int32_t width = 0;
    int32_t height = 0;
    int mode = 0;
    int depth = 0;
    bool cancelled = false;
    bool outputWritten = false;
    // The values the filter read, when it reads a parameter file and they
    // are known; `parametersFrom` says where they came from ("command line",
    // "defaults" or the file's path).
    std::optional<std::vector<host::ParameterValue>> parameters;
    std::string parametersFrom;
    double readSeconds = 0;
    double filterSeconds = 0;
    double writeSeconds = 0;
    double totalSeconds = 0;
    int64_t peakMemoryBytes = 0;
    int exitStatus = 0;
    std::string error;  // the host's reason for a failure after the filter ran
};

// Every number written in `text`, in order: optional sign, digits with an
// optional point and fraction, optional exponent ("2295.25", "1.00000e+4",
// "-3"). A sign counts only where no letter or digit comes right before it.
std::vector<double> NumbersInText(const std::string& text);

// The numbers of all messages, in order.
std::vector<double> NumbersInMessages(const std::vector<std::string>& messages);

// The report as a JSON object, keys in a fixed order.
nlohmann::ordered_json RunSummaryJson(const RunSummary& summary);

}  // namespace filterhost
