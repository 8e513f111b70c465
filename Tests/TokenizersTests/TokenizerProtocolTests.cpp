#include <gtest/gtest.h>

#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;

TEST(TokenizerError, Descriptions) {
    struct Case {
        TokenizerError error;
        std::string description;
        std::string textualForm;
    };
    const std::vector<Case> cases = {
        {TokenizerError::unsupportedTokenizer("FooTokenizer"), "The tokenizer type 'FooTokenizer' is not supported.",
         "unsupportedTokenizer(\"FooTokenizer\")"},
        {TokenizerError::chatTemplate("bad"), "Chat template error: bad", "chatTemplate(\"bad\")"},
        {TokenizerError::tooLong("x"), "Input is too long: x", "tooLong(\"x\")"},
        {TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil"),
         "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil",
         "mismatchedConfig(\"add_bos_token is True but bos_token is nil\")"},
        {TokenizerError::missingConfig(), "Tokenizer configuration is missing.", "missingConfig"},
        {TokenizerError::missingTokenizerClassInConfig(),
         "The tokenizer class is not specified in the configuration.", "missingTokenizerClassInConfig"},
        {TokenizerError::missingVocab(), "Vocabulary file is missing from the tokenizer configuration.",
         "missingVocab"},
        {TokenizerError::malformedVocab(), "The vocabulary file is malformed or corrupted.", "malformedVocab"},
        {TokenizerError::missingChatTemplate(),
         "This tokenizer does not have a chat template, and no template was passed.", "missingChatTemplate"},
        {TokenizerError::invalidDefinition("Unsupported Decoder type: Foo"), "Unsupported Decoder type: Foo",
         "invalidDefinition(\"Unsupported Decoder type: Foo\")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.localizedDescription(), c.description);
        EXPECT_EQ(c.error.errorDescription(), c.description);
        EXPECT_EQ(c.error.describe(), c.textualForm);
        EXPECT_STREQ(c.error.what(), c.textualForm.c_str());
        EXPECT_FALSE(c.error.failureReason().has_value());
    }
}

namespace {

// The smallest tokenizer: one id per byte. Only the required operations are written, so the defaults show.
class ByteTokenizer : public Tokenizer {
public:
    using Tokenizer::decode;
    std::vector<std::string> tokenize(std::string_view text) const override {
        std::vector<std::string> out;
        for (char c : text) out.emplace_back(1, c);
        return out;
    }
    std::vector<int64_t> encode(std::string_view text) const override { return encode(text, true); }
    std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const override {
        std::vector<int64_t> ids;
        if (addSpecialTokens) ids.push_back(256);
        for (char c : text) ids.push_back(static_cast<unsigned char>(c));
        return ids;
    }
    std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const override {
        std::string out;
        for (int64_t id : tokens) {
            if (id == 256) {
                if (!skipSpecialTokens) out += "<s>";
            } else {
                out += static_cast<char>(id);
            }
        }
        return out;
    }
    std::optional<int64_t> convertTokenToId(std::string_view token) const override {
        if (token.size() != 1) return std::nullopt;
        return static_cast<unsigned char>(token[0]);
    }
    std::optional<std::string> convertIdToToken(int64_t id) const override {
        if (id < 0 || id > 255) return std::nullopt;
        return std::string(1, static_cast<char>(id));
    }
    std::optional<std::string> bosToken() const override { return "<s>"; }
    std::optional<int64_t> bosTokenId() const override { return 256; }
    std::optional<std::string> eosToken() const override { return std::nullopt; }
    std::optional<int64_t> eosTokenId() const override { return std::nullopt; }
    std::optional<std::string> unknownToken() const override { return std::nullopt; }
    std::optional<int64_t> unknownTokenId() const override { return std::nullopt; }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&) const override { return {}; }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&,
                                           const std::optional<std::vector<ToolSpec>>&) const override {
        return {};
    }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&, const std::optional<std::vector<ToolSpec>>&,
                                           const std::optional<Message>&) const override {
        return {};
    }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&, const ChatTemplateArgument&) const override {
        return {};
    }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&, const std::string&) const override {
        return {};
    }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&, const std::optional<ChatTemplateArgument>&,
                                           bool, bool, std::optional<int64_t>,
                                           const std::optional<std::vector<ToolSpec>>&) const override {
        return {};
    }
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>&, const std::optional<ChatTemplateArgument>&,
                                           bool, bool, std::optional<int64_t>,
                                           const std::optional<std::vector<ToolSpec>>&,
                                           const std::optional<Message>&) const override {
        return {};
    }
};

}  // namespace

TEST(TokenizerProtocol, Defaults) {
    ByteTokenizer tokenizer;
    const Tokenizer& t = tokenizer;
    EXPECT_EQ(t("ab", false), (std::vector<int64_t>{97, 98}));
    EXPECT_EQ(t("ab", true), (std::vector<int64_t>{256, 97, 98}));
    EXPECT_EQ(t.decode({256, 104, 105}), "<s>hi");  // the flag defaults to false
    EXPECT_EQ(t.convertTokensToIds({"a", "bc", "b"}),
              (std::vector<std::optional<int64_t>>{97, std::nullopt, 98}));
    EXPECT_EQ(t.convertIdsToTokens({97, 999}), (std::vector<std::optional<std::string>>{"a", std::nullopt}));
    EXPECT_FALSE(t.hasChatTemplate());
    EXPECT_EQ(ChatTemplateArgument::name("default").description(), "name(\"default\")");
}
