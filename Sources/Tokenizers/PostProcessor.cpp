#include "Tokenizers/PostProcessor.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "Tokenizers/String+PreTokenization.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace tokenizers {

std::optional<PostProcessorType> postProcessorType(std::string_view rawValue) {
    static constexpr std::pair<std::string_view, PostProcessorType> names[] = {
        {"TemplateProcessing", PostProcessorType::templateProcessing},
        {"ByteLevel", PostProcessorType::byteLevel},
        {"RobertaProcessing", PostProcessorType::robertaProcessing},
        {"BertProcessing", PostProcessorType::bertProcessing},
        {"Sequence", PostProcessorType::sequence},
    };
    for (const auto& [name, type] : names) {
        if (name == rawValue) return type;
    }
    return std::nullopt;
}

std::unique_ptr<PostProcessor> PostProcessorFactory::fromConfig(const std::optional<hub::Config>& config) {
    if (!config) {
        return nullptr;
    }
    auto typeName = (*config)["type"].string();
    if (!typeName) {
        return nullptr;
    }
    auto type = postProcessorType(*typeName);
    if (!type) {
        throw TokenizerError::invalidDefinition("Unsupported PostProcessor type: " + *typeName);
    }
    SectionNesting nesting("PostProcessor");
    switch (*type) {
        case PostProcessorType::templateProcessing: return std::make_unique<TemplateProcessing>(*config);
        case PostProcessorType::byteLevel: return std::make_unique<ByteLevelPostProcessor>(*config);
        case PostProcessorType::robertaProcessing: return std::make_unique<RobertaProcessing>(*config);
        case PostProcessorType::bertProcessing: return std::make_unique<BertProcessing>(*config);
        case PostProcessorType::sequence: return std::make_unique<SequenceProcessing>(*config);
    }
    throw TokenizerError::invalidDefinition("Unsupported PostProcessor type: " + *typeName);
}

namespace {

std::vector<hub::Config> requiredArray(const hub::Config& config, std::string_view key, std::string_view message) {
    auto items = config[key].array();
    if (!items) {
        throw TokenizerError::invalidDefinition(std::string(message));
    }
    return *items;
}

SpecialToken requiredToken(const hub::Config& config, std::string_view key, std::string_view message) {
    auto token = config[key].token();
    if (!token) {
        throw TokenizerError::invalidDefinition(std::string(message));
    }
    return {token->first, token->second.string()};
}

void append(std::vector<std::string>& out, const std::vector<std::string>& tokens) {
    out.insert(out.end(), tokens.begin(), tokens.end());
}

}  // namespace

// --- Template

TemplateProcessing::TemplateProcessing(const hub::Config& config)
    : single_(requiredArray(config, "single", "Missing `single` processor configuration")),
      pair_(requiredArray(config, "pair", "Missing `pair` processor configuration")) {}

std::vector<std::string> TemplateProcessing::postProcess(const std::vector<std::string>& tokens,
                                                         const std::optional<std::vector<std::string>>& tokensPair,
                                                         bool addSpecialTokens) const {
    const std::vector<hub::Config>& items = tokensPair ? pair_ : single_;
    std::vector<std::string> out;
    out.reserve(tokens.size() + (tokensPair ? tokensPair->size() : 0) + items.size());
    for (const auto& item : items) {
        if (auto special = item["SpecialToken"]["id"].string()) {
            if (addSpecialTokens) {
                out.push_back(*special);
            }
        } else if (auto sequence = item["Sequence"]["id"].string()) {
            if (*sequence == "A") {
                append(out, tokens);
            } else if (*sequence == "B" && tokensPair) {
                append(out, *tokensPair);
            }
        }
    }
    return out;
}

// --- ByteLevel

std::vector<std::string> ByteLevelPostProcessor::postProcess(const std::vector<std::string>& tokens,
                                                             const std::optional<std::vector<std::string>>&,
                                                             bool) const {
    return tokens;
}

// --- Roberta

RobertaProcessing::RobertaProcessing(const hub::Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration")),
      cls_(requiredToken(config, "cls", "Missing `cls` processor configuration")),
      trimOffset_(config["trimOffset"].boolean().value_or(true)),
      addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(true)) {}

namespace {

// Spaces and tabs: the Unicode space separators and U+0009.
bool isSpaceOrTab(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

std::string trimmedSpacesAndTabs(std::string_view token) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(token.data());
    int32_t length = static_cast<int32_t>(token.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c = 0;
        U8_NEXT(bytes, next, length, c);
        if (!isSpaceOrTab(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(bytes, start, previous, c);
        if (!isSpaceOrTab(c)) break;
        end = previous;
    }
    return std::string(token.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
}

}  // namespace

std::string RobertaProcessing::trimmed(std::string_view token) const {
    if (!addPrefixSpace_) {
        return trimmedSpacesAndTabs(token);
    }
    // A run of n white-space Characters keeps only its last (leading) or first (trailing) one. A token made
    // only of white space has both runs cover it whole, so it loses all of it.
    std::vector<size_t> leading = leadingWhitespaceCharacters(token);
    std::vector<size_t> trailing = trailingWhitespaceCharacters(token);
    size_t start = leading.size() > 2 ? leading[leading.size() - 2] : 0;
    size_t end = trailing.size() > 2 ? trailing[trailing.size() - 2] : token.size();
    if (start >= end) {
        return {};
    }
    return std::string(token.substr(start, end - start));
}

std::vector<std::string> RobertaProcessing::postProcess(const std::vector<std::string>& tokens,
                                                        const std::optional<std::vector<std::string>>& tokensPair,
                                                        bool) const {
    auto prepared = [&](const std::vector<std::string>& sequence) {
        if (!trimOffset_) {
            return sequence;
        }
        std::vector<std::string> out;
        out.reserve(sequence.size());
        for (const auto& token : sequence) {
            out.push_back(trimmed(token));
        }
        return out;
    };
    std::vector<std::string> out;
    out.push_back(cls_.second);
    append(out, prepared(tokens));
    out.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        out.push_back(sep_.second);
        append(out, prepared(*tokensPair));
        out.push_back(sep_.second);
    }
    return out;
}

// --- Bert

BertProcessing::BertProcessing(const hub::Config& config)
    : sep_(requiredToken(config, "sep", "Missing `sep` processor configuration")),
      cls_(requiredToken(config, "cls", "Missing `cls` processor configuration")) {}

std::vector<std::string> BertProcessing::postProcess(const std::vector<std::string>& tokens,
                                                     const std::optional<std::vector<std::string>>& tokensPair,
                                                     bool addSpecialTokens) const {
    std::vector<std::string> out;
    if (!addSpecialTokens) {
        out = tokens;
        if (tokensPair) append(out, *tokensPair);
        return out;
    }
    out.push_back(cls_.second);
    append(out, tokens);
    out.push_back(sep_.second);
    if (tokensPair && !tokensPair->empty()) {
        append(out, *tokensPair);
        out.push_back(sep_.second);
    }
    return out;
}

// --- Sequence

SequenceProcessing::SequenceProcessing(const hub::Config& config) {
    auto sections = config["processors"].array();
    if (!sections) {
        throw TokenizerError::invalidDefinition("Missing `processors` configuration");
    }
    for (const auto& section : *sections) {
        if (auto processor = PostProcessorFactory::fromConfig(section)) {
            processors_.push_back(std::move(processor));
        }
    }
}

std::vector<std::string> SequenceProcessing::postProcess(const std::vector<std::string>& tokens,
                                                         const std::optional<std::vector<std::string>>& tokensPair,
                                                         bool addSpecialTokens) const {
    if (processors_.empty()) {
        return tokens;
    }
    std::vector<std::string> out = processors_.front()->postProcess(tokens, tokensPair, addSpecialTokens);
    for (size_t k = 1; k < processors_.size(); ++k) {
        out = processors_[k]->postProcess(out, std::nullopt, addSpecialTokens);
    }
    return out;
}

}  // namespace tokenizers
