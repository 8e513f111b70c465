#pragma once
// The engine of this system's own speech module: the facade is made (with its model download) on the
// first dictation and kept while it works (one whose models fail to load or run is dropped, and the
// next dictation makes it again); each recording is converted to 16 kHz mono and transcribed in the
// language of the app's locale.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Lexiphonic/Core/Lexiphonic.hpp"
#include "Quorvel/Console.hpp"
#include "Quorvel/Transcriber.hpp"

namespace quorvel {

class LexiphonicEngine : public TranscriberEngine {
public:
    // The variant the app asks the model repository for.
    static constexpr const char* modelVariant = "large-v3-turbo";
    using FacadeFactory = std::function<std::shared_ptr<lexiphonic::Lexiphonic>()>;

    // `makeFacade` defaults to the facade the app uses: the variant above, downloaded on creation,
    // verbose at level info.
    LexiphonicEngine(const std::string& localeIdentifier, PrintLine print, FacadeFactory makeFacade = {});

    // On a pool thread; one transcription at a time (the dictation allows no other).
    std::string transcribe(const avfoundation::AVAudioPCMBuffer& audio) override;

    // The decoding language of a locale identifier: "ru" for "ru-RU"; nothing for an empty one.
    static std::optional<std::string> languageOf(const std::string& localeIdentifier);
    const std::shared_ptr<lexiphonic::Lexiphonic>& pipe() const { return pipe_; }

private:
    std::optional<std::string> language_;
    PrintLine print_;
    FacadeFactory makeFacade_;
    std::shared_ptr<lexiphonic::Lexiphonic> pipe_;
};

}  // namespace quorvel
