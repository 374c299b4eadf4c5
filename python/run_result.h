// What one filter run gives back besides the image: the result code, the
// messages and the numbers in them, progress reports and timings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace filterkit {

struct Timings {
    double convertIn = 0;   // array → host image, seconds
    double filter = 0;      // the plug-in's own run, seconds
    double convertOut = 0;  // host image → array, seconds
    double total = 0;       // the whole call, seconds
    // The calling thread's CPU time for the filter and for the whole call:
    // what the call cost even on a machine busy with other work.
    double filterCpu = 0;
    double totalCpu = 0;
};

// The calling thread's CPU time so far, in seconds.
double ThreadCpuSeconds();

struct RunResult {
    std::string plugin;
    int code = 0;
    // Each message shown, line breaks as '\n'.
    std::vector<std::string> messages;
    std::vector<std::pair<int32_t, int32_t>> progress;
    bool cancelled = false;
    int32_t width = 0, height = 0;
    int mode = 0, depth = 0;
    // The parameters written for the plug-in when params were given.
    std::map<std::string, double> parameters;
    Timings timings;
};

// Every decimal number in the messages, in order, read as filterhost reads
// them: "2295.25 pixels = total perimeter." gives 2295.25, "32x32" 32 and
// 32; a '-' right after a letter or digit is a hyphen, not a sign.
std::vector<double> NumbersIn(const std::vector<std::string>& messages);

// The message of a failed run: the plug-in, its result and what it means.
std::string FailureText(const RunResult& result);

}  // namespace filterkit
