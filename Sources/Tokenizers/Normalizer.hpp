#pragma once
// Normalizers: rewrite a text before it is cut into pieces. Each is built once from its section of the
// tokenizer data and is immutable afterwards, so one instance serves any number of threads.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Hub/Config.hpp"
#include "Platform/Foundation/Text.hpp"

namespace tokenizers {

// A literal or regular-expression replacement, shared by the replace normalizer and the replace decoder.
class StringReplacePattern {
public:
    enum class Case { regexp, string };

    // Every match replaced by the template: "$1" inserts a capture group, a backslash takes the next character
    // literally, and any other dollar sign stands for itself.
    static StringReplacePattern regexp(std::shared_ptr<const foundation::text::Regex> regexp, std::string replacement);
    // Every occurrence, left to right without overlap, replaced literally.
    static StringReplacePattern string(std::string pattern, std::string replacement);
    // From "content" (the replacement, required) and "pattern" holding "String" or else "Regex"; nothing when
    // either is missing. Throws TokenizerError::invalidDefinition "Cannot build regexp from " + the pattern.
    static std::optional<StringReplacePattern> from(const hub::Config& config);

    Case kind() const { return case_; }
    // The search string, or the text of the regular expression.
    const std::string& pattern() const;
    const std::string& replacement() const { return replacement_; }

    std::string replace(std::string_view text) const;

private:
    StringReplacePattern(Case c, std::string pattern, std::shared_ptr<const foundation::text::Regex> regexp,
                         std::string replacement);

    Case case_;
    std::string pattern_;
    std::shared_ptr<const foundation::text::Regex> regexp_;
    std::string replacement_;
    std::string icuTemplate_;  // the replacement in ICU's template syntax
};

// `pattern` applied to `text`; the text unchanged without a pattern.
std::string applyReplacePattern(const std::optional<StringReplacePattern>& pattern, std::string_view text);

enum class NormalizerType {
    sequence, prepend, replace, lowercase, nfd, nfc, nfkd, nfkc, bert, bertNormalizer, precompiled, stripAccents,
    strip, empty
};
std::optional<NormalizerType> normalizerType(std::string_view rawValue);

class Normalizer {
public:
    virtual ~Normalizer() = default;
    virtual std::string normalize(std::string_view text) const = 0;
    std::string operator()(std::string_view text) const { return normalize(text); }
};

struct NormalizerFactory {
    // No section, a null one or one without a string "type" gives no normalizer (nullptr). Throws
    // TokenizerError::invalidDefinition for a section it cannot build.
    static std::unique_ptr<Normalizer> fromConfig(const std::optional<hub::Config>& config);
};

class NormalizerSequence : public Normalizer {
public:
    explicit NormalizerSequence(const hub::Config& config);
    std::string normalize(std::string_view text) const override;
    const std::vector<std::unique_ptr<Normalizer>>& normalizers() const { return normalizers_; }

private:
    std::vector<std::unique_ptr<Normalizer>> normalizers_;
};

class PrependNormalizer : public Normalizer {
public:
    explicit PrependNormalizer(const hub::Config& config);
    std::string normalize(std::string_view text) const override;
    const std::string& prepend() const { return prepend_; }

private:
    std::string prepend_;
};

class ReplaceNormalizer : public Normalizer {
public:
    explicit ReplaceNormalizer(const hub::Config& config);
    std::string normalize(std::string_view text) const override;
    const std::optional<StringReplacePattern>& pattern() const { return pattern_; }

private:
    std::optional<StringReplacePattern> pattern_;
};

// The full lower-case mapping of every scalar, whatever the locale.
class LowercaseNormalizer : public Normalizer {
public:
    explicit LowercaseNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

class NFDNormalizer : public Normalizer {
public:
    explicit NFDNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

class NFCNormalizer : public Normalizer {
public:
    explicit NFCNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

class NFKDNormalizer : public Normalizer {
public:
    explicit NFKDNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

class NFKCNormalizer : public Normalizer {
public:
    explicit NFKCNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

class BertNormalizer : public Normalizer {
public:
    explicit BertNormalizer(const hub::Config& config);
    std::string normalize(std::string_view text) const override;

    bool shouldCleanText() const { return shouldCleanText_; }
    bool shouldHandleChineseChars() const { return shouldHandleChineseChars_; }
    bool shouldStripAccents() const { return shouldStripAccents_; }
    bool shouldLowercase() const { return shouldLowercase_; }

private:
    bool shouldCleanText_;
    bool shouldHandleChineseChars_;
    bool shouldStripAccents_;
    bool shouldLowercase_;
};

// The fixed SentencePiece-style clean-up followed by form KC; the precompiled character map is not read.
class PrecompiledNormalizer : public Normalizer {
public:
    explicit PrecompiledNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

// Form KC, as "StripAccents" definitions have always been read: combining marks are composed, not removed.
class StripAccentsNormalizer : public Normalizer {
public:
    explicit StripAccentsNormalizer(const hub::Config&) {}
    std::string normalize(std::string_view text) const override;
};

// Removes white-space Characters from the start and/or the end.
class StripNormalizer : public Normalizer {
public:
    explicit StripNormalizer(const hub::Config& config);
    std::string normalize(std::string_view text) const override;
    bool leftStrip() const { return leftStrip_; }
    bool rightStrip() const { return rightStrip_; }

private:
    bool leftStrip_;
    bool rightStrip_;
};

}  // namespace tokenizers
