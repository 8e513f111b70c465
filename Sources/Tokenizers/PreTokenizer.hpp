#pragma once
// Pre-tokenizers: cut a normalized text into the pieces that the tokenization model takes one by one.
// Each is built once from its section of the tokenizer data and is immutable afterwards, so one instance
// serves any number of threads.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Hub/Config.hpp"
#include "Tokenizers/String+PreTokenization.hpp"

namespace tokenizers {

enum class PreTokenizerOption { firstSection };

// A set of PreTokenizerOption.
class PreTokenizerOptions {
public:
    PreTokenizerOptions() = default;
    PreTokenizerOptions(std::initializer_list<PreTokenizerOption> options) {
        for (auto option : options) insert(option);
    }
    bool contains(PreTokenizerOption option) const { return (bits_ & bit(option)) != 0; }
    void insert(PreTokenizerOption option) { bits_ |= bit(option); }
    bool empty() const { return bits_ == 0; }
    friend bool operator==(PreTokenizerOptions, PreTokenizerOptions) = default;

private:
    static uint32_t bit(PreTokenizerOption option) { return uint32_t{1} << static_cast<unsigned>(option); }
    uint32_t bits_ = 0;
};

enum class PreTokenizerType {
    sequence, byteLevel, punctuation, digits, split, whitespace, whitespaceSplit, metaspace, bertPreTokenizer, empty
};
// The type named by a section's "type"; nothing for a name that is not one of them.
std::optional<PreTokenizerType> preTokenizerType(std::string_view rawValue);

class PreTokenizer {
public:
    virtual ~PreTokenizer() = default;

    // Appends the pieces of `text` to `pieces`; what every pre-tokenizer implements.
    virtual void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                                 PreTokenizerOptions options) const = 0;

    std::vector<std::string> preTokenize(std::string_view text, PreTokenizerOptions options) const;
    // The pieces of every text, in order, with the same options.
    std::vector<std::string> preTokenize(const std::vector<std::string>& texts, PreTokenizerOptions options) const;
    std::vector<std::string> operator()(const std::vector<std::string>& texts, PreTokenizerOptions options = {}) const {
        return preTokenize(texts, options);
    }
    std::vector<std::string> operator()(std::string_view text, PreTokenizerOptions options = {}) const {
        return preTokenize(text, options);
    }
};

struct PreTokenizerFactory {
    // No section, a null one or one without a string "type" gives no pre-tokenizer (nullptr). Throws
    // TokenizerError::invalidDefinition for a section it cannot build.
    static std::unique_ptr<PreTokenizer> fromConfig(const std::optional<hub::Config>& config);
};

// A separator given as literal text or as the text of a regular expression.
class StringSplitPattern {
public:
    enum class Case { regexp, string };
    static StringSplitPattern regexp(std::string regexp) { return {Case::regexp, std::move(regexp)}; }
    static StringSplitPattern string(std::string pattern) { return {Case::string, std::move(pattern)}; }
    // "pattern" holding a string under "String", else under "Regex"; nothing otherwise.
    static std::optional<StringSplitPattern> from(const hub::Config& config);

    Case kind() const { return case_; }
    const std::string& value() const { return value_; }

private:
    StringSplitPattern(Case c, std::string value) : case_(c), value_(std::move(value)) {}
    Case case_;
    std::string value_;
};

// Keeps the matches of one regular expression and drops the text between them.
class MatchingPreTokenizer : public PreTokenizer {
public:
    const std::string& re() const { return re_; }
    void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                         PreTokenizerOptions options) const override;

protected:
    MatchingPreTokenizer(std::string re, const foundation::text::Regex& compiled)
        : re_(std::move(re)), compiled_(compiled) {}

private:
    std::string re_;
    const foundation::text::Regex& compiled_;  // process-wide, compiled once
};

// Runs that are neither white space nor punctuation, and single punctuation characters.
class BertPreTokenizer : public MatchingPreTokenizer {
public:
    explicit BertPreTokenizer(const hub::Config& config);
};

// Runs of non-white-space characters ("Whitespace" and "WhitespaceSplit").
class WhitespacePreTokenizer : public MatchingPreTokenizer {
public:
    explicit WhitespacePreTokenizer(const hub::Config& config);
};

// Alternating runs of non-punctuation and of punctuation.
class PunctuationPreTokenizer : public MatchingPreTokenizer {
public:
    explicit PunctuationPreTokenizer(const hub::Config& config);
};

// Runs of non-digits and runs of digits (single digits with "individual_digits").
class DigitsPreTokenizer : public MatchingPreTokenizer {
public:
    explicit DigitsPreTokenizer(const hub::Config& config);

private:
    explicit DigitsPreTokenizer(bool individualDigits);
};

class PreTokenizerSequence : public PreTokenizer {
public:
    explicit PreTokenizerSequence(const hub::Config& config);
    void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                         PreTokenizerOptions options) const override;
    const std::vector<std::unique_ptr<PreTokenizer>>& preTokenizers() const { return preTokenizers_; }

private:
    std::vector<std::unique_ptr<PreTokenizer>> preTokenizers_;
};

// GPT-2-style pieces written in the byte-level alphabet.
class ByteLevelPreTokenizer : public PreTokenizer {
public:
    explicit ByteLevelPreTokenizer(const hub::Config& config);
    void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                         PreTokenizerOptions options) const override;

    bool addPrefixSpace() const { return addPrefixSpace_; }
    bool trimOffsets() const { return trimOffsets_; }
    bool useRegex() const { return useRegex_; }
    const std::string& RE() const { return RE_; }

private:
    void appendPiece(std::vector<std::string>& pieces, std::string_view piece) const;

    bool addPrefixSpace_;
    bool trimOffsets_;
    bool useRegex_;
    std::string RE_;
};

class SplitPreTokenizer : public PreTokenizer {
public:
    // Throws TokenizerError::invalidDefinition when a "Regex" pattern does not compile.
    explicit SplitPreTokenizer(const hub::Config& config);
    void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                         PreTokenizerOptions options) const override;

    const std::optional<StringSplitPattern>& pattern() const { return pattern_; }
    bool invert() const { return invert_; }

private:
    std::optional<StringSplitPattern> pattern_;
    bool invert_;
    std::optional<SearchPattern> compiled_;
};

class MetaspacePreTokenizer : public PreTokenizer {
public:
    enum class PrependScheme { first, never, always };

    explicit MetaspacePreTokenizer(const hub::Config& config);
    void appendPreTokens(std::vector<std::string>& pieces, std::string_view text,
                         PreTokenizerOptions options) const override;

    bool addPrefixSpace() const { return addPrefixSpace_; }
    const std::string& replacement() const { return replacement_; }
    const std::string& stringReplacement() const { return stringReplacement_; }
    PrependScheme prependScheme() const { return prependScheme_; }

private:
    bool addPrefixSpace_;
    std::string replacement_;
    std::string stringReplacement_;
    PrependScheme prependScheme_;
    SearchPattern delimiter_;  // the replacement as literal text: it is text, never a pattern
};

}  // namespace tokenizers
