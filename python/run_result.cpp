#include "run_result.h"

#include <time.h>

#include <cctype>
#include <charconv>

#include "plugin_interface/FilterRecord.h"

namespace filterkit {

double ThreadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

namespace {

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

size_t DigitsFrom(const std::string& text, size_t i)
{
    size_t n = 0;
    while (i + n < text.size() && IsDigit(text[i + n]))
        ++n;
    return n;
}

// The length of the number written at `i` (sign, digits with an optional
// point and fraction, an optional exponent), or 0 when none starts there.
size_t NumberLength(const std::string& text, size_t i)
{
    size_t at = i + (text[i] == '-' || text[i] == '+' ? 1 : 0);
    const size_t whole = DigitsFrom(text, at);
    at += whole;
    size_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        fraction = DigitsFrom(text, at + 1);
        if (whole > 0 || fraction > 0)
            at += 1 + fraction;
    }
    if (whole == 0 && fraction == 0)
        return 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        const size_t sign = at + 1 < text.size() && (text[at + 1] == '-' || text[at + 1] == '+');
        const size_t exponent = DigitsFrom(text, at + 1 + sign);
        if (exponent > 0)
            at += 1 + sign + exponent;
    }
    return at - i;
}

// Where a number may start: not inside one already passed (right after a
// digit or a point), and a sign not right after a letter or digit (there
// it is a hyphen).
bool MayStartNumber(const std::string& text, size_t i)
{
    const char before = i > 0 ? text[i - 1] : ' ';
    if (IsDigit(before) || before == '.')
        return false;
    const bool sign = text[i] == '-' || text[i] == '+';
    return !(sign && std::isalnum(static_cast<unsigned char>(before)) != 0);
}

}  // namespace

std::vector<double> NumbersIn(const std::vector<std::string>& messages)
{
    std::vector<double> numbers;
    for (const auto& text : messages) {
        size_t i = 0;
        while (i < text.size()) {
            const size_t length = MayStartNumber(text, i) ? NumberLength(text, i) : 0;
            if (length == 0) {
                ++i;
                continue;
            }
            // from_chars, unlike strtod, ignores the C locale; it takes no '+'.
            const char* first = text.data() + i + (text[i] == '+' ? 1 : 0);
            double value = 0;
            std::from_chars(first, text.data() + i + length, value);
            numbers.push_back(value);
            i += length;
        }
    }
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
