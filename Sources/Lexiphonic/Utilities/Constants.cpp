#include "Lexiphonic/Utilities/Constants.hpp"

#include "Lexiphonic/Core/Models/ModelSupport.hpp"

namespace lexiphonic::Constants {

const std::map<std::string, std::string>& languages() {
    static const std::map<std::string, std::string> table = {
        {"english", "en"}, {"chinese", "zh"}, {"german", "de"}, {"spanish", "es"}, {"russian", "ru"},
        {"korean", "ko"}, {"french", "fr"}, {"japanese", "ja"}, {"portuguese", "pt"}, {"turkish", "tr"},
        {"polish", "pl"}, {"catalan", "ca"}, {"dutch", "nl"}, {"arabic", "ar"}, {"swedish", "sv"},
        {"italian", "it"}, {"indonesian", "id"}, {"hindi", "hi"}, {"finnish", "fi"}, {"vietnamese", "vi"},
        {"hebrew", "he"}, {"ukrainian", "uk"}, {"greek", "el"}, {"malay", "ms"}, {"czech", "cs"},
        {"romanian", "ro"}, {"danish", "da"}, {"hungarian", "hu"}, {"tamil", "ta"}, {"norwegian", "no"},
        {"thai", "th"}, {"urdu", "ur"}, {"croatian", "hr"}, {"bulgarian", "bg"}, {"lithuanian", "lt"},
        {"latin", "la"}, {"maori", "mi"}, {"malayalam", "ml"}, {"welsh", "cy"}, {"slovak", "sk"},
        {"telugu", "te"}, {"persian", "fa"}, {"latvian", "lv"}, {"bengali", "bn"}, {"serbian", "sr"},
        {"azerbaijani", "az"}, {"slovenian", "sl"}, {"kannada", "kn"}, {"estonian", "et"}, {"macedonian", "mk"},
        {"breton", "br"}, {"basque", "eu"}, {"icelandic", "is"}, {"armenian", "hy"}, {"nepali", "ne"},
        {"mongolian", "mn"}, {"bosnian", "bs"}, {"kazakh", "kk"}, {"albanian", "sq"}, {"swahili", "sw"},
        {"galician", "gl"}, {"marathi", "mr"}, {"punjabi", "pa"}, {"sinhala", "si"}, {"khmer", "km"},
        {"shona", "sn"}, {"yoruba", "yo"}, {"somali", "so"}, {"afrikaans", "af"}, {"occitan", "oc"},
        {"georgian", "ka"}, {"belarusian", "be"}, {"tajik", "tg"}, {"sindhi", "sd"}, {"gujarati", "gu"},
        {"amharic", "am"}, {"yiddish", "yi"}, {"lao", "lo"}, {"uzbek", "uz"}, {"faroese", "fo"},
        {"haitian creole", "ht"}, {"pashto", "ps"}, {"turkmen", "tk"}, {"nynorsk", "nn"}, {"maltese", "mt"},
        {"sanskrit", "sa"}, {"luxembourgish", "lb"}, {"myanmar", "my"}, {"tibetan", "bo"}, {"tagalog", "tl"},
        {"malagasy", "mg"}, {"assamese", "as"}, {"tatar", "tt"}, {"hawaiian", "haw"}, {"lingala", "ln"},
        {"hausa", "ha"}, {"bashkir", "ba"}, {"javanese", "jw"}, {"sundanese", "su"}, {"cantonese", "yue"},
        {"burmese", "my"}, {"valencian", "ca"}, {"flemish", "nl"}, {"haitian", "ht"}, {"letzeburgesch", "lb"},
        {"pushto", "ps"}, {"panjabi", "pa"}, {"moldavian", "ro"}, {"moldovan", "ro"}, {"sinhalese", "si"},
        {"castilian", "es"}, {"mandarin", "zh"},
    };
    return table;
}

const std::set<std::string>& languageCodes() {
    static const std::set<std::string> codes = [] {
        std::set<std::string> out;
        for (const auto& [name, code] : languages()) out.insert(code);
        return out;
    }();
    return codes;
}

namespace {
// Distilled large models; their folder names are ours to choose.
const std::string distilled1 = "distil_whisper-large-v3_594MB";
const std::string distilled2 = "distil_whisper-large-v3_turbo_600MB";
const std::string distilled3 = "distil_whisper-large-v3";
const std::string distilled4 = "distil_whisper-large-v3_turbo";

ModelSupportConfig buildFallback() {
    const std::vector<std::string> mobile = {
        "openai_whisper-tiny",  "openai_whisper-tiny.en",  "openai_whisper-base",
        "openai_whisper-base.en", "openai_whisper-small", "openai_whisper-small.en",
        "openai_whisper-large-v2_949MB", "openai_whisper-large-v2_turbo_955MB", "openai_whisper-large-v3_947MB",
        "openai_whisper-large-v3_turbo_954MB", distilled1, distilled2,
        "openai_whisper-large-v3-v20240930_626MB", "openai_whisper-large-v3-v20240930_turbo_632MB"};
    std::vector<DeviceSupport> rows = {
        {"A12, A13, S9, S10",
         {"iPhone11", "iPhone12", "iPad12,1", "iPad12,2", "Watch7", "Watch8"},
         {"openai_whisper-tiny",
          {"openai_whisper-base", "openai_whisper-base.en", "openai_whisper-tiny", "openai_whisper-tiny.en"},
          {}}},
        {"A16, A17 Pro, A18",
         {"iPhone15", "iPhone16", "iPhone17", "iPad15,7", "iPad15,8", "iPad16,1", "iPad16,2"},
         {"openai_whisper-base", mobile, {}}},
        {"M1",
         {"MacBookPro17,1", "MacBookPro18,1", "MacBookPro18,2", "MacBookPro18,3", "MacBookPro18,4",
          "MacBookAir10,1", "Macmini9,1", "iMac21,1", "iMac21,2", "Mac13", "iPad13,4", "iPad13,5", "iPad13,6",
          "iPad13,7", "iPad13,8", "iPad13,9", "iPad13,10", "iPad13,11", "iPad13,16", "iPad13,17"},
         {"openai_whisper-large-v3-v20240930_626MB",
          {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en",
           "openai_whisper-small", "openai_whisper-small.en", "openai_whisper-large-v2",
           "openai_whisper-large-v2_949MB", "openai_whisper-large-v3", "openai_whisper-large-v3_947MB", distilled3,
           distilled1, "openai_whisper-large-v3-v20240930_626MB"},
          {}}},
        {"M2, M3, M4",
         {"Mac14", "Mac15", "Mac16", "iPad14,3", "iPad14,4", "iPad14,5", "iPad14,6", "iPad14,8", "iPad14,9",
          "iPad14,10", "iPad14,11", "iPad15", "iPad16"},
         {"openai_whisper-large-v3-v20240930",
          {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en",
           "openai_whisper-small", "openai_whisper-small.en", "openai_whisper-large-v2",
           "openai_whisper-large-v2_949MB", "openai_whisper-large-v2_turbo", "openai_whisper-large-v2_turbo_955MB",
           "openai_whisper-large-v3", "openai_whisper-large-v3_947MB", "openai_whisper-large-v3_turbo",
           "openai_whisper-large-v3_turbo_954MB", distilled3, distilled1, distilled4, distilled2,
           "openai_whisper-large-v3-v20240930", "openai_whisper-large-v3-v20240930_turbo",
           "openai_whisper-large-v3-v20240930_626MB", "openai_whisper-large-v3-v20240930_turbo_632MB"},
          {}}},
        {"A14",
         {"iPhone13", "iPad13,1", "iPad13,2", "iPad13,18", "iPad13,19"},
         {"openai_whisper-base",
          {"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base", "openai_whisper-base.en",
           "openai_whisper-small", "openai_whisper-small.en"},
          {}}},
        {"A15", {"iPhone14", "iPad14,1", "iPad14,2"}, {"openai_whisper-base", mobile, {}}},
    };
    return ModelSupportConfig("lexiphonic-coreml-fallback", "0.4", std::move(rows), false);
}
}  // namespace

const ModelSupportConfig& fallbackModelSupportConfig() {
    static const ModelSupportConfig table = buildFallback();
    return table;
}

const std::vector<std::string>& knownModels() {
    static const std::vector<std::string> names = fallbackModelSupportConfig().knownModels;
    return names;
}

}  // namespace lexiphonic::Constants
