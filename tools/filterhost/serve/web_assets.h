// The page's files (HTML, CSS, JavaScript), compiled into the program so
// the server needs nothing beside its executable.
#pragma once

#include <cstddef>
#include <string_view>

namespace filterhost::serve {

struct WebAsset {
    const char* name;  // file name under web/, e.g. "app.js"
    const char* type;  // its Content-Type
    const unsigned char* data;
    size_t size;
};

// The asset of that exact file name, or null.
const WebAsset* FindWebAsset(std::string_view name);

}  // namespace filterhost::serve
