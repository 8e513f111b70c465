#pragma once
// Shared pieces of the decoding tests: a Whisper-shaped tokenizer over a tiny text vocabulary, a
// decoder model whose logits favour a scripted token sequence, and logits arrays.
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Lexiphonic/Core/Text/WhisperTokenizer.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"

namespace lexiphonic::testing {

// The multilingual vocabulary's special ids.
inline constexpr int64_t kVocabulary = 51865;
inline constexpr int64_t kEnd = 50257;
inline constexpr int64_t kStart = 50258;
inline constexpr int64_t kEnglish = 50259;
inline constexpr int64_t kGerman = 50261;
inline constexpr int64_t kTranslate = 50358;
inline constexpr int64_t kTranscribe = 50359;
inline constexpr int64_t kStartOfPrevious = 50361;
inline constexpr int64_t kNoTimestamps = 50363;
inline constexpr int64_t kTimeBegin = 50364;
// The timestamp token for `seconds` into the window.
constexpr int64_t T(double seconds) { return kTimeBegin + static_cast<int64_t>(seconds * 50 + 0.5); }

// Text ids 0 ..< 50257: those given in `words` decode to their text, every other one to " w<id>".
// Special ids decode to their token text. Words split at leading spaces, special tokens and lone
// punctuation, as the engine's space split does.
class FakeWhisperTokenizer : public WhisperTokenizer {
public:
    explicit FakeWhisperTokenizer(std::map<int64_t, std::string> words = {});
    std::vector<int64_t> encode(const std::string& text) const override;
    std::string decode(const std::vector<int64_t>& tokens) const override;
    std::optional<int64_t> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int64_t id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<int64_t>& allLanguageTokens() const override { return languageTokens_; }
    WordTokens splitToWordTokens(const std::vector<int64_t>& tokenIds) const override;

private:
    std::map<int64_t, std::string> words_;
    std::map<int64_t, std::string> specials_;
    std::map<std::string, int64_t> ids_;
    SpecialTokens specialTokens_;
    std::set<int64_t> languageTokens_;
};

// A decoder model folder for the "test.scriptedDecoder" architecture: E = 4, S = `cacheLength`,
// W = `frames`, V = 51865. At position t (the input "cache_length") the logits are 0 except
// `tokens[t]` (the end token past the list), which gets `peaks[t]` (default `peak`). The key update
// of every row is t + 1, the value update the fed token modulo 1000, and the alignment weights are
// 1 at frame `frameOf[t]` (default min(t, W - 1)) and 0 elsewhere.
struct ScriptedDecoder {
    std::vector<int64_t> tokens;
    std::vector<double> peaks;
    double peak = 20;
    std::vector<int64_t> frameOf;
    int64_t cacheLength = 224;
    int64_t frames = 8;
    bool withAlignment = true;
    bool withCacheUpdates = true;  // false: the updates are declared optional and never produced

    void write(const std::filesystem::path& folder) const;
};

// A fresh folder removed at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Half-precision [1, 1, n] logits holding `values` (zeros past them).
std::shared_ptr<coreml::MLMultiArray> logits(const std::vector<float>& values, int64_t n = 0);
// All logits of an array as floats.
std::vector<float> valuesOf(const coreml::MLMultiArray& array);

}  // namespace lexiphonic::testing
