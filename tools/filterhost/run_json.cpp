// JSON text of a run report. Keys keep a fixed order so reports diff well.
#include "run_json.h"

#include <cstdio>

namespace filterhost {

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += ch;
            }
        }
    }
    return out + "\"";
}

std::string RunSummaryJson(const RunSummary& s)
{
    std::string messages = "[";
    for (size_t i = 0; i < s.messages.size(); ++i)
        messages += (i ? ", " : "") + JsonString(s.messages[i]);
    messages += "]";
    const auto flag = [](bool b) { return b ? std::string("true") : std::string("false"); };
    return "{\n"
           "  \"plugin\": " +
           JsonString(s.plugin) +
           ",\n"
           "  \"about\": " +
           JsonString(s.about) +
           ",\n"
           "  \"result\": " +
           std::to_string(s.result) +
           ",\n"
           "  \"messages\": " +
           messages +
           ",\n"
           "  \"progress_calls\": " +
           std::to_string(s.progressCalls) +
           ",\n"
           "  \"width\": " +
           std::to_string(s.width) +
           ",\n"
           "  \"height\": " +
           std::to_string(s.height) +
           ",\n"
           "  \"mode\": " +
           std::to_string(s.mode) +
           ",\n"
           "  \"depth\": " +
           std::to_string(s.depth) +
           ",\n"
           "  \"cancelled\": " +
           flag(s.cancelled) +
           ",\n"
           "  \"output_written\": " +
           flag(s.outputWritten) +
           "\n"
           "}\n";
}

}  // namespace filterhost
