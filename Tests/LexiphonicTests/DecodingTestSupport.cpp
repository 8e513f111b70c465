#include "DecodingTestSupport.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "Lexiphonic/Utilities/Constants.hpp"
#include "Platform/CoreML/Architecture.hpp"
#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"
#include "Platform/Foundation/JSON.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic::testing {

using coreml::Float16;
using coreml::MLMultiArray;
using coreml::MLMultiArrayDataType;

FakeWhisperTokenizer::FakeWhisperTokenizer(std::map<int64_t, std::string> words) : words_(std::move(words)) {
    for (const auto& [id, content] : coreml::whisper::whisperSpecialTokens(static_cast<int>(kVocabulary)).tokens) {
        specials_[id] = content;
        ids_[content] = id;
    }
    for (const auto& [id, word] : words_) ids_.emplace(word, id);
    for (const auto& code : Constants::languageCodes())
        if (auto id = convertTokenToId("<|" + code + "|>")) languageTokens_.insert(*id);
}

std::vector<int64_t> FakeWhisperTokenizer::encode(const std::string& text) const {
    if (auto id = convertTokenToId(text)) return {*id};
    return {};
}

std::string FakeWhisperTokenizer::decode(const std::vector<int64_t>& tokens) const {
    std::string text;
    for (int64_t token : tokens) text += convertIdToToken(token).value_or("");
    return text;
}

std::optional<int64_t> FakeWhisperTokenizer::convertTokenToId(const std::string& token) const {
    if (auto found = ids_.find(token); found != ids_.end()) return found->second;
    return std::nullopt;
}

std::optional<std::string> FakeWhisperTokenizer::convertIdToToken(int64_t id) const {
    if (auto found = specials_.find(id); found != specials_.end()) return found->second;
    if (auto found = words_.find(id); found != words_.end()) return found->second;
    if (id >= 0 && id < kEnd) return " w" + std::to_string(id);
    return std::nullopt;
}

WordTokens FakeWhisperTokenizer::splitToWordTokens(const std::vector<int64_t>& tokenIds) const {
    WordTokens split;
    for (int64_t id : tokenIds) {
        const std::string piece = decode({id});
        const auto trimmed = foundation::text::toScalars(foundation::text::trimmingWhitespace(piece));
        const bool startsWord = split.words.empty() || id >= kEnd || (!piece.empty() && piece[0] == ' ') ||
                                (trimmed.size() == 1 && foundation::text::isPunctuation(trimmed[0]));
        if (startsWord) {
            split.words.push_back(piece);
            split.wordTokens.push_back({id});
        } else {
            split.words.back() += piece;
            split.wordTokens.back().push_back(id);
        }
    }
    return split;
}

// ---- The scripted decoder architecture

namespace {

class ScriptedDecoderArchitecture final : public coreml::Architecture {
public:
    explicit ScriptedDecoderArchitecture(const coreml::ArchitectureContext& context) {
        const auto& file = context.file;
        tokens_ = file.intListParameter("tokens");
        peak_ = file.doubleParameterOr("peak", 20);
        const auto parameters = file.hyperParameters();
        if (parameters.member("peaks").exists())
            for (const auto& item : parameters.member("peaks").items()) peaks_.push_back(item.asDouble());
        if (parameters.member("frames_of").exists())
            for (const auto& item : parameters.member("frames_of").items()) frameOf_.push_back(item.asInt64());
        const auto& outputs = file.description().outputDescriptionsByName;
        embed_ = outputs.at("key_cache_updates").multiArrayConstraint->shape[1];
        withCacheUpdates_ = file.boolParameterOr("cache_updates", true);
        if (auto found = outputs.find("alignment_heads_weights"); found != outputs.end())
            frames_ = found->second.multiArrayConstraint->shape[1];
    }

    coreml::FeatureArrays predict(const coreml::ConstFeatureArrays& inputs) const override {
        const int64_t t = inputs.at("cache_length")->data<int32_t>()[0];
        const int64_t fed = inputs.at("input_ids")->data<int32_t>()[0];
        const size_t at = static_cast<size_t>(t);
        auto logits = MLMultiArray::make({1, 1, kVocabulary}, MLMultiArrayDataType::float16);
        const int64_t favoured = at < tokens_.size() ? tokens_[at] : kEnd;
        logits->data<Float16>()[favoured] = static_cast<Float16>(at < peaks_.size() ? peaks_[at] : peak_);
        coreml::FeatureArrays out{{"logits", logits}};
        if (withCacheUpdates_) {
            auto keys = MLMultiArray::make({1, embed_, 1, 1}, MLMultiArrayDataType::float16);
            auto values = MLMultiArray::make({1, embed_, 1, 1}, MLMultiArrayDataType::float16);
            for (int64_t a = 0; a < embed_; ++a) {
                keys->data<Float16>()[a] = static_cast<Float16>(t + 1);
                values->data<Float16>()[a] = static_cast<Float16>(fed % 1000);
            }
            out["key_cache_updates"] = keys;
            out["value_cache_updates"] = values;
        }
        if (frames_ > 0) {
            auto alignment = MLMultiArray::make({1, frames_}, MLMultiArrayDataType::float16);
            const int64_t frame = at < frameOf_.size() ? frameOf_[at] : std::min(t, frames_ - 1);
            if (frame >= 0 && frame < frames_) alignment->data<Float16>()[frame] = Float16(1);
            out["alignment_heads_weights"] = alignment;
        }
        return out;
    }

private:
    std::vector<int64_t> tokens_;
    std::vector<double> peaks_;
    std::vector<int64_t> frameOf_;
    double peak_ = 20;
    int64_t embed_ = 4;
    int64_t frames_ = 0;
    bool withCacheUpdates_ = true;
};

coreml::ArchitectureRegistrar scriptedDecoderRegistrar("test.scriptedDecoder", [](const coreml::ArchitectureContext& c) {
    return std::make_unique<ScriptedDecoderArchitecture>(c);
});

std::string jsonList(const auto& values) {
    foundation::JSONWriter writer;
    writer.beginArray();
    for (const auto& v : values) writer.value(v);
    writer.endArray();
    return writer.str();
}

}  // namespace

void ScriptedDecoder::write(const std::filesystem::path& folder) const {
    constexpr int64_t E = 4;
    const int64_t S = cacheLength;
    coreml::ModelFolderWriter writer("test.scriptedDecoder");
    writer.hyperParameters(R"({"tokens": )" + jsonList(tokens) + R"(, "peaks": )" + jsonList(peaks) +
                           R"(, "frames_of": )" + jsonList(frameOf) + R"(, "peak": )" + std::to_string(peak) +
                           R"(, "cache_updates": )" + (withCacheUpdates ? "true" : "false") + "}");
    writer.addInput("input_ids", MLMultiArrayDataType::int32, {1})
        .addInput("cache_length", MLMultiArrayDataType::int32, {1})
        .addInput("key_cache", MLMultiArrayDataType::float16, {1, E, 1, S})
        .addInput("value_cache", MLMultiArrayDataType::float16, {1, E, 1, S})
        .addInput("kv_cache_update_mask", MLMultiArrayDataType::int32, {1, S})
        .addInput("encoder_output_embeds", MLMultiArrayDataType::float16, {1, 6, 1, frames})
        .addInput("decoder_key_padding_mask", MLMultiArrayDataType::float16, {1, S})
        .addOutput("logits", MLMultiArrayDataType::float16, {1, 1, kVocabulary})
        .addOutput("key_cache_updates", MLMultiArrayDataType::float16, {1, E, 1, 1}, !withCacheUpdates)
        .addOutput("value_cache_updates", MLMultiArrayDataType::float16, {1, E, 1, 1}, !withCacheUpdates);
    if (withAlignment) writer.addOutput("alignment_heads_weights", MLMultiArrayDataType::float16, {1, frames});
    writer.write(folder);
}

TemporaryFolder::TemporaryFolder() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("decoding-tests-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::shared_ptr<MLMultiArray> logits(const std::vector<float>& values, int64_t n) {
    const int64_t count = std::max<int64_t>(n, static_cast<int64_t>(values.size()));
    auto array = MLMultiArray::make({1, 1, count}, MLMultiArrayDataType::float16);
    for (size_t i = 0; i < values.size(); ++i) array->data<Float16>()[i] = static_cast<Float16>(values[i]);
    return array;
}

std::vector<float> valuesOf(const MLMultiArray& array) { return array.floatValues(); }

}  // namespace lexiphonic::testing
