#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Tokenizers/Normalizer.hpp"
#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using namespace std::string_literals;

namespace {

std::string normalize(std::string_view definition, std::string_view text) {
    auto normalizer = NormalizerFactory::fromConfig(json(definition));
    return normalizer ? normalizer->normalize(text) : std::string(text);
}

const std::string eAcute = "\xC3\xA9";           // U+00E9
const std::string eCombining = "e\xCC\x81";      // e U+0301
const std::string metaspace = "\xE2\x96\x81";    // U+2581
const std::string fullwidthTilde = "\xEF\xBD\x9E";

}  // namespace

TEST(Normalizer, MissingOrUntypedSectionsGiveNone) {
    EXPECT_EQ(NormalizerFactory::fromConfig(std::nullopt), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(json("null")), nullptr);
    EXPECT_EQ(NormalizerFactory::fromConfig(json(R"({"lowercase": true})")), nullptr);
}

TEST(Normalizer, RejectedDefinitions) {
    struct Case {
        std::string definition;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Foo"})", "Unsupported Normalizer type: Foo"},
             {R"({"type": ""})", "Unsupported Normalizer type: "},
             {R"({"type": "Sequence"})", "No normalizers in Sequence"},
             {R"({"type": "Sequence", "normalizers": [null, {"type": "NFX"}]})", "Unsupported Normalizer type: NFX"},
             {R"({"type": "Replace", "pattern": {"Regex": "[a-"}, "content": "x"})", "Cannot build regexp from [a-"},
         }) {
        try {
            NormalizerFactory::fromConfig(json(c.definition));
            ADD_FAILURE() << c.definition;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
            EXPECT_EQ(error.localizedDescription(), c.message);
        }
    }
}

TEST(Normalizer, SimpleForms) {
    struct Case {
        std::string definition;
        std::string text;
        std::string expected;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Lowercase"})", "ÀB Привет ΟΔΟΣ İ", "àb привет οδοσ i\xCC\x87"},
             {R"({"type": "NFD"})", eAcute, eCombining},
             {R"({"type": "NFC"})", eCombining, eAcute},
             {R"({"type": "NFKD"})", "\xEF\xAC\x81" + eAcute, "fi" + eCombining},
             {R"({"type": "NFKC"})", "\xEF\xBC\xA1" + eCombining, "A" + eAcute},
             {R"({"type": "StripAccents"})", "\xEF\xAC\x81" + eAcute, "fi" + eAcute},
             {R"({"type": "StripAccents"})", eCombining, eAcute},
             {R"({"type": "Prepend", "prepend": "▁"})", "", metaspace},
             {R"({"type": "Prepend", "prepend": "▁"})", metaspace + "a", metaspace + metaspace + "a"},
             {R"({"type": "Prepend"})", "a", "a"},
             {R"({"type": "Strip"})", "  a\t", "a"},
             {R"({"type": "Strip", "strip_right": false})", "  a\t", "a\t"},
             {R"({"type": "Strip", "stripLeft": false, "stripRight": false})", " a ", " a "},
             {R"({"type": "Strip"})", "\xE3\x80\x80Привет \xCC\x81", "Привет"},  // ideographic space; space + mark
             {R"({"type": "Sequence", "normalizers": []})", "Ab", "Ab"},
             {R"({"type": "Sequence", "normalizers": [null, {"x": 1}, {"type": "NFD"}, {"type": "Lowercase"}]})",
              "É", eCombining},
         }) {
        EXPECT_EQ(normalize(c.definition, c.text), c.expected) << c.definition;
    }
}

TEST(Normalizer, Replace) {
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"String": " "}, "content": "▁"})", "a b  c"),
              "a" + metaspace + "b" + metaspace + metaspace + "c");
    EXPECT_EQ(normalize(R"j({"type": "Replace", "pattern": {"Regex": "(\\d+)-(\\d+)"}, "content": "$2..$1"})j",
                        "1-22 x 3-4"),
              "22..1 x 4..3");
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "})", "a    b"), "a b");
    // A dollar sign that names no group and a backslash escape stand for themselves.
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"Regex": "USD"}, "content": "$ and \\$1 \\"})", "5 USD"),
              "5 $ and $1 \\");
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"String": ""}, "content": "x"})", "ab"), "ab");
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"String": "a"}})", "ab"), "ab");
    EXPECT_EQ(normalize(R"({"type": "Replace", "content": "x"})", "ab"), "ab");
    EXPECT_EQ(normalize(R"({"type": "Replace", "pattern": {"Regex": "ü"}, "content": "ue"})", "Grüße 中ü"),
              "Grueße 中ue");
}

TEST(Normalizer, Bert) {
    const std::string chinese = "\xE4\xB8\xAD";  // U+4E2D
    for (const char* type : {"Bert", "BertNormalizer"}) {
        auto normalizer = NormalizerFactory::fromConfig(json(std::string(R"({"type": ")") + type + "\"}"));
        ASSERT_NE(normalizer, nullptr);
        auto* bert = dynamic_cast<BertNormalizer*>(normalizer.get());
        ASSERT_NE(bert, nullptr);
        EXPECT_TRUE(bert->shouldCleanText() && bert->shouldHandleChineseChars() && bert->shouldStripAccents() &&
                    bert->shouldLowercase());
        EXPECT_EQ(bert->normalize("Ab" + chinese + "C\t" + eAcute), "ab " + chinese + " c e");
    }
    struct Case {
        std::string definition;
        std::string text;
        std::string expected;
    };
    const std::string noChinese = R"("handle_chinese_chars": false)";
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Bert", "lowercase": false})", "É" + eCombining, "É" + eCombining},
             {R"({"type": "Bert", "lowercase": false, "strip_accents": true})", "É" + eAcute + "ñ\xD6\x91", "Ee" "n\xD6\x91"},
             {R"({"type": "Bert", "lowercase": true, "strip_accents": false})", "É", "é"},
             {R"({"type": "Bert", "strip_accents": false, "lowercase": false})", "a\tb\r\nc\x07\x00z"s.substr(0, 10),
              "a b c\x07"s + std::string(1, '\0') + "z"},
             {R"({"type": "Bert", "lowercase": false})", "ab" + chinese + "c", "ab " + chinese + " c"},
             {R"({"type": "Bert", "lowercase": false})", chinese + chinese, " " + chinese + "  " + chinese + " "},
             {R"({"type": "Bert", "lowercase": false})", "\xE3\x81\x81", "\xE3\x81\x81"},  // hiragana: not spaced
             {R"({"type": "Bert", "lowercase": false})", "\xF0\xA0\x80\x80", " \xF0\xA0\x80\x80 "},  // U+20000
             // A variation selector belongs to the ideograph's Character and stays inside the spaces.
             {R"({"type": "Bert", "lowercase": false})", chinese + "\xEF\xB8\x80!", " " + chinese + "\xEF\xB8\x80 !"},
             {R"({"type": "Bert", "clean_text": false, "lowercase": false, )" + noChinese + "}", "a\tb", "a\tb"},
             {R"({"type": "Bert", "lowercase": true})", "ПРИВЕТ", "привет"},
         }) {
        EXPECT_EQ(normalize(c.definition, c.text), c.expected) << c.definition;
    }
}

TEST(Normalizer, Precompiled) {
    struct Case {
        std::string text;
        std::string expected;
    };
    for (const auto& c : std::vector<Case>{
             {"a\xE2\x80\x8B" "b", "a b"},  // U+200B
             {"\xEF\xBC\xA1", "A"},
             {"x" + fullwidthTilde + fullwidthTilde + "y", "x" + fullwidthTilde + "y"},
             {fullwidthTilde, ""},
             {fullwidthTilde + "\xEF\xBC\xA1" + fullwidthTilde + "b" + fullwidthTilde, "A" + fullwidthTilde + "b"},
             {"a\x01\x7F" "b\tc\xC2\x8F" "d", "ab cd"},
             {std::string("a\0b", 3), std::string("a\0b", 3)},
             {"\xE2\x96\x81x\xEF\xBB\xBF", " x "},
             {"\xEF\xAC\x81", "fi"},
         }) {
        EXPECT_EQ(normalize(R"({"type": "Precompiled", "precompiled_charsmap": "AAAA"})", c.text), c.expected)
            << c.text;
    }
}
