#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/Decoder.hpp"
#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

std::unique_ptr<Decoder> build(std::string_view definition,
                               std::optional<std::unordered_set<std::string>> addedTokens = std::nullopt) {
    return DecoderFactory::fromConfig(json(definition), addedTokens);
}

Tokens decode(std::string_view definition, const Tokens& tokens) { return build(definition)->decode(tokens); }

std::string byteLevel(std::string_view text) {
    std::string out;
    appendByteEncoded(out, text);
    return out;
}

const std::string metaspace = "\xE2\x96\x81";  // U+2581
const std::string replacementCharacter = "\xEF\xBF\xBD";

}  // namespace

TEST(Decoder, MissingOrUntypedSectionsGiveNone) {
    EXPECT_EQ(DecoderFactory::fromConfig(std::nullopt), nullptr);
    EXPECT_EQ(DecoderFactory::fromConfig(json("null")), nullptr);
    EXPECT_EQ(build(R"({"prefix": "##"})"), nullptr);
}

TEST(Decoder, RejectedDefinitions) {
    struct Case {
        std::string definition;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Foo"})", "Unsupported Decoder type: Foo"},
             {R"({"type": ""})", "Unsupported Decoder type: "},
             {R"({"type": "Sequence"})", "No decoders in Sequence"},
             {R"({"type": "Sequence", "decoders": [{"type": "Bar"}]})", "Unsupported Decoder type: Bar"},
             {R"({"type": "WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
             {R"({"type": "WordPiece", "prefix": 1})", "Missing `prefix` configuration for WordPieceDecoder."},
             {R"({"type": "Strip", "start": 1, "stop": 0})",
              "Incorrect StripDecoder configuration: can't parse `content`."},
             {R"({"type": "Strip", "content": " ", "stop": 0})",
              "Incorrect StripDecoder configuration: can't parse `start`."},
             {R"({"type": "Strip", "content": " ", "start": 1.5, "stop": 0})",
              "Incorrect StripDecoder configuration: can't parse `start`."},
             {R"({"type": "Strip", "content": " ", "start": 1, "stop": "0"})",
              "Incorrect StripDecoder configuration: can't parse `stop`."},
             {R"({"type": "Replace", "pattern": {"Regex": "(?<"}, "content": ""})", "Cannot build regexp from (?<"},
         }) {
        try {
            build(c.definition);
            ADD_FAILURE() << c.definition;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
            EXPECT_EQ(error.localizedDescription(), c.message);
        }
    }
}

TEST(Decoder, WordPiece) {
    const std::string plain = R"({"type": "WordPiece", "prefix": "##"})";
    EXPECT_EQ(decode(plain, {"un", "##aff", "##able"}), (Tokens{"un", "aff", "able"}));
    EXPECT_EQ(decode(plain, {"hello", "world"}), (Tokens{"hello", " world"}));
    EXPECT_EQ(decode(plain, {"##a", "b"}), (Tokens{"##a", " b"}));
    EXPECT_EQ(decode(plain, {}), Tokens{});
    EXPECT_EQ(decode(plain, {"при", "##вет", "мир"}), (Tokens{"при", "вет", " мир"}));
    const std::string cleanup = R"({"type": "WordPiece", "prefix": "##", "cleanup": true})";
    EXPECT_EQ(decode(cleanup, {"do", "n't"}), (Tokens{"do", "n't"}));
    EXPECT_EQ(decode(cleanup, {"hi", "."}), (Tokens{"hi", "."}));
    EXPECT_EQ(decode(cleanup, {"I", "do not", "?"}), (Tokens{"I", " don't", "?"}));
    EXPECT_EQ(decode(cleanup, {"a ,b"}), Tokens{"a,b"});
}

TEST(Decoder, ByteLevel) {
    auto decoder = build(R"({"type": "ByteLevel"})", std::unordered_set<std::string>{"X", "<|endoftext|>"});
    EXPECT_EQ(decoder->decode({byteLevel("Hel"), byteLevel("lo"), "X", byteLevel(" мир"), byteLevel(" 😀")}),
              (Tokens{"Hello", "X", " мир 😀"}));
    EXPECT_EQ(decoder->decode({"<|endoftext|>"}), Tokens{"<|endoftext|>"});
    // A character split over two tokens comes back whole; a lone byte of it becomes U+FFFD.
    std::string chinese = byteLevel("中");
    EXPECT_EQ(decoder->decode({chinese.substr(0, 2), chinese.substr(2)}), Tokens{"中"});
    EXPECT_EQ(decoder->decode({chinese.substr(0, 2), "X"}), (Tokens{replacementCharacter, "X"}));
    EXPECT_EQ(decoder->decode({}), Tokens{});
    // Inside a sequence the decoder has no added tokens: ASCII ones still read as their own bytes.
    auto inSequence = build(R"({"type": "Sequence", "decoders": [{"type": "ByteLevel"}]})",
                            std::unordered_set<std::string>{"X"});
    EXPECT_EQ(inSequence->decode({"X", byteLevel(" y")}), Tokens{"X y"});
}

// A character outside the byte-level alphabet stands for its own UTF-8 bytes, so decoding never throws: an
// added token inside a sequence (whose byte-level decoder knows no added tokens) comes back as written.
TEST(Decoder, ByteLevelPassesCharactersOutsideItsAlphabet) {
    struct Case {
        std::string definition;
        Tokens tokens;
        Tokens decoded;
    };
    const std::string sequence = R"({"type": "Sequence", "decoders": [{"type": "ByteLevel"}]})";
    const std::string end = "<｜end｜>";
    const std::vector<Case> cases = {
        {sequence, {byteLevel("Hi"), end, byteLevel(" there")}, {"Hi" + end + " there"}},
        {sequence, {end}, {end}},
        {R"({"type": "ByteLevel"})", {"ok", metaspace + "a"}, {"ok" + metaspace + "a"}},
        {R"({"type": "ByteLevel"})", {"a b"}, {"a b"}},
        // Ill-formed bytes read as UTF-8 become U+FFFD.
        {R"({"type": "ByteLevel"})", {"a", "\xFF"}, {"a" + replacementCharacter}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.definition, c.tokens), c.decoded) << c.definition;
    }
}

TEST(Decoder, ByteFallback) {
    const std::string definition = R"({"type": "ByteFallback"})";
    EXPECT_EQ(decode(definition, {"<0xE4>", "<0xBD>", "<0xA0>"}), Tokens{"你"});
    EXPECT_EQ(decode(definition, {"<0x41>", "b", "<0x42>"}), (Tokens{"A", "b", "B"}));
    EXPECT_EQ(decode(definition, {"<0xE4>"}), Tokens{replacementCharacter});
    EXPECT_EQ(decode(definition, {"<0xZZ>", "<0x4>", "<0x41>>"}), (Tokens{"<0xZZ>", "<0x4>", "<0x41>>"}));
    EXPECT_EQ(decode(definition, {"a", "<0xF0>", "<0x9F>", "<0x98>", "<0x80>"}), (Tokens{"a", "😀"}));
    // A leading sign is part of the number; a negative number names no byte and is ordinary text.
    EXPECT_EQ(decode(definition, {"<0x+A>", "<0x-0>", "<0x-1>"}), (Tokens{std::string("\n\0", 2), "<0x-1>"}));
}

TEST(Decoder, ReplaceFuseStripMetaspace) {
    EXPECT_EQ(decode(R"({"type": "Replace", "pattern": {"String": "▁"}, "content": " "})",
                     {metaspace + "Hi", "a" + metaspace}),
              (Tokens{" Hi", "a "}));
    EXPECT_EQ(decode(R"j({"type": "Replace", "pattern": {"Regex": "(a+)"}, "content": "<$1>"})j", {"baab"}),
              Tokens{"b<aa>b"});
    EXPECT_EQ(decode(R"({"type": "Replace"})", {"x"}), Tokens{"x"});
    EXPECT_EQ(decode(R"({"type": "Fuse"})", {}), Tokens{""});
    EXPECT_EQ(decode(R"({"type": "Fuse"})", {"a", " b", "中"}), Tokens{"a b中"});
    EXPECT_EQ(decode(R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})", {"  a "}), Tokens{" a "});
    EXPECT_EQ(decode(R"({"type": "Strip", "content": "x", "start": 5, "stop": 2})", {"  a   ", "   "}),
              (Tokens{"a ", ""}));
    EXPECT_EQ(decode(R"({"type": "Strip", "content": " ", "start": -1, "stop": 0})", {" a"}), Tokens{" a"});
    EXPECT_EQ(decode(R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true})",
                     {metaspace + "Hello", metaspace + "world"}),
              (Tokens{"Hello", " world"}));
    EXPECT_EQ(decode(R"({"type": "Metaspace"})", {"_a_b", "_c"}), (Tokens{" a b", " c"}));
    EXPECT_EQ(decode(R"({"type": "Metaspace", "add_prefix_space": true})", {}), Tokens{});
}

TEST(Decoder, Sequence) {
    EXPECT_EQ(decode(R"({"type": "Sequence", "decoders": []})", {"a", "b"}), (Tokens{"a", "b"}));
    const std::string sentencePiece = R"({"type": "Sequence", "decoders": [
        {"type": "Replace", "pattern": {"String": "▁"}, "content": " "}, {"type": "ByteFallback"}, {"type": "Fuse"},
        {"type": "Strip", "content": " ", "start": 1, "stop": 0}, null]})";
    EXPECT_EQ(decode(sentencePiece, {metaspace + "Привет", metaspace, "<0xE4>", "<0xB8>", "<0xAD>", "!"}),
              Tokens{"Привет 中!"});
}
