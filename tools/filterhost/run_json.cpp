#include "run_json.h"

#include <cctype>
#include <charconv>

namespace filterhost {

namespace {

bool Digit(char c)
{
    return c >= '0' && c <= '9';
}

// Length of the number starting at text[i] (0 when none starts there).
size_t NumberLength(const std::string& text, size_t i)
{
    size_t j = i;
    if (j < text.size() && (text[j] == '-' || text[j] == '+'))
        ++j;
    const size_t digitsStart = j;
    while (j < text.size() && Digit(text[j]))
        ++j;
    bool any = j > digitsStart;
    if (j < text.size() && text[j] == '.' && j + 1 < text.size() && Digit(text[j + 1])) {
        ++j;
        while (j < text.size() && Digit(text[j]))
            ++j;
        any = true;
    }
    if (!any)
        return 0;
    if (j < text.size() && (text[j] == 'e' || text[j] == 'E')) {
        size_t k = j + 1;
        if (k < text.size() && (text[k] == '-' || text[k] == '+'))
            ++k;
        if (k < text.size() && Digit(text[k])) {
            while (k < text.size() && Digit(text[k]))
                ++k;
            j = k;
        }
    }
    return j - i;
}

nlohmann::ordered_json ParametersJson(const std::vector<host::ParameterValue>& values)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& v : values) {
        if (v.integer)
            object[v.name] = static_cast<long long>(v.value);
        else
            object[v.name] = v.value;
    }
    return object;
}

}  // namespace

std::vector<double> NumbersInText(const std::string& text)
{
    std::vector<double> numbers;
    size_t i = 0;
    while (i < text.size()) {
        const char before = i > 0 ? text[i - 1] : ' ';
        const bool sign = text[i] == '-' || text[i] == '+';
        // Nothing starts right after a digit or a point (the rest of a
        // number already passed); a sign after a letter is a hyphen.
        size_t length = Digit(before) || before == '.' ? 0 : NumberLength(text, i);
        if (sign && std::isalnum(static_cast<unsigned char>(before)))
            length = 0;
        if (length == 0) {
            ++i;
            continue;
        }
        double value = 0;
        const char* first = text.data() + i + (text[i] == '+' ? 1 : 0);
        std::from_chars(first, text.data() + i + length, value);
        numbers.push_back(value);
        i += length;
    }
    return numbers;
}

std::vector<double> NumbersInMessages(const std::vector<std::string>& messages)
{
    std::vector<double> numbers;
    for (const auto& message : messages) {
        const auto found = NumbersInText(message);
        numbers.insert(numbers.end(), found.begin(), found.end());
    }
    return numbers;
}

nlohmann::ordered_json RunSummaryJson(const RunSummary& s)
{
    nlohmann::ordered_json j;
    j["plugin"] = s.plugin;
    j["about"] = s.about;
    j["input"] = s.input;
    j["output"] = s.output.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(s.output);
    j["result"] = s.result;
    j["exit_status"] = s.exitStatus;
    j["messages"] = s.messages;
    j["numbers"] = NumbersInMessages(s.messages);
    j["parameters"] = s.parameters ? ParametersJson(*s.parameters) : nlohmann::ordered_json();
    j["parameters_from"] =
        s.parameters ? nlohmann::ordered_json(s.parametersFrom) : nlohmann::ordered_json();
    j["progress_calls"] = s.progressCalls;
    j["width"] = s.width;
    j["height"] = s.height;
    j["mode"] = s.mode;
    j["depth"] = s.depth;
    j["cancelled"] = s.cancelled;
    j["output_written"] = s.outputWritten;
    j["error"] = s.error.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(s.error);
    j["seconds"] = {{"read", s.readSeconds},
                    {"filter", s.filterSeconds},
                    {"write", s.writeSeconds},
                    {"total", s.totalSeconds}};
    j["peak_memory_bytes"] = s.peakMemoryBytes;
    return j;
}

}  // namespace filterhost
