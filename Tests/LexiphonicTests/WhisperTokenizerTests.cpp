#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "DecodingTestSupport.hpp"
#include "Lexiphonic/Core/Text/WhisperTokenizerWrapper.hpp"
#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"
#include "Platform/Foundation/Text.hpp"
#include "Platform/NaturalLanguage/NLLanguageRecognizer.hpp"

using namespace lexiphonic;
using Tokens = std::vector<int64_t>;

namespace {

// Each id stands for a byte string; decoding joins the bytes and repairs them as UTF-8, so ids that cut
// a character apart decode to U+FFFD.
class ByteTokenizer : public tokenizers::Tokenizer {
public:
    explicit ByteTokenizer(std::map<int64_t, std::string> pieces) : pieces_(std::move(pieces)) {
        for (const auto& [id, piece] : pieces_) ids_[piece] = id;
    }
    std::vector<std::string> tokenize(std::string_view) const override { return {}; }
    std::vector<int64_t> encode(std::string_view text) const override { return encode(text, true); }
    std::vector<int64_t> encode(std::string_view text, bool) const override {
        if (auto id = convertTokenToId(text)) return {*id};
        return {};
    }
    using tokenizers::Tokenizer::decode;
    std::string decode(const std::vector<int64_t>& tokens, bool) const override {
        std::string bytes;
        for (int64_t id : tokens)
            if (auto found = pieces_.find(id); found != pieces_.end()) bytes += found->second;
        return foundation::text::repairedUTF8(bytes);
    }
    std::optional<int64_t> convertTokenToId(std::string_view token) const override {
        if (auto found = ids_.find(std::string(token)); found != ids_.end()) return found->second;
        return std::nullopt;
    }
    std::optional<std::string> convertIdToToken(int64_t id) const override {
        if (auto found = pieces_.find(id); found != pieces_.end()) return found->second;
        return std::nullopt;
    }
    std::optional<std::string> bosToken() const override { return std::nullopt; }
    std::optional<int64_t> bosTokenId() const override { return std::nullopt; }
    std::optional<std::string> eosToken() const override { return std::nullopt; }
    std::optional<int64_t> eosTokenId() const override { return std::nullopt; }
    std::optional<std::string> unknownToken() const override { return std::nullopt; }
    std::optional<int64_t> unknownTokenId() const override { return std::nullopt; }
    using Messages = std::vector<tokenizers::Message>;
    using Tools = std::optional<std::vector<tokenizers::ToolSpec>>;
    [[noreturn]] static std::vector<int64_t> noTemplates() { throw std::logic_error("no chat templates"); }
    std::vector<int64_t> applyChatTemplate(const Messages&) const override { noTemplates(); }
    std::vector<int64_t> applyChatTemplate(const Messages&, const Tools&) const override { noTemplates(); }
    std::vector<int64_t> applyChatTemplate(const Messages&, const Tools&, const std::optional<tokenizers::Message>&) const override {
        noTemplates();
    }
    std::vector<int64_t> applyChatTemplate(const Messages&, const tokenizers::ChatTemplateArgument&) const override {
        noTemplates();
    }
    std::vector<int64_t> applyChatTemplate(const Messages&, const std::string&) const override { noTemplates(); }
    std::vector<int64_t> applyChatTemplate(const Messages&, const std::optional<tokenizers::ChatTemplateArgument>&, bool, bool,
                                           std::optional<int64_t>, const Tools&) const override {
        noTemplates();
    }
    std::vector<int64_t> applyChatTemplate(const Messages&, const std::optional<tokenizers::ChatTemplateArgument>&, bool, bool,
                                           std::optional<int64_t>, const Tools&,
                                           const std::optional<tokenizers::Message>&) const override {
        noTemplates();
    }

private:
    std::map<int64_t, std::string> pieces_;
    std::map<std::string, int64_t> ids_;
};

// A multilingual Whisper layout's special tokens plus the given text pieces.
WhisperTokenizerWrapper whisper(std::map<int64_t, std::string> pieces) {
    for (const auto& [id, content] : coreml::whisper::whisperSpecialTokens(51865).tokens) pieces.emplace(id, content);
    return WhisperTokenizerWrapper(std::make_shared<ByteTokenizer>(std::move(pieces)), "/models/tokenizer");
}

}  // namespace

TEST(WhisperTokenizerTests, SpecialAndLanguageTokens) {
    const auto full = whisper({{220, " "}});
    EXPECT_EQ(full.specialTokens(), SpecialTokens{});  // the real layout has the fixed ids
    EXPECT_EQ(full.allLanguageTokens().size(), 99u);
    EXPECT_TRUE(full.allLanguageTokens().contains(50259));
    EXPECT_EQ(full.tokenizerFolder(), std::filesystem::path("/models/tokenizer"));
    EXPECT_EQ(full.convertTokenToId("<|de|>"), 50261);
    EXPECT_EQ(full.convertIdToToken(50358), "<|translate|>");
    EXPECT_EQ(full.decode({50258, 220}), "<|startoftranscript|> ");

    // Nothing known: the fixed ids; a language token inside the text range is left out.
    const WhisperTokenizerWrapper bare(std::make_shared<ByteTokenizer>(std::map<int64_t, std::string>{{7, "<|endoftext|>"}, {5, "<|en|>"}, {9, "<|de|>"}}));
    EXPECT_EQ(bare.specialTokens().endToken, 7);
    EXPECT_EQ(bare.specialTokens().specialTokenBegin, 7);
    EXPECT_EQ(bare.specialTokens().englishToken, 5);
    EXPECT_EQ(bare.specialTokens().timeTokenBegin, 50364);
    EXPECT_EQ(bare.allLanguageTokens(), (std::set<int64_t>{9}));
    const WhisperTokenizerWrapper none(std::make_shared<ByteTokenizer>(std::map<int64_t, std::string>{}));
    EXPECT_EQ(none.specialTokens(), SpecialTokens{});
    EXPECT_EQ(none.specialTokens().endToken, 50257);
    EXPECT_TRUE(none.allLanguageTokens().empty());
}

TEST(WhisperTokenizerTests, SpaceSplit) {
    const auto tokenizer = whisper({{1, "Hello"}, {2, " wor"}, {3, "ld"}, {4, ","}, {5, " again"}});
    EXPECT_EQ(tokenizer.splitToWordTokens({}).words, std::vector<std::string>{});
    const auto split = tokenizer.splitToWordTokens({1, 2, 3, 4});
    EXPECT_EQ(split.words, (std::vector<std::string>{"Hello", " world", ","}));
    EXPECT_EQ(split.wordTokens, (std::vector<Tokens>{{1}, {2, 3}, {4}}));

    // Special and timestamp tokens start words of their own; pieces after them without a space join them.
    const auto marked = tokenizer.splitToWordTokens({50258, 50364, 3, 5, 50414, 50257});
    EXPECT_EQ(marked.words, (std::vector<std::string>{"<|startoftranscript|>", "<|0.00|>ld", " again", "<|1.00|>", "<|endoftext|>"}));
    EXPECT_EQ(marked.wordTokens, (std::vector<Tokens>{{50258}, {50364, 3}, {5}, {50414}, {50257}}));
}

TEST(WhisperTokenizerTests, UnicodeSplit) {
    // "こんにちは" with "に" (E3 81 AB) cut over two ids.
    const auto tokenizer = whisper({{1, "こ"}, {2, "ん"}, {3, "\xE3\x81"}, {4, "\xAB"}, {5, "ちは"}, {6, "\xE3\x81"}});
    const auto split = tokenizer.splitToWordTokens({50364, 1, 2, 3, 4, 5});
    EXPECT_EQ(split.words, (std::vector<std::string>{"<|0.00|>", "こ", "ん", "に", "ちは"}));
    EXPECT_EQ(split.wordTokens, (std::vector<Tokens>{{50364}, {1}, {2}, {3, 4}, {5}}));

    // Bytes that never complete a character: the whole text holds U+FFFD there, so the id is a word.
    const auto broken = tokenizer.splitTokensOnUnicode({1, 6, 2});
    EXPECT_EQ(broken.words, (std::vector<std::string>{"こ", "\xEF\xBF\xBD", "ん"}));
    EXPECT_EQ(broken.wordTokens, (std::vector<Tokens>{{1}, {6}, {2}}));
    EXPECT_EQ(tokenizer.splitTokensOnUnicode({1, 3}).wordTokens, (std::vector<Tokens>{{1}, {3}}));
}

TEST(WhisperTokenizerTests, LanguageRecognizerNamesUnsegmentedScripts) {
    struct Case {
        const char* text;
        std::optional<std::string> language;
    };
    const std::vector<Case> cases = {
        {"こんにちは世界", "ja"}, {"日本語の文章です", "ja"}, {"你好世界", "zh"}, {"สวัสดีครับ", "th"},
        {"ສະບາຍດີ", "lo"}, {"မင်္ဂလာပါ", "my"}, {"안녕하세요", "ko"}, {"Hello world, 42!", std::nullopt},
        {"", std::nullopt}, {"... 123", std::nullopt},
    };
    for (const auto& c : cases) {
        naturallanguage::NLLanguageRecognizer recognizer;
        recognizer.processString(c.text);
        EXPECT_EQ(recognizer.dominantLanguage(), c.language) << c.text;
    }
}
