// Small text rules: trimming, version order, percentage text and addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ascii.h"
#include "text.h"

namespace {

using namespace velloran;

TEST(TrimSpaces, RemovesOnlySpacesAtTheEnds) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"   ", ""}, {"  a b  ", "a b"}, {"\ta\t", "\ta\t"}, {" \va ", "\va"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(trimSpaces(text), expected);
    }
}

TEST(SortsAfter, ComparesCodeValuesFromTheLeft) {
    struct Case {
        const char* remote;
        const char* local;
        bool after;
    };
    const Case cases[] = {
        {"1.10", "1.9", false},  {"1.9", "1.10", true},   {"10.0", "2.0", false},
        {"1.0.1", "1.0", true},  {"1.0", "1.0.1", false}, {"1.0b", "1.0B", true},
        {"1.0B", "1.0b", false}, {"1.0", "1.0", false},   {"", "", false},
        {"", "1", false},        {"1", "", true},         {"A", "9", true},
        {"1.0", ".9", true},     {"\xE9", "z", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.remote) + " vs " + c.local);
        EXPECT_EQ(sortsAfter(c.remote, c.local), c.after);
    }
}

// The texts a download shows, chunk by chunk, for a given announced size.
std::vector<std::string> progressTexts(std::int64_t announced) {
    std::vector<std::string> texts;
    for (std::int64_t requested = 0; requested < announced;) {
        requested = std::min(requested + 1024, announced);
        texts.push_back(percentageText(requested, announced));
    }
    return texts;
}

TEST(PercentageText, WholePercentRoundedDownExactly) {
    using Texts = std::vector<std::string>;
    EXPECT_EQ(progressTexts(3000), (Texts{"34%", "68%", "100%"}));
    EXPECT_EQ(progressTexts(1025), (Texts{"99%", "100%"}));
    EXPECT_EQ(progressTexts(1024), (Texts{"100%"}));
    EXPECT_EQ(progressTexts(1), (Texts{"100%"}));

    const Texts big = progressTexts(102400);
    ASSERT_EQ(big.size(), 100u);
    for (std::size_t chunk = 1; chunk <= big.size(); ++chunk) {
        EXPECT_EQ(big[chunk - 1], std::to_string(chunk) + "%");  // the 29th reads 29%, not 28%
    }
    EXPECT_EQ(progressTexts(102401).front(), "0%");

    // 100 * requested needs more than 32 bits here.
    EXPECT_EQ(percentageText(2147483646, 2147483647), "99%");
    EXPECT_EQ(percentageText(2147483647, 2147483647), "100%");
    EXPECT_EQ(percentageText(21474837, 2147483647), "1%");
}

TEST(NormaliseSiteAddress, SlashAndSchemeOnce) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"updates.velloran.example/updates", "http://updates.velloran.example/updates/"},
        {"updates.velloran.example/updates/", "http://updates.velloran.example/updates/"},
        {"http://127.0.0.1:8080/updates", "http://127.0.0.1:8080/updates/"},
        {"https://example.org/u/", "https://example.org/u/"},
        {"HTTP://example.org/u", "HTTP://example.org/u/"},
        {"HttpS://example.org/u", "HttpS://example.org/u/"},
        {"httpx://example.org", "http://httpx://example.org/"},
        {"http:/example.org", "http://http:/example.org/"},
        {"/", "http:///"},
    };
    for (const auto& [address, expected] : cases) {
        SCOPED_TRACE(address);
        EXPECT_EQ(normaliseSiteAddress(address), expected);
    }
}

TEST(EncodeRequestAddress, EscapesOnlyWhatCannotStandInAUrl) {
    const std::pair<std::string, std::string> cases[] = {
        {"http://h/updates//news.txt", "http://h/updates//news.txt"},
        {"http://h/u/my file.dat", "http://h/u/my%20file.dat"},
        {"http://h/u/caf\xC3\xA9.txt", "http://h/u/caf%C3%A9.txt"},
        {"http://h/u/a%20b?x=1&y=~", "http://h/u/a%20b?x=1&y=~"},
        {"a\"<>\\^`{|}b", "a%22%3C%3E%5C%5E%60%7B%7C%7Db"},
        {"http://h/u/level#1.map", "http://h/u/level%231.map"},
        {std::string("\0\t\x7F", 3), "%00%09%7F"},
        {"", ""},
    };
    for (const auto& [address, expected] : cases) {
        SCOPED_TRACE(address);
        EXPECT_EQ(encodeRequestAddress(address), expected);
    }
}

}  // namespace
