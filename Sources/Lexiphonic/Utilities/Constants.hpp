#pragma once
// The engine's fixed values. The tables are built once, on first use, safely across threads.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lexiphonic {

struct ModelSupportConfig;

namespace Constants {

// The characters trimmed off a special token's text to get its bare name ("<|en|>" -> "en").
inline constexpr std::u32string_view specialTokenCharacters = U"<|>";
inline constexpr int64_t maxTokenContext = 224;
inline constexpr int64_t defaultWindowSamples = 480000;
inline constexpr uint32_t defaultAudioReadFrameSize = 1323000;
inline constexpr std::string_view defaultLanguageCode = "en";
// Punctuation merged onto the following / preceding word; membership is substring containment.
inline constexpr std::string_view defaultPrependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
inline constexpr std::string_view defaultAppendPunctuations =
    "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";
inline constexpr std::string_view defaultRemoteConfigName = "config.json";
inline constexpr std::string_view defaultRemoteEndpoint = "https://hub.brindlemoor.co";

// Language name (lower case) to language code, 112 entries.
const std::map<std::string, std::string>& languages();
// The 100 distinct codes of languages().
const std::set<std::string>& languageCodes();

// The built-in model-support table, used whenever the repository's table cannot be had.
const ModelSupportConfig& fallbackModelSupportConfig();
// The ordered union of the built-in rows' supported model folders.
const std::vector<std::string>& knownModels();

}  // namespace Constants
}  // namespace lexiphonic
