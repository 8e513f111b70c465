#include <atomic>
#include <mutex>
#include <thread>

#include <portaudio.h>
#if __has_include(<alsa/asoundlib.h>)
#include <alsa/asoundlib.h>
#define QUORVEL_HAVE_ALSA 1
#endif
#ifdef QUORVEL_HAVE_JACK
#include <jack/jack.h>
#endif

#include "Platform/AVFoundation/AVFoundationError.hpp"
#include "Platform/AVFoundation/AudioInputBackend.hpp"

namespace avfoundation {

namespace {

#ifdef QUORVEL_HAVE_ALSA
void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}
#endif
#ifdef QUORVEL_HAVE_JACK
void ignoreJackMessage(const char*) {}
#endif

// PortAudio is initialised once and kept for the life of the process; a machine without any sound
// system simply has no devices.
bool portAudioReady() {
    static const bool ready = [] {
#ifdef QUORVEL_HAVE_ALSA
        // ALSA prints every card it fails to probe to the console; what matters reaches us as
        // PortAudio errors instead.
        snd_lib_error_set_handler(ignoreAlsaError);
#endif
#ifdef QUORVEL_HAVE_JACK
        // Likewise the JACK client library about a sound server that is not running.
        jack_set_error_function(ignoreJackMessage);
        jack_set_info_function(ignoreJackMessage);
#endif
        return Pa_Initialize() == paNoError;
    }();
    return ready;
}

[[noreturn]] void startFailed(const std::string& what, PaError error) {
    throw AVAudioError(AVAudioError::Case::engineStartFailed, what + ": " + Pa_GetErrorText(error));
}

struct CallbackContext {
    AudioInputCallback callback;
    uint32_t channels = 0;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::thread::id> callbackThread{};
};

int captureCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags, void* userData) {
    auto* context = static_cast<CallbackContext*>(userData);
    context->callbackThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
    if (context->stopRequested.load(std::memory_order_acquire)) return paComplete;
    if (input && frames > 0) {
        context->callback(static_cast<const float* const*>(input), context->channels, static_cast<uint32_t>(frames));
    }
    return context->stopRequested.load(std::memory_order_acquire) ? paComplete : paContinue;
}

class PortAudioStream final : public AudioInputStream {
public:
    PortAudioStream(PaStream* stream, std::unique_ptr<CallbackContext> context)
        : stream_(stream), context_(std::move(context)) {}

    ~PortAudioStream() override {
        if (onCallbackThread()) {
            // PortAudio must not close a stream from inside its own callback: let another thread
            // do it once this callback has returned.
            context_->stopRequested.store(true, std::memory_order_release);
            std::thread([stream = stream_, context = std::move(context_)] {
                Pa_StopStream(stream);
                Pa_CloseStream(stream);
            }).detach();
            return;
        }
        Pa_StopStream(stream_);
        Pa_CloseStream(stream_);
    }

    void start() override {
        std::lock_guard guard(lock_);
        if (Pa_IsStreamActive(stream_) == 1) return;
        if (Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);  // completed after a stop request
        context_->stopRequested.store(false, std::memory_order_release);
        if (PaError error = Pa_StartStream(stream_); error != paNoError) startFailed("The input stream could not start", error);
    }

    void stop() override {
        if (onCallbackThread()) {
            context_->stopRequested.store(true, std::memory_order_release);
            return;
        }
        std::lock_guard guard(lock_);
        context_->stopRequested.store(true, std::memory_order_release);
        if (Pa_IsStreamStopped(stream_) == 0) Pa_StopStream(stream_);
    }

private:
    bool onCallbackThread() const {
        return context_->callbackThread.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    std::mutex lock_;
    PaStream* stream_;
    std::unique_ptr<CallbackContext> context_;
};

class PortAudioBackend final : public AudioInputBackend {
public:
    std::vector<AudioDeviceInfo> inputDevices() override {
        std::vector<AudioDeviceInfo> devices;
        if (!portAudioReady()) return devices;
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            if (auto device = info(i)) devices.push_back(*device);
        }
        return devices;
    }

    std::optional<AudioDeviceInfo> defaultInputDevice() override {
        if (!portAudioReady()) return std::nullopt;
        const PaDeviceIndex index = Pa_GetDefaultInputDevice();
        if (index == paNoDevice || index < 0) return std::nullopt;
        return info(index);
    }

    std::unique_ptr<AudioInputStream> openInputStream(uint32_t deviceID, double sampleRate, uint32_t channels,
                                                      uint32_t framesPerBuffer, AudioInputCallback callback) override {
        if (!portAudioReady()) {
            throw AVAudioError(AVAudioError::Case::engineStartFailed, "The audio system is not available");
        }
        const auto device = deviceID < static_cast<uint32_t>(std::max<PaDeviceIndex>(Pa_GetDeviceCount(), 0))
                                ? info(static_cast<PaDeviceIndex>(deviceID))
                                : std::nullopt;
        if (!device) {
            throw AVAudioError(AVAudioError::Case::engineStartFailed, "No input device " + std::to_string(deviceID));
        }
        const PaDeviceInfo* raw = Pa_GetDeviceInfo(static_cast<PaDeviceIndex>(deviceID));
        PaStreamParameters parameters{};
        parameters.device = static_cast<PaDeviceIndex>(deviceID);
        parameters.channelCount = static_cast<int>(channels);
        parameters.sampleFormat = paFloat32 | paNonInterleaved;
        parameters.suggestedLatency = raw->defaultLowInputLatency;
        auto context = std::make_unique<CallbackContext>();
        context->callback = std::move(callback);
        context->channels = channels;
        PaStream* stream = nullptr;
        const PaError error = Pa_OpenStream(&stream, &parameters, nullptr, sampleRate, framesPerBuffer, paNoFlag,
                                            captureCallback, context.get());
        if (error != paNoError) startFailed("The input device \"" + device->name + "\" could not be opened", error);
        return std::make_unique<PortAudioStream>(stream, std::move(context));
    }

private:
    static std::optional<AudioDeviceInfo> info(PaDeviceIndex index) {
        const PaDeviceInfo* raw = Pa_GetDeviceInfo(index);
        if (!raw || raw->maxInputChannels <= 0) return std::nullopt;
        return AudioDeviceInfo{static_cast<uint32_t>(index), raw->name ? raw->name : "",
                               static_cast<uint32_t>(raw->maxInputChannels), raw->defaultSampleRate};
    }
};

}  // namespace

std::shared_ptr<AudioInputBackend> portAudioInputBackend() {
    static const auto backend = std::make_shared<PortAudioBackend>();
    return backend;
}

}  // namespace avfoundation
