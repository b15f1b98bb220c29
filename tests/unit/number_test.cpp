// The leading-number rule: Val() reading and the banker's rounding into 32 bits.
#include <gtest/gtest.h>

#include <string>

#include "failure.h"
#include "number.h"

namespace {

using velloran::leadingNumber;
using velloran::roundToInt32;
using velloran::valueOf;

constexpr const char* kOk = "";
constexpr const char* kOverflow = "Overflow";
constexpr const char* kMismatch = "Type mismatch";

struct ValCase {
    const char* input;
    double value;       // when failure is kOk
    const char* failure;
};

TEST(ValueOf, ReadsTheLeadingNumber) {
    const ValCase cases[] = {
        // What a manifest's Max may hold.
        {"3abc", 3, kOk},
        {"", 0, kOk},
        {"abc", 0, kOk},
        {"1 2", 12, kOk},
        {"&H10", 16, kOk},
        {"    1615 198th Street N.E.", 1615198, kOk},
        // Signs, points and stops.
        {"-", 0, kOk},
        {"--7", 0, kOk},
        {"+-7", 0, kOk},
        {"+ 7", 7, kOk},
        {"1.2.3", 1.2, kOk},
        {"5.", 5, kOk},
        {"1,000", 1, kOk},
        {"4\v2", 4, kOk},
        {"4\r2", 4, kOk},
        {"12abc", 12, kOk},
        // Exponents, the D form and the words that look like one.
        {"3 E 2", 300, kOk},
        {"1E-2", 0.01, kOk},
        {"2D3", 2000, kOk},
        {"1e2.5", 100, kOk},
        {"1.5e1", 15, kOk},
        {"5 D 3 items", 5000, kOk},
        {"7 eggs", 7, kOk},
        {"1e-400", 0, kOk},
        {"0e999999", 0, kOk},
        {"-1e309", 0, kOverflow},
        {"1e99999999999999999999", 0, kOverflow},
        {"0.0000000001e320", 0, kOverflow},
        // Correct rounding of the whole digit string, blanks removed.
        {"0.1", 0.1, kOk},
        {"9007199254740993", 9007199254740992.0, kOk},
        {"1 2345678901 2345678901 234567890", 123456789012345678901234567890.0, kOk},
        {"0.50000000000000001", 0.5, kOk},
        // Type suffixes.
        {"50 %", 50, kOk},
        {"50.5%", 0, kMismatch},
        {"5.%", 5, kOk},
        {"40000%", 0, kOverflow},
        {"-32768%", -32768, kOk},
        {"2147483648&", 0, kOverflow},
        {"1.5#", 1.5, kOk},
        {"0.1!", static_cast<double>(0.1f), kOk},
        {"1e39!", 0, kOverflow},
        {"1.23456@", 1.2346, kOk},
        {"1e300@", 0, kOverflow},
        // Hex and octal: the type follows the significant digits.
        {"&HFFFF", -1, kOk},
        {"&h7fff", 32767, kOk},
        {"&H 00 0FFFF", -1, kOk},
        {"&HFFFF&", 65535, kOk},
        {"&HFFFF %", -1, kOk},
        {"&H7FFFFFFF", 2147483647, kOk},
        {"&HFFFFFFFF", -1, kOk},
        {"&H100000000", 4294967296.0, kOk},
        {"&HFFFFFFFFFFFFFFFF", -1, kOk},
        {"&H10000000000000000", 0, kOverflow},
        {"&HFFFFFFFF%", -1, kOk},
        {"&H10000%", 0, kOverflow},
        {"&H100000000&", 0, kOverflow},
        {"&H F F", 255, kOk},
        {"&HZ", 0, kOk},
        {"& H10", 0, kOk},
        {"&17", 0, kOk},
        {"&O177777", -1, kOk},
        {"&O100000", -32768, kOk},
        {"&O777", 511, kOk},
        {"&O777&", 511, kOk},
        {"&O37777777777", -1, kOk},
        {"&O8", 0, kOk},
        {"&O2000000000000000000000", 0, kOverflow},
    };
    for (const ValCase& c : cases) {
        SCOPED_TRACE(c.input);
        try {
            const double value = valueOf(c.input);
            EXPECT_STREQ(c.failure, kOk);
            EXPECT_EQ(value, c.value);
        } catch (const velloran::Failure& failure) {
            EXPECT_STREQ(failure.what(), c.failure);
        }
    }
}

TEST(RoundToInt32, HalfToEvenWithinTheLongRange) {
    struct Case {
        double value;
        std::int32_t rounded;
        bool overflows;
    };
    const Case cases[] = {
        {0.5, 0, false},          {1.5, 2, false},           {2.5, 2, false},
        {3.5, 4, false},          {-0.5, 0, false},          {-1.5, -2, false},
        {-2.5, -2, false},        {2.5001, 3, false},        {2.4999, 2, false},
        {25427.55, 25428, false}, {-0.49999999999999994, 0, false},
        {2147483647.49, 2147483647, false}, {2147483647.5, 0, true},
        {2147483648.0, 0, true},  {-2147483648.5, -2147483648, false},
        {-2147483648.51, 0, true}, {-2147483649.0, 0, true},  {1e300, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        if (c.overflows) {
            EXPECT_THROW(roundToInt32(c.value), velloran::Failure);
        } else {
            EXPECT_EQ(roundToInt32(c.value), c.rounded);
        }
    }
}

// Max and Content-Length as the update run reads them.
TEST(LeadingNumber, ManifestCounts) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"3abc", 3}, {"2.5", 2}, {"3.5", 4}, {"", 0}, {"letters", 0},
        {"&H10", 16}, {"1 2", 12}, {"102400", 102400}, {"-5", -5},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(leadingNumber(text), expected);
    }
    EXPECT_THROW(leadingNumber("4294967296"), velloran::Failure);
}

}  // namespace
