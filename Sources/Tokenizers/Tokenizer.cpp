#include "Tokenizers/Tokenizer.hpp"

namespace tokenizers {

TokenizerError::TokenizerError(Case errorCase, std::string payload) : case_(errorCase), payload_(std::move(payload)) {
    setWhat(describe());
}

std::string TokenizerError::localizedDescription() const {
    switch (case_) {
        case Case::unsupportedTokenizer: return "The tokenizer type '" + payload_ + "' is not supported.";
        case Case::chatTemplate: return "Chat template error: " + payload_;
        case Case::tooLong: return "Input is too long: " + payload_;
        case Case::mismatchedConfig: return "Tokenizer configuration mismatch: " + payload_;
        case Case::missingConfig: return "Tokenizer configuration is missing.";
        case Case::missingTokenizerClassInConfig: return "The tokenizer class is not specified in the configuration.";
        case Case::missingVocab: return "Vocabulary file is missing from the tokenizer configuration.";
        case Case::malformedVocab: return "The vocabulary file is malformed or corrupted.";
        case Case::missingChatTemplate:
            return "This tokenizer does not have a chat template, and no template was passed.";
        case Case::invalidDefinition:
        case Case::undecodableToken: return payload_;
    }
    return payload_;
}

std::string TokenizerError::describe() const {
    switch (case_) {
        case Case::missingConfig:
        case Case::missingTokenizerClassInConfig:
        case Case::missingVocab:
        case Case::malformedVocab:
        case Case::missingChatTemplate: return foundation::describeCase(caseName(case_));
        default: return foundation::describeCase(caseName(case_), payload_);
    }
}

std::string_view TokenizerError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::unsupportedTokenizer: return "unsupportedTokenizer";
        case Case::chatTemplate: return "chatTemplate";
        case Case::tooLong: return "tooLong";
        case Case::mismatchedConfig: return "mismatchedConfig";
        case Case::missingConfig: return "missingConfig";
        case Case::missingTokenizerClassInConfig: return "missingTokenizerClassInConfig";
        case Case::missingVocab: return "missingVocab";
        case Case::malformedVocab: return "malformedVocab";
        case Case::missingChatTemplate: return "missingChatTemplate";
        case Case::invalidDefinition: return "invalidDefinition";
        case Case::undecodableToken: return "undecodableToken";
    }
    return "invalidDefinition";
}

namespace {
thread_local int sectionDepth = 0;
}  // namespace

SectionNesting::SectionNesting(std::string_view stage) {
    if (sectionDepth >= limit) {
        throw TokenizerError::invalidDefinition(std::string(stage) + " sections nested too deeply");
    }
    ++sectionDepth;
}

SectionNesting::~SectionNesting() { --sectionDepth; }

std::string ChatTemplateArgument::description() const {
    return foundation::describeCase(case_ == Case::literal ? "literal" : "name", value_);
}

namespace {

template <class Convert, class In>
auto mapped(const std::vector<In>& items, Convert convert) {
    std::vector<decltype(convert(items.front()))> out;
    out.reserve(items.size());
    for (const auto& item : items) {
        out.push_back(convert(item));
    }
    return out;
}

}  // namespace

std::vector<std::optional<int64_t>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped(tokens, [this](const std::string& token) { return convertTokenToId(token); });
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int64_t>& ids) const {
    return mapped(ids, [this](int64_t id) { return convertIdToToken(id); });
}

std::vector<std::optional<int64_t>> TokenizingModel::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped(tokens, [this](const std::string& token) { return convertTokenToId(token); });
}

std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(const std::vector<int64_t>& ids) const {
    return mapped(ids, [this](int64_t id) { return convertIdToToken(id); });
}

}  // namespace tokenizers
