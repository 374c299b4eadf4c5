// The HTTP side of `filterhost serve`: the page, its JSON API and the event
// stream, behind a per-session token.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace filterhost::serve {

struct ServerSettings {
    std::string listen = "127.0.0.1";
    int port = 8610;
    uint64_t maxUpload = 256u << 20;
    std::optional<std::filesystem::path> prefs;
    std::vector<std::filesystem::path> pluginFolders;
};

// Serves until SIGINT or SIGTERM; returns the exit status.
int RunServer(const ServerSettings& settings);

// A random token of 32 hex digits from the system's random source.
std::string MakeToken();

// Whether `given` equals `token`, in a time that does not depend on where
// they differ.
bool TokenMatches(const std::string& given, const std::string& token);

// `label` cut down to letters, digits, '-', '_' and '.', for a download's
// file name; "image" when nothing is left.
std::string SafeFileStem(const std::string& label);

}  // namespace filterhost::serve
