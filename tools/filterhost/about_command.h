// `filterhost list` and `filterhost about`.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace filterhost {

int ListCommand(const std::vector<std::filesystem::path>& folders);
int AboutCommand(const std::string& plugin, const std::vector<std::filesystem::path>& folders);

}  // namespace filterhost
