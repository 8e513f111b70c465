#pragma once
// Post-processors: place the model's special tokens around the tokens of one text (and of an optional second
// text). Each is built once from its section of the tokenizer data and is immutable afterwards, so one
// instance serves any number of threads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Hub/Config.hpp"

namespace tokenizers {

enum class PostProcessorType { templateProcessing, byteLevel, robertaProcessing, bertProcessing, sequence };
std::optional<PostProcessorType> postProcessorType(std::string_view rawValue);

class PostProcessor {
public:
    virtual ~PostProcessor() = default;
    virtual std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                                 const std::optional<std::vector<std::string>>& tokensPair,
                                                 bool addSpecialTokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens,
                                        const std::optional<std::vector<std::string>>& tokensPair = std::nullopt,
                                        bool addSpecialTokens = true) const {
        return postProcess(tokens, tokensPair, addSpecialTokens);
    }
};

struct PostProcessorFactory {
    // No section, a null one or one without a string "type" gives no post-processor (nullptr). Throws
    // TokenizerError::invalidDefinition for a section it cannot build.
    static std::unique_ptr<PostProcessor> fromConfig(const std::optional<hub::Config>& config);
};

// A special token as a definition gives it: its id and its text.
using SpecialToken = std::pair<uint64_t, std::string>;

class TemplateProcessing : public PostProcessor {
public:
    explicit TemplateProcessing(const hub::Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
    const std::vector<hub::Config>& single() const { return single_; }
    const std::vector<hub::Config>& pair() const { return pair_; }

private:
    std::vector<hub::Config> single_;
    std::vector<hub::Config> pair_;
};

// Passes the first sequence through; the second is dropped.
class ByteLevelPostProcessor : public PostProcessor {
public:
    explicit ByteLevelPostProcessor(const hub::Config&) {}
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
};

class RobertaProcessing : public PostProcessor {
public:
    explicit RobertaProcessing(const hub::Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
    const SpecialToken& sep() const { return sep_; }
    const SpecialToken& cls() const { return cls_; }
    bool trimOffset() const { return trimOffset_; }
    bool addPrefixSpace() const { return addPrefixSpace_; }

private:
    std::string trimmed(std::string_view token) const;

    SpecialToken sep_;
    SpecialToken cls_;
    bool trimOffset_;
    bool addPrefixSpace_;
};

class BertProcessing : public PostProcessor {
public:
    explicit BertProcessing(const hub::Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
    const SpecialToken& sep() const { return sep_; }
    const SpecialToken& cls() const { return cls_; }

private:
    SpecialToken sep_;
    SpecialToken cls_;
};

class SequenceProcessing : public PostProcessor {
public:
    explicit SequenceProcessing(const hub::Config& config);
    std::vector<std::string> postProcess(const std::vector<std::string>& tokens,
                                         const std::optional<std::vector<std::string>>& tokensPair,
                                         bool addSpecialTokens) const override;
    const std::vector<std::unique_ptr<PostProcessor>>& processors() const { return processors_; }

private:
    std::vector<std::unique_ptr<PostProcessor>> processors_;
};

}  // namespace tokenizers
