#include "run_result.h"

#include <time.h>

#include <cstdlib>
#include <regex>

#include "plugin_interface/FilterRecord.h"

namespace filterkit {

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::vector<double> NumbersIn(const std::vector<std::string>& messages)
{
    static const std::regex number(R"([-+]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)");
    std::vector<double> numbers;
    for (const auto& text : messages)
        for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it)
            numbers.push_back(std::strtod(it->str().c_str(), nullptr));
    return numbers;
}

std::string FailureText(const RunResult& result)
{
    std::string text = result.plugin + " returned " + std::to_string(result.code);
    switch (result.code) {
    case userCanceledErr:
        text += result.cancelled ? " (cancelled)" : " (the plug-in refused the image)";
        break;
    case filterBadParameters:
        text += " (bad parameters)";
        break;
    case memFullErr:
        text += " (out of memory)";
        break;
    default:
        break;
    }
    if (!result.messages.empty())
        text += ": " + result.messages.front();
    return text;
}

}  // namespace filterkit
