#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "Platform/Foundation/Text.hpp"
#include "Tokenizers/ByteEncoder.hpp"

using namespace tokenizers;
namespace text = foundation::text;

TEST(ByteEncoder, KnownBytes) {
    const auto& encoder = byteEncoder();
    EXPECT_EQ(encoder[0x20], text::fromScalar(0x120));
    EXPECT_EQ(encoder[0x41], "A");
    EXPECT_EQ(encoder[0x00], text::fromScalar(0x100));
    EXPECT_EQ(encoder[0x7F], text::fromScalar(0x121));
    EXPECT_EQ(encoder[0xA0], text::fromScalar(0x142));
    EXPECT_EQ(encoder[0xAD], text::fromScalar(0x143));
    EXPECT_EQ(encoder[0xFF], text::fromScalar(0xFF));
    EXPECT_EQ(byteDecoder().at(text::fromScalar(0x120)), 0x20);
}

TEST(ByteEncoder, EveryByteIsOneVisibleCharacterAndRoundTrips) {
    const auto& encoder = byteEncoder();
    const auto& decoder = byteDecoder();
    std::set<std::string> seen;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const std::string& character = encoder[byte];
        auto scalars = text::toScalars(character);
        ASSERT_EQ(scalars.size(), 1u) << byte;
        EXPECT_FALSE(text::isWhitespaceOrNewline(scalars[0])) << byte;
        EXPECT_FALSE(text::isControl(scalars[0])) << byte;
        EXPECT_NE(text::generalCategory(scalars[0]), "Cf") << byte;
        EXPECT_TRUE(seen.insert(character).second) << byte;
        EXPECT_EQ(decoder.at(character), byte);
        EXPECT_EQ(byteEncodedScalar(static_cast<uint8_t>(byte)), scalars[0]);
        EXPECT_EQ(byteDecodedScalar(scalars[0]), byte);
    }
    EXPECT_EQ(decoder.size(), 256u);
    EXPECT_FALSE(byteDecodedScalar(U' ').has_value());
    EXPECT_FALSE(byteDecodedScalar(0x144).has_value());
    EXPECT_FALSE(byteDecodedScalar(0x1F600).has_value());
}

TEST(ByteEncoder, EncodesTheBytesOfText) {
    std::string out;
    appendByteEncoded(out, " é");  // 0x20 0xC3 0xA9
    EXPECT_EQ(out, text::fromScalar(0x120) + text::fromScalar(0xC3) + text::fromScalar(0xA9));
}

TEST(ByteEncoder, FirstUseFromManyThreadsSeesOneTable) {
    std::vector<std::thread> threads;
    std::vector<const void*> seen(8);
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] { seen[i] = &byteDecoder(); });
    }
    for (auto& t : threads) t.join();
    for (const void* p : seen) EXPECT_EQ(p, seen[0]);
}
