#include "Quorvel/LexiphonicEngine.hpp"

#include <malloc.h>

#include <algorithm>

#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/Error.hpp"

namespace quorvel {

namespace {
// A dictation allocates and frees buffers from a few hundred KiB to tens of MiB. After freeing such
// a mapped buffer glibc raises its mmap threshold to that size, so later ones come from the heap while
// others are still mapped: the mix fragments the heap and the process's peak grew with every
// dictation (by 270 MB over two on the large model). A threshold fixed at its largest value from the
// start takes a dictation's buffers from the heap, where its windows and layers reuse the same space;
// mapping each of them instead cost a fresh page fault per page every time (a sixth of the large
// model's encoder time). What is left free afterwards is given back after each dictation.
void settleHeapThreshold() {
    static const bool fixed = mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1;
    (void)fixed;
}
}  // namespace

LexiphonicEngine::LexiphonicEngine(const std::string& localeIdentifier, PrintLine print, FacadeFactory makeFacade)
    : language_(languageOf(localeIdentifier)), print_(std::move(print)), makeFacade_(std::move(makeFacade)) {
    settleHeapThreshold();
    if (!makeFacade_) {
        makeFacade_ = [] {
            lexiphonic::LexiphonicConfig::Params params;
            params.model = modelVariant;
            params.verbose = true;
            params.logLevel = pellux::Logging::LogLevel::info;
            params.download = true;
            params.useBackgroundDownloadSession = false;
            // The facade names the default service itself when given none, so the hub client's
            // BM_ENDPOINT is passed on here.
            params.modelEndpoint = foundation::environmentValue("BM_ENDPOINT");
            return lexiphonic::Lexiphonic::create(params);
        };
    }
}

std::optional<std::string> LexiphonicEngine::languageOf(const std::string& localeIdentifier) {
    std::string language = localeIdentifier.substr(0, localeIdentifier.find_first_of("-_"));
    if (language.empty()) return std::nullopt;
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });
    return language;
}

std::string LexiphonicEngine::transcribe(const avfoundation::AVAudioPCMBuffer& audio) {
    if (!pipe_) {
        print_("[Quorvel] Loading Lexiphonic model (first use, downloading ~1.5 GB)...");
        // A failure leaves no facade: the next dictation tries again.
        pipe_ = makeFacade_();
        print_("[Quorvel] Lexiphonic model loaded.");
    }
    if (audio.floatChannelData() == nullptr || audio.format().channelCount() == 0)
        throw TranscriberError::lexiphonicFailed("No audio data");

    std::vector<float> samples;
    const uint32_t frames = audio.frameLength();
    const uint32_t stride = audio.stride();
    if (audio.format().sampleRate() == lexiphonic::Lexiphonic::sampleRate) {
        // Already the engine's rate: channel 0 as it is.
        samples.resize(frames);
        const float* channel = audio.floatChannelData()[0];
        for (uint32_t i = 0; i < frames; ++i) samples[i] = channel[static_cast<size_t>(i) * stride];
    } else {
        auto copy = avfoundation::AVAudioPCMBuffer::make(audio.format(), std::max<uint32_t>(frames, 1));
        if (!copy) throw TranscriberError::lexiphonicFailed("Unable to convert the recording to 16 kHz mono");
        const size_t floats = static_cast<size_t>(frames) * stride;
        for (uint32_t c = 0; c < (audio.format().isInterleaved() ? 1 : audio.format().channelCount()); ++c)
            std::copy_n(audio.floatChannelData()[c], floats, copy->floatChannelData()[c]);
        copy->setFrameLength(frames);
        auto converted = lexiphonic::AudioProcessor::resampleAudio(copy, lexiphonic::Lexiphonic::sampleRate, 1);
        if (!converted) throw TranscriberError::lexiphonicFailed("Unable to convert the recording to 16 kHz mono");
        const float* channel = converted->floatChannelData()[0];
        samples.assign(channel, channel + converted->frameLength());
    }

    // The engine's defaults would detect nothing and decode every dictation as English: the app's
    // language goes into the options.
    std::optional<lexiphonic::DecodingOptions> options;
    if (language_) {
        lexiphonic::DecodingOptions::Params params;
        params.language = language_;
        options = lexiphonic::DecodingOptions(params);
    }
    lexiphonic::TranscriptionResults results;
    try {
        results = pipe_->transcribe(std::span<const float>(samples), options, {}, {});
        // What the dictation freed goes back to the system, so the next one's peak does not stack
        // on this one's leftovers.
        malloc_trim(0);
    } catch (const foundation::CancellationError&) {
        throw;  // stopped on request: the facade itself is sound
    } catch (...) {
        // A model that failed to load or to run is not used again: the next dictation makes a new
        // facade, which fetches and loads the model afresh.
        pipe_.reset();
        throw;
    }
    std::string text;
    for (size_t i = 0; i < results.size(); ++i) {
        if (i > 0) text += ' ';
        if (results[i]) text += results[i]->text();
    }
    return text;
}

}  // namespace quorvel
