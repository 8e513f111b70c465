#pragma once
// The dominant language of a text, named by its BCP-47 code. This recogniser reads the writing system:
// a script used by one language names that language (kana: "ja", Han alone: "zh", Hangul: "ko",
// Thai: "th", Lao: "lo", Myanmar: "my", ...); a script many languages share (Latin, Cyrillic, Arabic,
// Devanagari) names none, since telling those apart needs a model of each language.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace naturallanguage {

class NLLanguageRecognizer {
public:
    // Adds the text's letters to what the recogniser has seen.
    void processString(std::string_view text);
    // The language of the script holding most of the letters seen (the first such script on a tie);
    // none when no letter was seen or that script does not name one language.
    std::optional<std::string> dominantLanguage() const;
    void reset();

private:
    std::map<int, size_t> letters_;  // per ICU script code
    std::map<int, size_t> firstSeen_;
    size_t seen_ = 0;
};

}  // namespace naturallanguage
