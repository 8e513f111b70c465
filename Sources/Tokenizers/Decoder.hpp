#pragma once
// Decoders: turn token strings back into text, undoing what the model and the pre-tokenizer did. Each is built
// once from its section of the tokenizer data and is immutable afterwards, so one instance serves any number
// of threads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Hub/Config.hpp"
#include "Tokenizers/Normalizer.hpp"

namespace tokenizers {

enum class DecoderType { sequence, wordPiece, byteLevel, replace, byteFallback, fuse, strip, metaspace, empty };
std::optional<DecoderType> decoderType(std::string_view rawValue);

class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::vector<std::string> decode(const std::vector<std::string>& tokens) const = 0;
    std::vector<std::string> operator()(const std::vector<std::string>& tokens) const { return decode(tokens); }
};

struct DecoderFactory {
    // No section, a null one or one without a string "type" gives no decoder (nullptr). Throws
    // TokenizerError::invalidDefinition for a section it cannot build.
    static std::unique_ptr<Decoder> fromConfig(const std::optional<hub::Config>& config,
                                               const std::optional<std::unordered_set<std::string>>& addedTokens =
                                                   std::nullopt);
};

class WordPieceDecoder : public Decoder {
public:
    explicit WordPieceDecoder(const hub::Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    const std::string& prefix() const { return prefix_; }
    bool cleanup() const { return cleanup_; }
    const foundation::text::Regex& re() const;

private:
    std::string prefix_;
    bool cleanup_;
};

class DecoderSequence : public Decoder {
public:
    explicit DecoderSequence(const hub::Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    const std::vector<std::unique_ptr<Decoder>>& decoders() const { return decoders_; }

private:
    std::vector<std::unique_ptr<Decoder>> decoders_;
};

// Maps runs of byte-level tokens back to their bytes and reads them as UTF-8; added tokens pass unchanged, and
// so does any character outside the byte-level alphabet.
class ByteLevelDecoder : public Decoder {
public:
    explicit ByteLevelDecoder(const hub::Config& config, std::unordered_set<std::string> addedTokens = {});
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    const std::unordered_set<std::string>& addedTokens() const { return addedTokens_; }

private:
    std::unordered_set<std::string> addedTokens_;
};

class ReplaceDecoder : public Decoder {
public:
    explicit ReplaceDecoder(const hub::Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    const std::optional<StringReplacePattern>& pattern() const { return pattern_; }

private:
    std::optional<StringReplacePattern> pattern_;
};

// Turns runs of byte tokens ("<0x" two hexadecimal digits ">") into UTF-8 text.
class ByteFallbackDecoder : public Decoder {
public:
    explicit ByteFallbackDecoder(const hub::Config&) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class FuseDecoder : public Decoder {
public:
    explicit FuseDecoder(const hub::Config&) {}
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
};

class StripDecoder : public Decoder {
public:
    explicit StripDecoder(const hub::Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    const std::string& content() const { return content_; }
    int64_t start() const { return start_; }
    int64_t stop() const { return stop_; }

private:
    std::string content_;
    int64_t start_;
    int64_t stop_;
};

class MetaspaceDecoder : public Decoder {
public:
    explicit MetaspaceDecoder(const hub::Config& config);
    std::vector<std::string> decode(const std::vector<std::string>& tokens) const override;
    bool addPrefixSpace() const { return addPrefixSpace_; }
    const std::string& replacement() const { return replacement_; }

private:
    bool addPrefixSpace_;
    std::string replacement_;
};

}  // namespace tokenizers
