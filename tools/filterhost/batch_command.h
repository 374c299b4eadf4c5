// `filterhost batch`: one plug-in over many images, each image run by a
// `filterhost run` child process of its own, so that a crash, an abort or a
// hang in the plug-in costs only that image.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "run_command.h"

namespace filterhost {

struct BatchArguments {
    std::vector<std::string> inputs;  // files, folders or globs
    std::string outDir;
    std::string summary;  // base name of the .csv and .json summaries
    int jobs = 0;         // 0: the number of cores
    double timeout = 0;   // seconds; 0: none
    bool skipExisting = false;
    RunArguments run;  // plug-in, parameters, folders and display, as for `run`
};

int BatchCommand(const BatchArguments& args, const std::vector<std::filesystem::path>& folders);

// The image files INPUT arguments name: a folder gives the files in it
// whose extension is an image format's, sorted; a pattern with * ? or [
// gives its matches, sorted; anything else is taken as a file name. Each
// file once, in the order found.
std::vector<std::filesystem::path> ExpandInputs(const std::vector<std::string>& inputs);

}  // namespace filterhost
