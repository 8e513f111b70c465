#pragma once
// The tokenizer library's shared contracts: the tokenizer and model protocols and the library's error type.
#include <any>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Hub/Config.hpp"
#include "Hub/HubApi.hpp"
#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/OrderedDictionary.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {
class Template;
}

namespace tokenizers {

class TokenizerError : public foundation::Error {
public:
    enum class Case {
        unsupportedTokenizer,           // payload: the tokenizer class name
        chatTemplate,                   // payload: message
        tooLong,                        // payload: message
        mismatchedConfig,               // payload: message
        missingConfig,
        missingTokenizerClassInConfig,
        missingVocab,
        malformedVocab,
        missingChatTemplate,
        // A tokenizer definition that a stage or model cannot accept (unsupported type, missing required
        // field); payload: the fixed message, which is also the whole description.
        invalidDefinition,
        // A decoder met a token it cannot turn back into text; payload: message, the whole description.
        undecodableToken,
    };

    explicit TokenizerError(Case errorCase, std::string payload = {});

    static TokenizerError unsupportedTokenizer(std::string name) {
        return TokenizerError(Case::unsupportedTokenizer, std::move(name));
    }
    static TokenizerError chatTemplate(std::string message) {
        return TokenizerError(Case::chatTemplate, std::move(message));
    }
    static TokenizerError tooLong(std::string message) { return TokenizerError(Case::tooLong, std::move(message)); }
    static TokenizerError mismatchedConfig(std::string message) {
        return TokenizerError(Case::mismatchedConfig, std::move(message));
    }
    static TokenizerError missingConfig() { return TokenizerError(Case::missingConfig); }
    static TokenizerError missingTokenizerClassInConfig() {
        return TokenizerError(Case::missingTokenizerClassInConfig);
    }
    static TokenizerError missingVocab() { return TokenizerError(Case::missingVocab); }
    static TokenizerError malformedVocab() { return TokenizerError(Case::malformedVocab); }
    static TokenizerError missingChatTemplate() { return TokenizerError(Case::missingChatTemplate); }
    static TokenizerError invalidDefinition(std::string message) {
        return TokenizerError(Case::invalidDefinition, std::move(message));
    }
    static TokenizerError undecodableToken(std::string message) {
        return TokenizerError(Case::undecodableToken, std::move(message));
    }

    Case errorCase() const { return case_; }
    // The name or message the case carries; empty for the cases without one.
    const std::string& payload() const { return payload_; }

    std::optional<std::string> errorDescription() const { return localizedDescription(); }
    std::string localizedDescription() const override;
    std::optional<std::string> failureReason() const { return std::nullopt; }
    std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
    std::optional<std::string> helpAnchor() const { return std::nullopt; }
    // `caseName("payload")`, or `caseName` for a case without payload.
    std::string describe() const override;
    static std::string_view caseName(Case errorCase);

    friend bool operator==(const TokenizerError& a, const TokenizerError& b) {
        return a.case_ == b.case_ && a.payload_ == b.payload_;
    }

private:
    Case case_;
    std::string payload_;
};

// Held by a stage factory while it builds one section, so that sections nested in "Sequence" sections cannot
// exhaust the stack: past `limit` levels the definition is rejected with TokenizerError::invalidDefinition.
class SectionNesting {
public:
    static constexpr int limit = 64;
    explicit SectionNesting(std::string_view stage);
    ~SectionNesting();
    SectionNesting(const SectionNesting&) = delete;
    SectionNesting& operator=(const SectionNesting&) = delete;
};

// A chat message or tool description: string keys in the caller's order, values the template engine can
// convert (text, numbers, Booleans, lists and dictionaries of such values, jinja::Value).
using Message = foundation::OrderedDictionary<std::any>;
using ToolSpec = Message;

// The chat template to render: the template's source text itself, or the name of one of the named templates of
// the tokenizer configuration.
class ChatTemplateArgument {
public:
    enum class Case { literal, name };
    static ChatTemplateArgument literal(std::string source) { return {Case::literal, std::move(source)}; }
    static ChatTemplateArgument name(std::string templateName) { return {Case::name, std::move(templateName)}; }
    Case kind() const { return case_; }
    const std::string& value() const { return value_; }
    std::string description() const;
    friend bool operator==(const ChatTemplateArgument&, const ChatTemplateArgument&) = default;

private:
    ChatTemplateArgument(Case c, std::string value) : case_(c), value_(std::move(value)) {}
    Case case_;
    std::string value_;
};

// Turns text into token ids and back. Every operation may be called from several threads at once.
// An implementation that overrides one overload of encode, decode or applyChatTemplate brings the others
// back into scope with `using Tokenizer::decode;` and the like.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
    virtual std::vector<int64_t> encode(std::string_view text) const = 0;
    virtual std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const = 0;
    virtual std::vector<int64_t> operator()(std::string_view text, bool addSpecialTokens) const {
        return encode(text, addSpecialTokens);
    }
    virtual std::string decode(const std::vector<int64_t>& tokens) const { return decode(tokens, false); }
    virtual std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const = 0;

    virtual std::optional<int64_t> convertTokenToId(std::string_view token) const = 0;
    virtual std::vector<std::optional<int64_t>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
    virtual std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int64_t>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int64_t> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int64_t> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int64_t> unknownTokenId() const = 0;

    virtual bool hasChatTemplate() const { return false; }

    // Render a conversation with a chat template and encode the result.
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const std::optional<std::vector<ToolSpec>>& tools) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const std::optional<std::vector<ToolSpec>>& tools,
                                                   const std::optional<Message>& additionalContext) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const ChatTemplateArgument& chatTemplate) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const std::string& chatTemplate) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const std::optional<ChatTemplateArgument>& chatTemplate,
                                                   bool addGenerationPrompt, bool truncation,
                                                   std::optional<int64_t> maxLength,
                                                   const std::optional<std::vector<ToolSpec>>& tools) const = 0;
    virtual std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                                   const std::optional<ChatTemplateArgument>& chatTemplate,
                                                   bool addGenerationPrompt, bool truncation,
                                                   std::optional<int64_t> maxLength,
                                                   const std::optional<std::vector<ToolSpec>>& tools,
                                                   const std::optional<Message>& additionalContext) const = 0;
};

// A tokenization model: turns one pre-tokenized piece into token strings. Immutable once built.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<std::string> tokenize(std::string_view text) const = 0;
    virtual std::vector<std::string> operator()(std::string_view text) const { return tokenize(text); }
    virtual std::optional<int64_t> convertTokenToId(std::string_view token) const = 0;
    virtual std::vector<std::optional<int64_t>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int64_t id) const = 0;
    virtual std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int64_t>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int64_t> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int64_t> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int64_t> unknownTokenId() const = 0;
    // Whether runs of unknown tokens collapse into one.
    virtual bool fuseUnknownTokens() const = 0;
};

// Added tokens as the models receive them: content to id.
using AddedTokens = std::unordered_map<std::string, int64_t>;

// A model that a pre-trained tokenizer builds from its files. A conforming class has the constructor
// `Model(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens)`,
// which throws TokenizerError (or another error of the definition) for what it cannot accept.
class PreTrainedTokenizerModel : public TokenizingModel {};

template <class Model>
concept PreTrainedTokenizerModelType =
    std::derived_from<Model, PreTrainedTokenizerModel> &&
    std::constructible_from<Model, const hub::Config&, const hub::Config&, const AddedTokens&>;

// How a model table holds a model type: the function that builds one.
using PreTrainedTokenizerModelFactory = std::function<std::unique_ptr<PreTrainedTokenizerModel>(
    const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens)>;

template <PreTrainedTokenizerModelType Model>
PreTrainedTokenizerModelFactory preTrainedTokenizerModelFactory() {
    return [](const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, const AddedTokens& addedTokens) {
        return std::unique_ptr<PreTrainedTokenizerModel>(
            std::make_unique<Model>(tokenizerConfig, tokenizerData, addedTokens));
    };
}

// ---------------------------------------------------------------------------------------------------------
// The pre-trained tokenizer: a tokenization model with its added tokens and up to four stages, assembled from a
// model's "tokenizer_config.json" and "tokenizer.json".

class AddedTokenMatcher;
class Normalizer;
class PreTokenizer;
class PreTokenizerOptions;
class PostProcessor;
class Decoder;

class PreTrainedTokenizer : public Tokenizer {
public:
    // Throws TokenizerError (missingTokenizerClassInConfig, unsupportedTokenizer when `strict`, a refused
    // stage or model) and passes the model's own errors on unchanged.
    PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, bool strict);
    ~PreTrainedTokenizer() override;
    PreTrainedTokenizer(const PreTrainedTokenizer&) = delete;
    PreTrainedTokenizer& operator=(const PreTrainedTokenizer&) = delete;

    std::vector<std::string> tokenize(std::string_view text) const override;
    std::vector<int64_t> encode(std::string_view text) const override;
    // Throws TokenizerError.invalidDefinition for a token without id (a vocabulary without unknown token).
    std::vector<int64_t> encode(std::string_view text, bool addSpecialTokens) const override;
    using Tokenizer::decode;
    // Ids the model does not know are skipped.
    std::string decode(const std::vector<int64_t>& tokens, bool skipSpecialTokens) const override;

    std::optional<int64_t> convertTokenToId(std::string_view token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;

    std::optional<std::string> bosToken() const override;
    std::optional<int64_t> bosTokenId() const override;
    std::optional<std::string> eosToken() const override;
    std::optional<int64_t> eosTokenId() const override;
    std::optional<std::string> unknownToken() const override;
    std::optional<int64_t> unknownTokenId() const override;
    virtual bool fuseUnknownTokens() const;

    bool hasChatTemplate() const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const std::optional<std::vector<ToolSpec>>& tools) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const std::optional<std::vector<ToolSpec>>& tools,
                                           const std::optional<Message>& additionalContext) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const ChatTemplateArgument& chatTemplate) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const std::string& chatTemplate) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const std::optional<ChatTemplateArgument>& chatTemplate,
                                           bool addGenerationPrompt, bool truncation, std::optional<int64_t> maxLength,
                                           const std::optional<std::vector<ToolSpec>>& tools) const override;
    std::vector<int64_t> applyChatTemplate(const std::vector<Message>& messages,
                                           const std::optional<ChatTemplateArgument>& chatTemplate,
                                           bool addGenerationPrompt, bool truncation, std::optional<int64_t> maxLength,
                                           const std::optional<std::vector<ToolSpec>>& tools,
                                           const std::optional<Message>& additionalContext) const override;

    // The pipeline's steps.
    virtual std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const;
    virtual std::string normalize(std::string_view text) const;
    virtual std::vector<std::string> postProcess(const std::vector<std::string>& tokens, bool addSpecialTokens) const;
    virtual std::vector<std::string> decodeTokens(const std::vector<std::string>& tokens) const;
    virtual std::string cleanUp(std::string_view text) const;
    // Of every run of consecutive unknown tokens only the first remains.
    virtual std::vector<std::string> fuseUnknown(const std::vector<std::string>& tokens) const;

    const TokenizingModel& model() const { return *model_; }
    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }
    const std::unordered_map<std::string, int64_t>& specialTokens() const { return specialTokens_; }
    const hub::Config& tokenizerConfig() const { return tokenizerConfig_; }
    bool cleanUpTokenizationSpaces() const { return cleanUpTokenizationSpaces_; }
    // How many distinct chat templates have been compiled so far.
    size_t compiledChatTemplateCount() const;

private:
    std::shared_ptr<const jinja::Template> compiledTemplate(const std::string& source) const;
    void tokenizeInto(std::string_view text, std::vector<std::string>* tokens, std::vector<int64_t>* ids) const;
    // The text cut at the added tokens: each section with whether it is an added token.
    void splitAtAddedTokens(std::string_view text, std::vector<std::pair<std::string_view, bool>>& sections) const;

    std::unique_ptr<PreTrainedTokenizerModel> model_;
    std::unordered_set<std::string> addedTokens_;
    std::unordered_map<std::string, int64_t> specialTokens_;
    std::unordered_set<int64_t> specialTokenIds_;
    std::unique_ptr<AddedTokenMatcher> addedTokenMatcher_;
    std::unique_ptr<PreTokenizer> preTokenizer_;
    std::unique_ptr<Normalizer> normalizer_;
    std::unique_ptr<PostProcessor> postProcessor_;
    std::unique_ptr<Decoder> decoder_;
    bool postProcessorKeepsTokens_ = false;
    hub::Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;
    uint64_t cacheOwner_;  // marks this tokenizer's entries in the per-thread cache of piece tokens
    mutable std::unordered_map<std::string, std::shared_ptr<const jinja::Template>> compiledChatTemplateCache_;
    mutable std::mutex cacheLock_;
};

// Model class names (with "Fast" removed) to the model a pre-trained tokenizer builds.
struct TokenizerModel {
    static const std::unordered_map<std::string, PreTrainedTokenizerModelFactory>& knownTokenizers();
};

// A Llama tokenizer: unless "legacy", text is treated as SentencePiece treats it (spaces as U+2581 and one in
// front), and the post-processor follows the configuration's add_bos_token and add_eos_token.
class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    LlamaPreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, bool strict);
    std::vector<std::string> tokenize(std::string_view text) const override;
    bool isLegacy() const { return isLegacy_; }

private:
    bool isLegacy_;
};

// The post-processor section a Llama tokenizer uses instead of the data's: nothing when the data's own is a
// template processor. Throws TokenizerError.mismatchedConfig when a flag asks for a token the configuration
// lacks.
std::optional<hub::Config> maybeUpdatePostProcessor(const hub::Config& tokenizerConfig,
                                                    const std::optional<hub::Config>& processorConfig);

using PreTrainedTokenizerFactory = std::function<std::shared_ptr<PreTrainedTokenizer>(
    const hub::Config& tokenizerConfig, const hub::Config& tokenizerData, bool strict)>;

// Tokenizer class names (with "Fast" removed) that need a class of their own; any other name means
// PreTrainedTokenizer.
struct PreTrainedTokenizerClasses {
    static const std::unordered_map<std::string, PreTrainedTokenizerFactory>& tokenizerClasses();
};

struct AutoTokenizer {
    // The class named by the configuration's "tokenizer_class", built from the two values.
    static std::shared_ptr<Tokenizer> from(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                           bool strict);
    // The tokenizer of a model repository ("main"), fetched into the client's cache first. Throws
    // TokenizerError.missingConfig when the repository has no tokenizer configuration; the hub client's
    // errors pass through unchanged.
    static std::shared_ptr<Tokenizer> from(const std::string& pretrained, const hub::HubApi& hubApi, bool strict);
    // The tokenizer of a local model folder, always a plain PreTrainedTokenizer.
    static std::shared_ptr<Tokenizer> fromModelFolder(const std::filesystem::path& modelFolder,
                                                      const hub::HubApi& hubApi, bool strict);
};

}  // namespace tokenizers
