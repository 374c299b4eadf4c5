// A plug-in's parameters as the page sees them: its description (names,
// defaults, ranges) and the parameter file written before a run.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace filterhost::serve {

// The description of the module's parameters, or null when it has none.
nlohmann::json DescribeModule(const std::filesystem::path& modulePath);

// Writes the module's parameter file into `desktop` from `values` ({name:
// value}); nothing when `values` is empty. Returns why the values cannot be
// used (an unknown name, a value out of range), or nothing.
std::optional<std::string> WriteParameters(const std::filesystem::path& modulePath,
                                           const std::filesystem::path& desktop,
                                           const nlohmann::json& values);

}  // namespace filterhost::serve
