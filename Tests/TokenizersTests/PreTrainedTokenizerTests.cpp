#include <gtest/gtest.h>

#include <thread>

#include "ModelTestSupport.hpp"
#include "Tokenizers/BPETokenizer.hpp"
#include "Tokenizers/Tokenizer.hpp"
#include "Tokenizers/UnigramTokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::byteLevelDefinition;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;
using Ids = std::vector<int64_t>;

namespace {

// Byte-level text of plain text, as the byte-level pre-tokenizer writes it.
std::string byteLevel(std::string_view text) {
    std::string out;
    appendByteEncoded(out, text);
    return out;
}

PreTrainedTokenizer make(std::string_view config, const std::string& data, bool strict = true) {
    return PreTrainedTokenizer(json(config), json(data), strict);
}

// A SentencePiece-style BPE with byte fallback: spaces become U+2581, one is put in front, characters outside
// the vocabulary become byte tokens, and the decoder turns both back.
std::string byteFallbackDefinition(std::string_view preTokenizer = "null", std::string_view normalizer =
    R"({"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "▁"},
        {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]})") {
    std::string vocab = R"("<unk>": 0, "<s>": 1, "</s>": 2)";
    for (int byte = 0; byte < 256; ++byte) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", byte);
        vocab += ",\"" + std::string(name) + "\":" + std::to_string(3 + byte);
    }
    vocab += R"(, "▁": 259, "H": 260, "e": 261, "l": 262, "o": 263, "▁H": 264, "ll": 265, "▁He": 266, "▁Hell": 267,
        "▁Hello": 268, "м": 269, "и": 270, "р": 271, "▁м": 272, "▁ми": 273, "▁мир": 274, "h": 275, "▁h": 276)";
    return R"({"added_tokens": [
            {"id": 0, "content": "<unk>", "special": true},
            {"id": 1, "content": "<s>", "special": true},
            {"id": 2, "content": "</s>", "special": true}],
        "normalizer": )" + std::string(normalizer) + R"(,
        "pre_tokenizer": )" + std::string(preTokenizer) + R"(,
        "post_processor": {"type": "TemplateProcessing",
            "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}}],
            "pair": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                     {"Sequence": {"id": "B", "type_id": 1}}]},
        "decoder": {"type": "Sequence", "decoders": [
            {"type": "Replace", "pattern": {"String": "▁"}, "content": " "},
            {"type": "ByteFallback"}, {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
        "model": {"type": "BPE", "byte_fallback": true, "vocab": {)" +
           vocab + R"(}, "merges": ["▁ H", "l l", "▁H e", "▁He ll", "▁Hell o", "▁ м", "▁м и", "▁ми р", "▁ h"]}})";
}

constexpr const char* byteFallbackConfig =
    R"({"tokenizer_class": "LlamaTokenizerFast", "bos_token": "<s>", "eos_token": "</s>", "unk_token": "<unk>",
        "clean_up_tokenization_spaces": false})";

const char* wordPieceDefinition = R"({
    "added_tokens": [{"id": 0, "content": "[PAD]", "special": true}, {"id": 1, "content": "[UNK]", "special": true},
                     {"id": 2, "content": "[CLS]", "special": true}, {"id": 3, "content": "[SEP]", "special": true}],
    "normalizer": {"type": "BertNormalizer", "clean_text": true, "handle_chinese_chars": true,
                   "strip_accents": null, "lowercase": true},
    "pre_tokenizer": {"type": "BertPreTokenizer"},
    "post_processor": {"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                   {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]},
    "decoder": {"type": "WordPiece", "prefix": "##", "cleanup": true},
    "model": {"type": "WordPiece", "unk_token": "[UNK]", "vocab": {"[PAD]": 0, "[UNK]": 1, "[CLS]": 2, "[SEP]": 3,
        "hello": 4, ",": 5, "world": 6, "!": 7, "un": 8, "##aff": 9, "##able": 10, "cafe": 11, "中": 12, "文": 13,
        "мир": 14}}})";

const char* unigramDefinition = R"({
    "added_tokens": [{"id": 0, "content": "<pad>", "special": true}, {"id": 1, "content": "</s>", "special": true},
                     {"id": 2, "content": "<unk>", "special": true}],
    "pre_tokenizer": {"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "always"},
    "post_processor": {"type": "TemplateProcessing",
        "single": [{"Sequence": {"id": "A", "type_id": 0}}, {"SpecialToken": {"id": "</s>", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 0}}]},
    "decoder": {"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "always"},
    "model": {"type": "Unigram", "unk_id": 2, "vocab": [["<pad>", 0], ["</s>", 0], ["<unk>", 0], ["▁", -2],
        ["▁hello", -3], ["▁world", -3], ["▁при", -4], ["вет", -4], ["▁世界", -4], ["h", -5], ["e", -5], ["l", -5],
        ["o", -5]]}})";

}  // namespace

TEST(PreTrainedTokenizer, ByteLevelRoundTrips) {
    PreTrainedTokenizer tokenizer =
        make(R"({"tokenizer_class": "GPT2TokenizerFast", "clean_up_tokenization_spaces": false})",
             byteLevelDefinition({{"h", "e"}, {" ", "t"}, {" t", "he"}, {"l", "l"}, {"he", "ll"}, {"hell", "o"},
                                  {"\xD0", "\xBF"}}));
    EXPECT_NE(dynamic_cast<const BPETokenizer*>(&tokenizer.model()), nullptr);
    EXPECT_EQ(tokenizer.tokenize("hello the"), (Tokens{"hello", byteLevel(" the")}));
    EXPECT_EQ(tokenizer.encode("hello the"), (Ids{261, 258}));
    EXPECT_EQ(tokenizer.tokenize("п"), (Tokens{byteLevel("п")}));
    for (const std::string text : {"Hello world, the hell!", "Привет, мир! Съешь же ещё этих булок.",
                                   "你好，世界。日本語のテキスト", "emoji 👍🏽 and 🇺🇦 and 👨‍👩‍👧 done",
                                   "tabs\tand\nnew lines  and   spaces ", "e\xCC\x81t\xC3\xA9", ""}) {
        Ids ids = tokenizer.encode(text);
        EXPECT_EQ(tokenizer.decode(ids), text);
        // Encoding takes its ids from the piece cache; they are the ids of the tokens.
        Ids converted;
        for (const auto& id : tokenizer.convertTokensToIds(tokenizer.tokenize(text))) {
            converted.push_back(id.value_or(-1));
        }
        EXPECT_EQ(ids, converted);
        EXPECT_EQ(tokenizer.encode(text, false), ids);  // the byte-level post-processor adds nothing
    }
}

// Decomposed text with a definition whose merges and vocabulary hold the composed é: the decomposed é is no
// merge symbol, so the U+2581 before it stays a token of its own and decodes as the space it stands for.
TEST(PreTrainedTokenizer, DecomposedTextRoundTrips) {
    std::string definition = byteFallbackDefinition();
    auto insert = [&](std::string_view after, std::string_view added) {
        definition.insert(definition.find(after) + after.size(), added);
    };
    insert(R"("▁h": 276)", R"(, "é": 277, "▁é": 278)");
    insert(R"("▁ h")", R"(, "▁ é")");
    PreTrainedTokenizer tokenizer = make(byteFallbackConfig, definition);
    EXPECT_EQ(tokenizer.tokenize("\u00e9"), (Tokens{"▁é"}));
    for (const std::string text : {"e\u0301te\u0301", "Hello e\u0301te\u0301 e\u0301", "\u00e9 e\u0301"}) {
        EXPECT_EQ(tokenizer.decode(tokenizer.encode(text), true), text) << text;
    }
}

TEST(PreTrainedTokenizer, ByteFallbackRoundTrips) {
    PreTrainedTokenizer tokenizer = make(byteFallbackConfig, byteFallbackDefinition());
    EXPECT_EQ(tokenizer.tokenize("Hello мир"), (Tokens{"▁Hello", "▁мир"}));
    EXPECT_EQ(tokenizer.tokenize("Hé"), (Tokens{"▁H", "<0xC3>", "<0xA9>"}));
    EXPECT_EQ(tokenizer.encode("Hello"), (Ids{1, 268}));
    EXPECT_EQ(tokenizer.encode("Hello", false), (Ids{268}));
    EXPECT_EQ(tokenizer.bosTokenId(), 1);
    EXPECT_EQ(tokenizer.eosTokenId(), 2);
    EXPECT_EQ(tokenizer.unknownTokenId(), 0);
    for (const std::string text : {"Hello мир", "Hello, world!", "Привет, мир", "中文 and 👍🏽🇺🇦", "  two  spaces"}) {
        EXPECT_EQ(tokenizer.decode(tokenizer.encode(text), true), text) << text;
    }
    // Special ids are dropped only on request; an unknown id is skipped.
    EXPECT_EQ(tokenizer.decode({1, 268, 2}), "<s> Hello</s>");
    EXPECT_EQ(tokenizer.decode({1, 268, 2, 999999, -5}, true), "Hello");
}

TEST(PreTrainedTokenizer, WordPiecePipeline) {
    PreTrainedTokenizer tokenizer = make(R"({"tokenizer_class": "BertTokenizer"})", wordPieceDefinition);
    Ids ids = tokenizer.encode("Hello, WORLD! Unaffable café 中文 МИР");
    EXPECT_EQ(ids, (Ids{2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 3}));
    EXPECT_EQ(tokenizer.decode(ids, true), "hello, world! unaffable cafe 中 文 мир");
    EXPECT_EQ(tokenizer.encode("[CLS] hello [SEP]", false), (Ids{2, 4, 3}));
    EXPECT_EQ(tokenizer.encode("zzz", false), (Ids{1}));
}

TEST(PreTrainedTokenizer, UnigramPipeline) {
    PreTrainedTokenizer tokenizer =
        make(R"({"tokenizer_class": "T5Tokenizer", "eos_token": "</s>"})", unigramDefinition);
    EXPECT_NE(dynamic_cast<const T5Tokenizer*>(&tokenizer.model()), nullptr);
    EXPECT_EQ(tokenizer.tokenize("hello world"), (Tokens{"▁hello", "▁world"}));
    EXPECT_EQ(tokenizer.encode("hello world"), (Ids{4, 5, 1}));
    EXPECT_EQ(tokenizer.decode(tokenizer.encode("hello world привет 世界"), true), "hello world привет 世界");
    // Unknown runs fuse within a section, not across added tokens.
    EXPECT_EQ(tokenizer.tokenize("hello 😀😀😀"), (Tokens{"▁hello", "▁", "😀"}));
    EXPECT_EQ(tokenizer.encode("hello 😀😀😀", false), (Ids{4, 3, 2}));
    EXPECT_EQ(tokenizer.tokenize("<unk><unk>"), (Tokens{"<unk>", "<unk>"}));
}

TEST(PreTrainedTokenizer, FusingUnknownTokensFollowsTheConfiguration) {
    // No byte tokens in this vocabulary: the byte tokens of é are unknown.
    std::string data = R"({"model": {"type": "BPE", "vocab": {"<unk>": 0, "a": 1}, "merges": []}})";
    for (bool fuse : {true, false}) {
        PreTrainedTokenizer tokenizer = make(std::string(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>",
                                                            "fuse_unk": )") + (fuse ? "true" : "false") + "}",
                                             data);
        EXPECT_EQ(tokenizer.encode("a\xC3\xA9\xC3\xA9" "a"), fuse ? (Ids{1, 0, 1}) : (Ids{1, 0, 0, 0, 0, 1}));
    }
}

TEST(PreTrainedTokenizer, AddedTokensCutTheText) {
    struct Case {
        std::string addedTokens;
        std::string text;
        Tokens tokens;
    };
    const std::string b = byteLevel(" ");
    const std::vector<Case> cases = {
        // The longer of two tokens with a common start comes first in the pattern.
        {R"({"id": 300, "content": "<a>"}, {"id": 301, "content": "<a>b"})", "x<a>b<a>", {"x", "<a>b", "<a>"}},
        {R"({"id": 300, "content": "<m>", "lstrip": true})", "hi <m>", {"h", "i", "<m>"}},
        {R"({"id": 300, "content": "<m>"})", "hi <m>", {"h", "i", b, "<m>"}},
        {R"({"id": 300, "content": "<m>", "rstrip": true})", "<m>  x", {"<m>", "x"}},
        // Equal lengths in Characters keep the file's order.
        {R"({"id": 300, "content": "x"}, {"id": 301, "content": "x\u0301"})", "x\u0301", {"x", byteLevel("\xCC"), byteLevel("\x81")}},
        {R"({"id": 301, "content": "x\u0301"}, {"id": 300, "content": "x"})", "x\u0301", {"x\u0301"}},
        // An empty token neither cuts the text nor becomes a token; an entry without content is skipped.
        {R"({"id": 300, "content": ""}, {"id": 301})", "abc", {"abc"}},
        {R"({"id": 300, "content": "", "lstrip": true, "rstrip": true})", " abc ", {b, "abc", b}},
    };
    for (const auto& c : cases) {
        PreTrainedTokenizer tokenizer = make(R"({"tokenizer_class": "GPT2Tokenizer"})",
                                             byteLevelDefinition({{"a", "b"}, {"ab", "c"}}, c.addedTokens));
        EXPECT_EQ(tokenizer.tokenize(c.text), c.tokens) << c.addedTokens << " on " << c.text;
    }
    PreTrainedTokenizer tokenizer = make(R"({"tokenizer_class": "GPT2Tokenizer"})",
                                         byteLevelDefinition({}, R"({"id": 300, "content": "<m>"})"));
    EXPECT_EQ(tokenizer.encode("<m>a<m>"), (Ids{300, 97, 300}));
    EXPECT_EQ(tokenizer.addedTokens(), (std::unordered_set<std::string>{"<m>"}));
    EXPECT_TRUE(tokenizer.specialTokens().empty());
    PreTrainedTokenizer withEmpty = make(R"({"tokenizer_class": "GPT2Tokenizer"})",
                                         byteLevelDefinition({}, R"({"id": 300, "content": ""})"));
    EXPECT_EQ(withEmpty.tokenize(""), (Tokens{}));
}

TEST(PreTrainedTokenizer, OnlyTheFirstSectionIsFirst) {
    // Metaspace with the "first" scheme puts U+2581 only before the text's first section.
    PreTrainedTokenizer tokenizer = make(byteFallbackConfig, byteFallbackDefinition(
        R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"})", "null"));
    EXPECT_EQ(tokenizer.tokenize("Hello"), (Tokens{"▁Hello"}));
    EXPECT_EQ(tokenizer.tokenize("<s>Hello"), (Tokens{"<s>", "H", "e", "ll", "o"}));
    EXPECT_EQ(tokenizer.tokenize("h<s>h"), (Tokens{"▁h", "<s>", "h"}));
}

TEST(PreTrainedTokenizer, CleanUpOfDecodedText) {
    struct Case {
        std::string config;
        std::string text;
        std::string decoded;
    };
    const std::vector<Case> cases = {
        {R"({"tokenizer_class": "GPT2Tokenizer"})", "Hello , world !", "Hello, world!"},
        {R"({"tokenizer_class": "GPT2Tokenizer"})", "do n't , I 'm here .", "don't, I'm here."},
        {R"({"tokenizer_class": "GPT2Tokenizer"})", "it ' s they 're we 've he 's ?", "it's they're we've he's?"},
        {R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": true})", "a .", "a."},
        {R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})", "Hello , world !",
         "Hello , world !"},
    };
    for (const auto& c : cases) {
        PreTrainedTokenizer tokenizer = make(c.config, byteLevelDefinition());
        EXPECT_EQ(tokenizer.decode(tokenizer.encode(c.text)), c.decoded) << c.text;
    }
}

TEST(PreTrainedTokenizer, ModelClassAndRefusals) {
    std::string data = byteLevelDefinition();
    EXPECT_NO_THROW(make(R"({"tokenizer_class": "LlamaTokenizerFast"})", data));
    EXPECT_NO_THROW(make(R"({"tokenizer_class": "WhisperTokenizer"})", data));

    ::testing::internal::CaptureStdout();
    PreTrainedTokenizer fallback = make(R"({"tokenizer_class": "FooTokenizerFast"})", data, false);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Warning: Tokenizer model class FooTokenizer is not registered, falling back to a standard BPE "
              "implementation.\n");
    EXPECT_NE(dynamic_cast<const BPETokenizer*>(&fallback.model()), nullptr);

    struct Refusal {
        std::string config;
        std::string data;
        TokenizerError expected;
    };
    const std::vector<Refusal> refusals = {
        {R"({"tokenizer_class": "FooTokenizerFast"})", data, TokenizerError::unsupportedTokenizer("FooTokenizer")},
        {"{}", data, TokenizerError::missingTokenizerClassInConfig()},
        {R"({"tokenizer_class": 3})", data, TokenizerError::missingTokenizerClassInConfig()},
        {R"({"tokenizer_class": "GPT2Tokenizer"})", R"({"model": {"vocab": {}}})",
         TokenizerError::invalidDefinition("BPETokenizer requires merges")},
        {R"({"tokenizer_class": "GPT2Tokenizer"})", R"({"pre_tokenizer": {"type": "Nope"}})",
         TokenizerError::invalidDefinition("Unsupported PreTokenizer type: Nope")},
        {R"({"tokenizer_class": "BertTokenizer"})", R"({"model": {"vocab": []}})", TokenizerError::missingVocab()},
        {R"({"tokenizer_class": "T5Tokenizer"})", R"({"model": {"vocab": [["a", "b"]], "unk_id": 0}})",
         TokenizerError::malformedVocab()},
    };
    for (const auto& refusal : refusals) {
        try {
            make(refusal.config, refusal.data);
            ADD_FAILURE() << refusal.config << " " << refusal.data;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error, refusal.expected) << error.describe();
        }
    }
}

// A token that neither the vocabulary nor an unknown token can give an id is an error, not a crash or a
// silently shorter encoding.
TEST(PreTrainedTokenizer, TokenWithoutIdIsAnError) {
    PreTrainedTokenizer tokenizer =
        make(R"({"tokenizer_class": "GPT2Tokenizer", "unk_token": "<unk>"})",
             R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": []}})");
    EXPECT_EQ(tokenizer.encode("aa"), (Ids{0, 0}));
    try {
        tokenizer.encode("a\xC3\xA9");
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
        EXPECT_EQ(error.localizedDescription(),
                  "The token \"<0xC3>\" is not in the vocabulary, which has no unknown token");
    }
}

TEST(PreTrainedTokenizer, ChatTemplatePresence) {
    const std::string data = byteLevelDefinition();
    for (auto [value, expected] : std::vector<std::pair<std::string, bool>>{
             {"\"\"", true}, {"[]", true}, {"{}", true}, {"null", false}}) {
        PreTrainedTokenizer tokenizer =
            make(R"({"tokenizer_class": "GPT2Tokenizer", "chat_template": )" + value + "}", data);
        EXPECT_EQ(tokenizer.hasChatTemplate(), expected) << value;
    }
    EXPECT_FALSE(make(R"({"tokenizer_class": "GPT2Tokenizer"})", data).hasChatTemplate());
}

TEST(PreTrainedTokenizer, ManyThreadsEncodeAtOnce) {
    PreTrainedTokenizer tokenizer =
        make(R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false})",
             byteLevelDefinition({{"h", "e"}, {" ", "t"}, {" t", "he"}, {"l", "l"}},
                                 R"({"id": 300, "content": "<|end|>", "special": true})"));
    const std::vector<std::string> texts = {"the hello <|end|> world", "Привет, мир 👍🏽", std::string(200, 'l') + " x"};
    std::vector<Ids> expected;
    for (const std::string& text : texts) {
        expected.push_back(tokenizer.encode(text));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200; ++round) {
                size_t k = static_cast<size_t>(t + round) % texts.size();
                Ids ids = tokenizer.encode(texts[k]);
                if (ids != expected[k] || tokenizer.decode(ids) != texts[k]) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}
