#include "Tokenizers/Decoder.hpp"

#include <unicode/utf8.h>

#include "Tokenizers/ByteEncoder.hpp"
#include "Tokenizers/Tokenizer.hpp"

namespace tokenizers {

namespace text = foundation::text;

std::optional<DecoderType> decoderType(std::string_view rawValue) {
    static constexpr std::pair<std::string_view, DecoderType> names[] = {
        {"Sequence", DecoderType::sequence},
        {"WordPiece", DecoderType::wordPiece},
        {"ByteLevel", DecoderType::byteLevel},
        {"Replace", DecoderType::replace},
        {"ByteFallback", DecoderType::byteFallback},
        {"Fuse", DecoderType::fuse},
        {"Strip", DecoderType::strip},
        {"Metaspace", DecoderType::metaspace},
        {"", DecoderType::empty},
    };
    for (const auto& [name, type] : names) {
        if (name == rawValue) return type;
    }
    return std::nullopt;
}

std::unique_ptr<Decoder> DecoderFactory::fromConfig(const std::optional<hub::Config>& config,
                                                    const std::optional<std::unordered_set<std::string>>& addedTokens) {
    if (!config) {
        return nullptr;
    }
    auto typeName = (*config)["type"].string();
    if (!typeName) {
        return nullptr;
    }
    auto type = decoderType(*typeName);
    if (!type) {
        throw TokenizerError::invalidDefinition("Unsupported Decoder type: " + *typeName);
    }
    SectionNesting nesting("Decoder");
    switch (*type) {
        case DecoderType::sequence: return std::make_unique<DecoderSequence>(*config);
        case DecoderType::wordPiece: return std::make_unique<WordPieceDecoder>(*config);
        case DecoderType::byteLevel:
            return std::make_unique<ByteLevelDecoder>(*config, addedTokens.value_or(std::unordered_set<std::string>{}));
        case DecoderType::replace: return std::make_unique<ReplaceDecoder>(*config);
        case DecoderType::byteFallback: return std::make_unique<ByteFallbackDecoder>(*config);
        case DecoderType::fuse: return std::make_unique<FuseDecoder>(*config);
        case DecoderType::strip: return std::make_unique<StripDecoder>(*config);
        case DecoderType::metaspace: return std::make_unique<MetaspaceDecoder>(*config);
        case DecoderType::empty: break;
    }
    throw TokenizerError::invalidDefinition("Unsupported Decoder type: " + *typeName);
}

// --- WordPiece

WordPieceDecoder::WordPieceDecoder(const hub::Config& config) : cleanup_(config["cleanup"].boolean().value_or(false)) {
    auto prefix = config["prefix"].string();
    if (!prefix) {
        throw TokenizerError::invalidDefinition("Missing `prefix` configuration for WordPieceDecoder.");
    }
    prefix_ = std::move(*prefix);
    re();  // compiled with the first decoder, whether or not clean-up is on
}

const text::Regex& WordPieceDecoder::re() const {
    static const text::Regex cleanupExpression("\\s(\\.|\\?|\\!|\\,|'\\s|n't|'m|'s|'ve|'re)");
    return cleanupExpression;
}

std::vector<std::string> WordPieceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (size_t k = 0; k < tokens.size(); ++k) {
        const std::string& token = tokens[k];
        std::string word;
        if (k == 0) {
            word = token;
        } else if (text::hasPrefix(token, prefix_)) {
            word = token.substr(prefix_.size());
        } else {
            word.reserve(token.size() + 1);
            word += ' ';
            word += token;
        }
        if (cleanup_) {
            word = text::replacingAll(re().replacingMatches(word, "$1"), " do not", " don't");
        }
        out.push_back(std::move(word));
    }
    return out;
}

// --- Sequence

DecoderSequence::DecoderSequence(const hub::Config& config) {
    auto sections = config["decoders"].array();
    if (!sections) {
        throw TokenizerError::invalidDefinition("No decoders in Sequence");
    }
    for (const auto& section : *sections) {
        if (auto decoder = DecoderFactory::fromConfig(section)) {
            decoders_.push_back(std::move(decoder));
        }
    }
}

std::vector<std::string> DecoderSequence::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> result = tokens;
    for (const auto& decoder : decoders_) {
        result = decoder->decode(result);
    }
    return result;
}

// --- ByteLevel

ByteLevelDecoder::ByteLevelDecoder(const hub::Config&, std::unordered_set<std::string> addedTokens)
    : addedTokens_(std::move(addedTokens)) {}

namespace {

// The bytes that the run's byte-level characters stand for. A character outside the byte-level alphabet (an
// added token such as "<｜end｜>" inside a sequence of decoders, which knows no added tokens) stands for its
// own UTF-8 bytes, so decoding valid ids never fails; ill-formed bytes pass too and become U+FFFD when the
// run is read as UTF-8.
void appendByteDecoded(std::string& bytes, std::string_view token) {
    const auto* data = reinterpret_cast<const uint8_t*>(token.data());
    size_t length = token.size();
    size_t i = 0;
    while (i < length) {
        size_t start = i;
        UChar32 c = 0;
        U8_NEXT(data, i, length, c);
        auto byte = c < 0 ? std::nullopt : byteDecodedScalar(static_cast<char32_t>(c));
        if (byte) {
            bytes += static_cast<char>(*byte);
        } else {
            bytes.append(token.substr(start, i - start));
        }
    }
}

}  // namespace

std::vector<std::string> ByteLevelDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string run;
    bool inRun = false;
    auto closeRun = [&] {
        if (inRun) {
            out.push_back(text::repairedUTF8(run));
            run.clear();
            inRun = false;
        }
    };
    for (const auto& token : tokens) {
        if (addedTokens_.count(token) != 0) {
            closeRun();
            out.push_back(token);
        } else {
            appendByteDecoded(run, token);
            inRun = true;
        }
    }
    closeRun();
    return out;
}

// --- Replace

ReplaceDecoder::ReplaceDecoder(const hub::Config& config) : pattern_(StringReplacePattern::from(config)) {}

std::vector<std::string> ReplaceDecoder::decode(const std::vector<std::string>& tokens) const {
    if (!pattern_) {
        return tokens;
    }
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const auto& token : tokens) {
        out.push_back(pattern_->replace(token));
    }
    return out;
}

// --- ByteFallback

namespace {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte of a token "<0xHH>", where HH reads as a base-16 integer (a leading sign allowed). A negative
// value names no byte, so such a token is ordinary text.
std::optional<uint8_t> fallbackByte(std::string_view token) {
    if (token.size() != 6 || token.substr(0, 3) != "<0x" || token.back() != '>') {
        return std::nullopt;
    }
    char first = token[3];
    char second = token[4];
    if (first == '+' || first == '-') {
        int digit = hexDigitValue(second);
        if (digit < 0 || (first == '-' && digit != 0)) {
            return std::nullopt;
        }
        return static_cast<uint8_t>(digit);
    }
    int high = hexDigitValue(first);
    int low = hexDigitValue(second);
    if (high < 0 || low < 0) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(high * 16 + low);
}

}  // namespace

std::vector<std::string> ByteFallbackDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    std::string pending;
    for (const auto& token : tokens) {
        if (auto byte = fallbackByte(token)) {
            pending += static_cast<char>(*byte);
            continue;
        }
        if (!pending.empty()) {
            out.push_back(text::repairedUTF8(pending));
            pending.clear();
        }
        out.push_back(token);
    }
    if (!pending.empty()) {
        out.push_back(text::repairedUTF8(pending));
    }
    return out;
}

// --- Fuse

std::vector<std::string> FuseDecoder::decode(const std::vector<std::string>& tokens) const {
    return {text::joined(tokens, "")};
}

// --- Strip

StripDecoder::StripDecoder(const hub::Config& config) {
    auto content = config["content"].string();
    if (!content) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `content`.");
    }
    auto start = config["start"].integer();
    if (!start) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `start`.");
    }
    auto stop = config["stop"].integer();
    if (!stop) {
        throw TokenizerError::invalidDefinition("Incorrect StripDecoder configuration: can't parse `stop`.");
    }
    content_ = std::move(*content);
    start_ = *start;
    stop_ = *stop;
}

std::vector<std::string> StripDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const auto& token : tokens) {
        size_t begin = 0;
        while (begin < token.size() && static_cast<int64_t>(begin) < start_ && token[begin] == ' ') {
            ++begin;
        }
        size_t end = token.size();
        while (end > begin && static_cast<int64_t>(token.size() - end) < stop_ && token[end - 1] == ' ') {
            --end;
        }
        out.push_back(token.substr(begin, end - begin));
    }
    return out;
}

// --- Metaspace

MetaspaceDecoder::MetaspaceDecoder(const hub::Config& config)
    : addPrefixSpace_(config["addPrefixSpace"].boolean().value_or(false)),
      replacement_(config["replacement"].string().value_or("_")) {}

std::vector<std::string> MetaspaceDecoder::decode(const std::vector<std::string>& tokens) const {
    std::vector<std::string> out;
    out.reserve(tokens.size());
    for (const auto& token : tokens) {
        out.push_back(text::replacingAll(token, replacement_, " "));
    }
    if (addPrefixSpace_ && !out.empty() && !out.front().empty() && out.front().front() == ' ') {
        out.front().erase(0, 1);
    }
    return out;
}

}  // namespace tokenizers
