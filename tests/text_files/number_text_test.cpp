// Numbers as text: float and integer rendering, the writers' bytes, and
// numbers read back token by token.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "number_text.h"
#include "test_support.h"

namespace {

std::string Real(float value)
{
    char text[64];
    std::memset(text, '#', sizeof text);
    _RealToString(value, text);
    return text;
}

std::string Integer(int32_t value)
{
    char text[64];
    std::memset(text, '#', sizeof text);
    _Num2String(value, text);
    return text;
}

TEST(RealToString, RendersTheDocumentedTexts)
{
    const std::vector<std::pair<float, std::string>> cases = {
        {0.0f, "0.0"},
        {-0.0f, "0.0"},
        {1.0f, "1.00000"},
        {-2.5f, "-2.50000"},
        {0.5f, "0.50000"},
        {0.05f, "0.05000"},
        {0.005f, "0.00500"},
        {123.456f, "123.456"},
        {127.5f, "127.500"},
        {999.0f, "999.000"},
        {1000.0f, "1000.000"},
        {9999.99f, "9999.99"},
        {10000.0f, "1.00000e+4"},
        {1234567.0f, "1.23457e+6"},
        {1e20f, "1.00000e+20"},
        {0.0005f, "0.50000e-3"},
        {0.00012345f, "0.12345e-3"},
        {2.5f, "2.50000"},
        {3.0f, "3.00000"},
        {-1000.0f, "-1000.000"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(Real(value), text) << value;
}

TEST(RealToString, NonFiniteValuesHaveNames)
{
    EXPECT_EQ(Real(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(Real(-std::numeric_limits<float>::infinity()), "-inf");
    EXPECT_EQ(Real(std::numeric_limits<float>::quiet_NaN()), "nan");
}

// Whatever the value, the text fits in 15 bytes and reads back close to it.
TEST(RealToString, RandomValuesFitAndReadBack)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> bits;
    std::vector<float> values = {
        FLT_MAX,    -FLT_MAX,  FLT_MIN,    std::numeric_limits<float>::denorm_min(),
        -9999.999f, 999.9999f, 0.0999999f, 0.00999999f};
    for (int i = 0; i < 20000; ++i) {
        uint32_t b = bits(rng);
        float v;
        std::memcpy(&v, &b, sizeof v);
        if (std::isfinite(v))
            values.push_back(v);
    }
    for (float v : values) {
        std::string text = Real(v);
        ASSERT_LE(text.size(), 14u) << v << " -> " << text;
        if (v == 0.0f)
            continue;
        double back = std::atof(text.c_str());
        if (text.find('e') != std::string::npos) {
            // Exponent form of small numbers keeps five significant digits.
            EXPECT_NEAR(back / v, 1.0, 1.01e-4) << v << " -> " << text;
        } else {
            // Point form: six digits, the last one at most 1e-5 for small values.
            EXPECT_NEAR(back, v, 1.01e-5 * std::max(1.0, std::fabs(double(v))))
                << v << " -> " << text;
        }
    }
}

TEST(Num2String, PlainDecimalOverTheWholeRange)
{
    EXPECT_EQ(Integer(0), "0");
    EXPECT_EQ(Integer(7), "7");
    EXPECT_EQ(Integer(-45), "-45");
    EXPECT_EQ(Integer(1000000), "1000000");
    EXPECT_EQ(Integer(999999999), "999999999");
    EXPECT_EQ(Integer(1000000000), "1000000000");
    EXPECT_EQ(Integer(INT32_MAX), "2147483647");
    EXPECT_EQ(Integer(INT32_MIN), "-2147483648");
}

using NumberFileTest = DesktopTest;

TEST_F(NumberFileTest, WritersProduceExactBytes)
{
    TextFileNode* file = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("out.txt", &file), 0);
    EXPECT_EQ(WriteANumber(file, 2.5f), 0);
    EXPECT_EQ(WriteANumberTab(file, 3.0f), 0);
    EXPECT_EQ(WriteAHeader(file, ""), 0);
    EXPECT_EQ(WriteAHeaderTab(file, "Area"), 0);
    EXPECT_EQ(WriteAHeader(file, "Perimeter"), 0);
    EXPECT_EQ(WriteANumber(file, 1e20f), 0);
    CloseTextFile(file);
    EXPECT_EQ(FileBytes("out.txt"), "2.50000\r\n3.00000\t\r\nArea\tPerimeter\r\n1.00000e+20\r\n");
}

TEST_F(NumberFileTest, WritersRefuseNullAndClosedRecords)
{
    EXPECT_EQ(WriteANumber(nullptr, 1.0f), fnfErr);
    EXPECT_EQ(WriteANumberTab(nullptr, 1.0f), fnfErr);
    EXPECT_EQ(WriteAHeader(nullptr, "x"), fnfErr);
    EXPECT_EQ(WriteAHeaderTab(nullptr, "x"), fnfErr);
    TextFileNode* file = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("out.txt", &file), 0);
    CloseTextFile(file);
    EXPECT_EQ(WriteANumber(file, 1.0f), fnfErr);
    EXPECT_EQ(WriteANumberTab(file, 1.0f), fnfErr);
    EXPECT_EQ(WriteAHeader(file, "x"), fnfErr);
    EXPECT_EQ(WriteAHeaderTab(file, "x"), fnfErr);
    EXPECT_EQ(FileBytes("out.txt"), "");
    EXPECT_TRUE(Messages().empty());
}

TEST_F(NumberFileTest, ReadingPastTheEndGivesZeroAndEofEveryTime)
{
    TextFileNode* file = OpenWith("1.5");
    ASSERT_NE(file, nullptr);
    float value = -1.0f;
    EXPECT_EQ(ReadANumber(file, &value), 0);
    EXPECT_EQ(value, 1.5f);
    for (int i = 0; i < 3; ++i) {
        value = -1.0f;
        EXPECT_EQ(ReadANumber(file, &value), eofErr);
        EXPECT_EQ(value, 0.0f);
    }
}

TEST_F(NumberFileTest, ReadsTokensAsNumbers)
{
    TextFileNode* file = OpenWith("1, 2\r\n2.5e3\t12abc,abc\r-0.25\r");
    ASSERT_NE(file, nullptr);
    const std::vector<std::pair<float, OSErr>> expected = {
        {1.0f, 0},  {0.0f, 0}, {2.0f, 0},   {2500.0f, 0},
        {12.0f, 0}, {0.0f, 0}, {-0.25f, 0}, {0.0f, eofErr},
    };
    for (const auto& [number, result] : expected) {
        float value = -99.0f;
        EXPECT_EQ(ReadANumber(file, &value), result);
        EXPECT_EQ(value, number);
    }
    EXPECT_TRUE(Messages().empty());
}

TEST_F(NumberFileTest, ReadRefusesNullAndClosedRecordsLeavingValue)
{
    float value = 42.0f;
    EXPECT_EQ(ReadANumber(nullptr, &value), fnfErr);
    EXPECT_EQ(value, 42.0f);
    TextFileNode* file = OpenWith("1.5");
    ASSERT_NE(file, nullptr);
    CloseTextFile(file);
    EXPECT_EQ(ReadANumber(file, &value), fnfErr);
    EXPECT_EQ(value, 42.0f);
}

TEST_F(NumberFileTest, WrittenNumbersReadBack)
{
    TextFileNode* out = nullptr;
    ASSERT_EQ(CreateTextFileToWrite("round.txt", &out), 0);
    const std::vector<float> numbers = {0.0f, 1.0f, -2.5f, 123.456f, 1e20f, 0.0005f};
    for (float v : numbers)
        ASSERT_EQ(WriteANumberTab(out, v), 0);
    CloseTextFile(out);
    TextFileNode* in = nullptr;
    ASSERT_EQ(OpenTextFileToRead("round.txt", &in), 0);
    for (float v : numbers) {
        float value = -99.0f;
        EXPECT_EQ(ReadANumber(in, &value), 0);
        EXPECT_EQ(value, v);
    }
}

}  // namespace
