// The numbers filterhost finds in message texts: they become the report's
// "numbers" and the batch summary's number columns.
#include <gtest/gtest.h>

#include "progress.h"
#include "run_json.h"

namespace {

TEST(NumbersInText, TakesEveryNumberAndNothingElse)
{
    const struct {
        const char* text;
        std::vector<double> numbers;
    } cases[] = {
        {"2295.25 pixels = total perimeter.", {2295.25}},
        {"1.70422e+4 pixels = total perimeter.", {17042.2}},
        {"0.50000e-3 and 0.12345e-3", {0.0005, 0.00012345}},
        {"-2.50000 below, +3 above", {-2.5, 3}},
        {"at least 32x32, a power-of-two in size", {32, 32}},
        {"Temp2 is 0 x 0", {2, 0, 0}},
        {"version 1.2.3", {1.2}},
        {"ends with a point: 12.", {12}},
        {"1e5, then 1e", {1e5, 1}},
        {"no numbers (ReadOriginalLine)", {}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(filterhost::NumbersInText(c.text), c.numbers) << c.text;
}

TEST(NumbersInText, MessagesAreTakenInOrder)
{
    EXPECT_EQ(filterhost::NumbersInMessages({"a 1", "no", "2 and 3"}),
              (std::vector<double>{1, 2, 3}));
}

TEST(ProgressText, ClockAndStyles)
{
    using std::chrono::seconds;
    EXPECT_EQ(filterhost::ClockText(seconds(0)), "0:00");
    EXPECT_EQ(filterhost::ClockText(seconds(65)), "1:05");
    EXPECT_EQ(filterhost::ClockText(seconds(3723)), "1:02:03");
    EXPECT_EQ(filterhost::ParseProgressStyle("auto", true), filterhost::ProgressStyle::kBar);
    EXPECT_EQ(filterhost::ParseProgressStyle("auto", false), filterhost::ProgressStyle::kNone);
    EXPECT_EQ(filterhost::ParseProgressStyle("plain", true), filterhost::ProgressStyle::kPlain);
    EXPECT_FALSE(filterhost::ParseProgressStyle("loud", true).has_value());
}

}  // namespace
