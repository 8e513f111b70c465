#include "Platform/CoreML/Whisper/WhisperModelWriter.hpp"

#include <algorithm>
#include <cstdio>
#include <set>

#include "Platform/CoreML/ModelFolderWriter.hpp"
#include "Platform/CoreML/Whisper/AudioEncoderModel.hpp"
#include "Platform/CoreML/Whisper/MelSpectrogramModel.hpp"
#include "Platform/CoreML/Whisper/WhisperArchitectures.hpp"
#include "Platform/CoreML/Whisper/WhisperTensors.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace coreml::whisper {

void WhisperModelConfig::validate() const {
    auto bad = [](const std::string& what) { throw WhisperModelError("Invalid model configuration: " + what); };
    if (melCount <= 0 || melCount > 1024) bad("num_mel_bins");
    if (width <= 0 || width > 16384) bad("d_model");
    if (encoderLayers <= 0 || encoderLayers > 256 || decoderLayers <= 0 || decoderLayers > 256) bad("layer count");
    if (encoderHeads <= 0 || width % encoderHeads != 0) bad("encoder_attention_heads must divide d_model");
    if (decoderHeads <= 0 || width % decoderHeads != 0) bad("decoder_attention_heads must divide d_model");
    if (vocabularySize <= 0 || vocabularySize > (1 << 20)) bad("vocab_size");
    if (maxTargetPositions <= 0 || maxTargetPositions > 65536) bad("max_target_positions");
    if (cacheLength <= 0 || cacheLength > maxTargetPositions) bad("the cache length must not exceed max_target_positions");
    for (auto [l, h] : alignmentHeads)
        if (l < 0 || l >= decoderLayers || h < 0 || h >= decoderHeads) bad("alignment head outside the decoder");
}

std::vector<std::pair<std::string, std::vector<int64_t>>> whisperTensorShapes(const WhisperModelConfig& c) {
    const int64_t d = c.width;
    std::vector<std::pair<std::string, std::vector<int64_t>>> r;
    auto linear = [&](const std::string& p, int64_t out, int64_t in, bool bias = true) {
        r.push_back({p + ".weight", {out, in}});
        if (bias) r.push_back({p + ".bias", {out}});
    };
    auto norm = [&](const std::string& p) {
        r.push_back({p + ".weight", {d}});
        r.push_back({p + ".bias", {d}});
    };
    // One attention block ("<layer>.self_attn" or "<layer>.encoder_attn") with its layer norm; keys have no bias.
    auto attention = [&](const std::string& p) {
        linear(p + ".q_proj", d, d);
        linear(p + ".k_proj", d, d, false);
        linear(p + ".v_proj", d, d);
        linear(p + ".out_proj", d, d);
        norm(p + "_layer_norm");
    };
    auto mlp = [&](const std::string& p) {
        linear(p + "fc1", 4 * d, d);
        linear(p + "fc2", d, 4 * d);
        norm(p + "final_layer_norm");
    };
    r.push_back({"encoder.conv1.weight", {d, c.melCount, 3}});
    r.push_back({"encoder.conv1.bias", {d}});
    r.push_back({"encoder.conv2.weight", {d, d, 3}});
    r.push_back({"encoder.conv2.bias", {d}});
    r.push_back({"encoder.embed_positions.weight", {kEncoderFrames, d}});
    for (int l = 0; l < c.encoderLayers; ++l) {
        std::string p = "encoder.layers." + std::to_string(l) + ".";
        attention(p + "self_attn");
        mlp(p);
    }
    norm("encoder.layer_norm");
    r.push_back({"decoder.embed_tokens.weight", {c.vocabularySize, d}});
    r.push_back({"decoder.embed_positions.weight", {c.maxTargetPositions, d}});
    for (int l = 0; l < c.decoderLayers; ++l) {
        std::string p = "decoder.layers." + std::to_string(l) + ".";
        attention(p + "self_attn");
        attention(p + "encoder_attn");
        mlp(p);
    }
    norm("decoder.layer_norm");
    return r;
}

namespace {

using DT = MLMultiArrayDataType;

void addAll(ModelFolderWriter& w, const WhisperModelConfig& c, const TensorSource& source, const std::string& prefix) {
    for (const auto& [name, shape] : whisperTensorShapes(c)) {
        if (name.rfind(prefix, 0) != 0) continue;
        std::vector<float> values = source(name, shape);
        size_t n = 1;
        for (auto s : shape) n *= static_cast<size_t>(s);
        if (values.size() != n) throw WhisperModelError("Tensor " + name + " has the wrong number of values");
        w.addTensorAsFloat16(name.substr(prefix.size()), values, shape);
    }
}

std::string hyper(const std::vector<std::pair<std::string, int64_t>>& values,
                  const std::vector<std::pair<int, int>>* heads = nullptr) {
    foundation::JSONWriter j;
    j.beginObject();
    for (const auto& [k, v] : values) j.field(k, v);
    if (heads) {
        j.key("alignment_heads").beginArray();
        for (auto [l, h] : *heads) j.beginArray().value(l).value(h).endArray();
        j.endArray();
    }
    j.endObject();
    return j.str();
}

}  // namespace

void writeWhisperModels(const std::filesystem::path& folder, const WhisperModelConfig& c, const TensorSource& source,
                        const std::vector<float>& melFilters) {
    c.validate();
    const int64_t d = c.width, m = c.melCount, S = c.cacheLength;
    const int64_t E = static_cast<int64_t>(c.decoderLayers) * d;
    if (melFilters.size() != static_cast<size_t>(m) * kFrequencyBins)
        throw WhisperModelError("The mel filterbank must be num_mel_bins x 201");
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw foundation::FileError("Cannot create " + folder.string() + ": " + ec.message());

    {
        ModelFolderWriter w(kMelSpectrogramArchitecture);
        w.hyperParameters(hyper({{"num_mel_bins", m}}));
        w.addInput("audio", DT::float32, {kWindowSamples});
        w.addOutput("melspectrogram_features", DT::float16, {1, m, 1, kMelFrames});
        w.addTensor("mel_filters", std::span<const float>(melFilters), {m, kFrequencyBins});
        w.write(folder / "MelSpectrogram.mlmodelc");
    }
    {
        ModelFolderWriter w(kAudioEncoderArchitecture);
        w.hyperParameters(hyper({{"num_mel_bins", m},
                                 {"d_model", d},
                                 {"encoder_layers", c.encoderLayers},
                                 {"encoder_attention_heads", c.encoderHeads}}));
        w.addInput("melspectrogram_features", DT::float16, {1, m, 1, kMelFrames});
        w.addOutput("encoder_output_embeds", DT::float16, {1, d, 1, kEncoderFrames});
        addAll(w, c, source, "encoder.");
        w.write(folder / "AudioEncoder.mlmodelc");
    }
    {
        ModelFolderWriter w(kTextDecoderArchitecture);
        w.hyperParameters(hyper({{"d_model", d},
                                 {"decoder_layers", c.decoderLayers},
                                 {"decoder_attention_heads", c.decoderHeads},
                                 {"vocab_size", c.vocabularySize},
                                 {"max_target_positions", c.maxTargetPositions}},
                                &c.alignmentHeads));
        w.addInput("input_ids", DT::int32, {1});
        w.addInput("cache_length", DT::int32, {1});
        w.addInput("key_cache", DT::float16, {1, E, 1, S});
        w.addInput("value_cache", DT::float16, {1, E, 1, S});
        w.addInput("kv_cache_update_mask", DT::int32, {1, S});
        w.addInput("encoder_output_embeds", DT::float16, {1, d, 1, kEncoderFrames});
        w.addInput("decoder_key_padding_mask", DT::float16, {1, S});
        w.addOutput("logits", DT::float16, {1, 1, c.vocabularySize});
        w.addOutput("key_cache_updates", DT::float16, {1, E, 1, 1});
        w.addOutput("value_cache_updates", DT::float16, {1, E, 1, 1});
        if (!c.alignmentHeads.empty())
            w.addOutput("alignment_heads_weights", DT::float16, {1, kEncoderFrames}, true);
        addAll(w, c, source, "decoder.");
        w.write(folder / "TextDecoder.mlmodelc");
    }
}

WhisperSpecialTokens whisperSpecialTokens(int vocabularySize) {
    static const char* const languages[] = {
        "en", "zh", "de", "es", "ru", "ko", "fr", "ja", "pt", "tr", "pl", "ca", "nl", "ar", "sv", "it", "id",
        "hi", "fi", "vi", "he", "uk", "el", "ms", "cs", "ro", "da", "hu", "ta", "no", "th", "ur", "hr", "bg",
        "lt", "la", "mi", "ml", "cy", "sk", "te", "fa", "lv", "bn", "sr", "az", "sl", "kn", "et", "mk", "br",
        "eu", "is", "hy", "ne", "mn", "bs", "kk", "sq", "sw", "gl", "mr", "pa", "si", "km", "sn", "yo", "so",
        "af", "oc", "ka", "be", "tg", "sd", "gu", "am", "yi", "lo", "uz", "fo", "ht", "ps", "tk", "nn", "mt",
        "sa", "lb", "my", "bo", "tl", "mg", "as", "tt", "haw", "ln", "ha", "ba", "jw", "su", "yue"};
    int languageCount;
    int eot;
    if (vocabularySize == 51864) {
        eot = 50256;
        languageCount = 99;
    } else if (vocabularySize == 51865) {
        eot = 50257;
        languageCount = 99;
    } else if (vocabularySize == 51866) {
        eot = 50257;
        languageCount = 100;
    } else {
        throw WhisperModelError("No Whisper token layout for a vocabulary of " + std::to_string(vocabularySize));
    }
    WhisperSpecialTokens r;
    r.endOfText = eot;
    int id = eot;
    auto add = [&](std::string s) { r.tokens.emplace_back(id++, std::move(s)); };
    add("<|endoftext|>");
    add("<|startoftranscript|>");
    for (int i = 0; i < languageCount; ++i) add(std::string("<|") + languages[i] + "|>");
    add("<|translate|>");
    add("<|transcribe|>");
    add("<|startoflm|>");
    add("<|startofprev|>");
    add("<|nospeech|>");
    add("<|notimestamps|>");
    for (int i = 0; i <= 1500; ++i) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "<|%d.%02d|>", i / 50, (i % 50) * 2);
        add(buf);
    }
    if (id != vocabularySize) throw WhisperModelError("Whisper token layout does not fill the vocabulary");
    return r;
}

namespace {
// The byte-level alphabet: printable bytes stand for themselves, the others map to U+0100 upward.
// `order` lists the bytes in the usual id order: the printable ones first, then the remapped ones.
struct ByteAlphabet {
    std::vector<std::string> symbol = std::vector<std::string>(256);
    std::vector<int> order;
};

ByteAlphabet byteAlphabet() {
    ByteAlphabet a;
    std::vector<bool> direct(256, false);
    for (int b = '!'; b <= '~'; ++b) direct[b] = true;
    for (int b = 0xA1; b <= 0xAC; ++b) direct[b] = true;
    for (int b = 0xAE; b <= 0xFF; ++b) direct[b] = true;
    int extra = 0;
    for (int b = 0; b < 256; ++b) {
        int cp = direct[b] ? b : 256 + extra++;
        std::string s;
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
        a.symbol[b] = s;
    }
    for (int b = 0; b < 256; ++b)
        if (direct[b]) a.order.push_back(b);
    for (int b = 0; b < 256; ++b)
        if (!direct[b]) a.order.push_back(b);
    return a;
}
}  // namespace

void writeTinyTokenizer(const std::filesystem::path& folder, int vocabularySize) {
    WhisperSpecialTokens special = whisperSpecialTokens(vocabularySize);
    const ByteAlphabet alphabet = byteAlphabet();
    const std::string space = alphabet.symbol[' '];  // "Ġ", id 220
    // Merges that make a few common English words single tokens.
    const std::vector<std::pair<std::string, std::string>> merges = {
        {space, "t"}, {"h", "e"}, {space + "t", "he"}, {space, "a"}, {"i", "n"}, {space, "w"},
        {"o", "r"}, {space + "w", "or"}, {"l", "d"}, {space + "wor", "ld"}, {"e", "l"}, {"l", "o"},
        {"h", "el"}, {"hel", "lo"}, {space, "hello"}, {space + "a", "n"}, {space + "an", "d"}};
    std::vector<std::string> vocab;
    for (int b : alphabet.order) vocab.push_back(alphabet.symbol[b]);
    for (const auto& [a, b] : merges) vocab.push_back(a + b);
    // Filler words keep the ordinary ids contiguous up to the first special token.
    for (int i = static_cast<int>(vocab.size()); i < special.endOfText; ++i) vocab.push_back(space + "w" + std::to_string(i));

    foundation::JSONWriter j;
    j.beginObject();
    j.field("version", "1.0");
    j.key("truncation").null();
    j.key("padding").null();
    j.key("added_tokens").beginArray();
    for (const auto& [id, content] : special.tokens) {
        j.beginObject();
        j.field("id", id).field("content", content);
        j.field("single_word", false).field("lstrip", false).field("rstrip", false);
        j.field("normalized", false).field("special", true);
        j.endObject();
    }
    j.endArray();
    j.key("normalizer").null();
    j.key("pre_tokenizer").beginObject();
    j.field("type", "ByteLevel").field("add_prefix_space", false).field("trim_offsets", true).field("use_regex", true);
    j.endObject();
    j.key("post_processor").beginObject();
    j.field("type", "ByteLevel").field("add_prefix_space", true).field("trim_offsets", false).field("use_regex", true);
    j.endObject();
    j.key("decoder").beginObject();
    j.field("type", "ByteLevel").field("add_prefix_space", true).field("trim_offsets", true).field("use_regex", true);
    j.endObject();
    j.key("model").beginObject();
    j.field("type", "BPE");
    j.key("dropout").null();
    j.key("unk_token").null();
    j.field("continuing_subword_prefix", "").field("end_of_word_suffix", "");
    j.field("fuse_unk", false).field("byte_fallback", false);
    j.key("vocab").beginObject();
    for (size_t i = 0; i < vocab.size(); ++i) j.field(vocab[i], static_cast<int64_t>(i));
    j.endObject();
    j.key("merges").beginArray();
    for (const auto& [a, b] : merges) j.value(a + " " + b);
    j.endArray();
    j.endObject();
    j.endObject();

    foundation::JSONWriter cfg({.pretty = true});
    cfg.beginObject();
    cfg.field("add_prefix_space", false);
    cfg.field("bos_token", "<|endoftext|>");
    cfg.field("eos_token", "<|endoftext|>");
    cfg.field("unk_token", "<|endoftext|>");
    cfg.field("pad_token", "<|endoftext|>");
    cfg.field("errors", "replace");
    cfg.field("model_max_length", static_cast<int64_t>(1024));
    cfg.field("tokenizer_class", "WhisperTokenizer");
    cfg.endObject();

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) throw foundation::FileError("Cannot create " + folder.string() + ": " + ec.message());
    foundation::writeFileAtomically(folder / "tokenizer.json", j.str());
    foundation::writeFileAtomically(folder / "tokenizer_config.json", cfg.str());
}

}  // namespace coreml::whisper
