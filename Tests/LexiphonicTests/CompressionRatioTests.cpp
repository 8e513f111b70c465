#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "LogCapture.hpp"
#include "Lexiphonic/Utilities/TextUtilities.hpp"
#include "Platform/Foundation/Compression.hpp"

using namespace lexiphonic;

TEST(CompressionRatioTests, TokensAreLittleEndian32BitIntegers) {
    const std::string raw("\x01\x00\x00\x00\x00\x01\x00\x00", 8);
    EXPECT_EQ(compressionRatio(std::vector<int64_t>{1, 256}), 8.0f / static_cast<float>(foundation::deflateRaw(raw).size()));
    const float single = TextUtilities::compressionRatio(std::vector<int64_t>{50364});
    EXPECT_LT(single, 1.0f);
    EXPECT_EQ(single, 4.0f / static_cast<float>(foundation::deflateRaw(std::string("\xbc\xc4\x00\x00", 4)).size()));
    EXPECT_EQ(compressionRatio(std::vector<int64_t>{}), 0.0f);
}

TEST(CompressionRatioTests, RepetitionRaisesTheRatio) {
    std::vector<int64_t> repeated(200, 1234), distinct;
    for (int64_t i = 0; i < 200; ++i) distinct.push_back(i * 7919 % 50000);
    EXPECT_GT(compressionRatio(repeated), 10.0f);
    EXPECT_LT(compressionRatio(distinct), 2.0f);
}

TEST(CompressionRatioTests, TextForm) {
    lexiphonic::testing::LogCapture log(pellux::Logging::LogLevel::debug);
    EXPECT_EQ(compressionRatio(std::string_view()), std::numeric_limits<float>::infinity());
    EXPECT_TRUE(log.messages.empty());
    const std::string text = "h\u00e9llo h\u00e9llo h\u00e9llo h\u00e9llo";
    EXPECT_EQ(TextUtilities::compressionRatio(text),
              static_cast<float>(text.size()) / static_cast<float>(foundation::deflateRaw(text).size()));
}
