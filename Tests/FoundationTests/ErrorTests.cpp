#include <gtest/gtest.h>

#include <string>

#include "Platform/Foundation/Error.hpp"

namespace {

using foundation::debugQuoted;
using foundation::describeCase;

TEST(DebugQuoted, EscapesLikeTheDebugPrintOfAString) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"it's", R"("it\'s")"},
        {"back\\slash", R"("back\\slash")"},
        {"a\nb\rc\td", R"("a\nb\rc\td")"},
        {std::string("nul\0here", 8), R"("nul\0here")"},
        {"\x1b[0m\x7f", R"("\u{1B}[0m\u{7F}")"},
        // Non-ASCII text is kept as it is, control or not.
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xF0\x9F\x98\x80\""},
        // A combining mark is kept after a letter but escaped where it would fuse with the quote or an escape.
        {"e\xCC\x81", "\"e\xCC\x81\""},
        {"\xCC\x81x", R"("\u{0301}x")"},
        {"\n\xCC\x81", R"("\n\u{0301}")"},
        // Ill-formed bytes read as U+FFFD, one per maximal ill-formed subpart.
        {"a\xE2\x82z\xFF", "\"a\xEF\xBF\xBDz\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debugQuoted(c.input), c.expected) << c.input;
    }
}

TEST(DescribeCase, WritesTheCaseNameWithAQuotedPayload) {
    EXPECT_EQ(describeCase("transcriptionFailed", "no \"model\"\n"), R"(transcriptionFailed("no \"model\"\n"))");
    EXPECT_EQ(describeCase("modelsUnavailable", ""), R"(modelsUnavailable(""))");
    EXPECT_EQ(describeCase("cancelled"), "cancelled");
}

class SampleError : public foundation::Error {
public:
    explicit SampleError(std::string message) : message_(std::move(message)) { setWhat(describe()); }
    std::string localizedDescription() const override { return message_; }
    std::string describe() const override { return describeCase("sample", message_); }

private:
    std::string message_;
};

TEST(Error, WhatIsTheDefaultTextualForm) {
    try {
        throw SampleError("bad \"input\"");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), R"(sample("bad \"input\""))");
    }
    foundation::RuntimeError plain("disk full");
    EXPECT_STREQ(plain.what(), "disk full");
    EXPECT_EQ(plain.localizedDescription(), "disk full");
}

}  // namespace
