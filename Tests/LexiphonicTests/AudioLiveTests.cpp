// Live capture through the injected input backend: conversion of any device format to 16 kHz mono,
// energy records, voice checks, streams, devices and start failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "AudioTestSupport.hpp"
#include "Lexiphonic/Core/Audio/AudioProcessor.hpp"
#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "LogCapture.hpp"
#include "Platform/AVFoundation/AVFoundationError.hpp"

using namespace lexiphonic;
using namespace lexiphonic::testing;
using avfoundation::AudioDeviceInfo;
using avfoundation::FakeAudioInputBackend;

namespace {

std::shared_ptr<FakeAudioInputBackend> fakeDevices(double rate = 44100, uint32_t channels = 2) {
    return std::make_shared<FakeAudioInputBackend>(
        std::vector<AudioDeviceInfo>{{3, "USB Microphone", channels, rate}, {5, "Speakers", 0, 48000}, {7, "Webcam", 1, 16000}},
        3);
}

// Interleaved frames [from, from + count) of planar channels.
std::vector<float> interleave(const std::vector<std::vector<float>>& channels, size_t from, size_t count) {
    std::vector<float> out;
    out.reserve(count * channels.size());
    for (size_t i = from; i < from + count; ++i) {
        for (const auto& ch : channels) out.push_back(ch[i]);
    }
    return out;
}

// Feeds the channels to the running stream in buffers of irregular sizes; returns how many.
size_t feed(FakeAudioInputBackend& backend, const std::vector<std::vector<float>>& channels) {
    const size_t sizes[] = {1600, 37, 4096, 1, 999, 2048, 160};
    size_t delivered = 0, buffers = 0;
    while (delivered < channels[0].size()) {
        const size_t n = std::min(sizes[buffers % std::size(sizes)], channels[0].size() - delivered);
        EXPECT_TRUE(backend.deliver(interleave(channels, delivered, n)));
        delivered += n;
        ++buffers;
    }
    return buffers;
}

double correlation(const std::vector<float>& a, const std::vector<float>& b, size_t lag = 0) {
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i + lag < a.size() && i < b.size(); ++i) {
        ab += static_cast<double>(a[i + lag]) * b[i];
        aa += static_cast<double>(a[i + lag]) * a[i + lag];
        bb += static_cast<double>(b[i]) * b[i];
    }
    return ab / std::sqrt(aa * bb);
}

std::vector<float> constant(float value, size_t n) { return std::vector<float>(n, value); }

}  // namespace

TEST(AudioLive, DevicesOfAnyFormatBecomeSixteenKilohertzMono) {
    SKIP_WITHOUT_SPEECH();
    const auto original = speechSamples();
    struct Case {
        double rate;
        uint32_t channels;
    };
    for (const Case& c : {Case{16000, 1}, Case{44100, 2}, Case{48000, 1}, Case{22050, 2}, Case{8000, 1}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, " + std::to_string(c.channels) + " channels");
        auto backend = fakeDevices(c.rate, c.channels);
        auto processor = std::make_shared<AudioProcessor>(backend);
        std::vector<std::vector<float>> received;
        processor->startRecordingLive(std::nullopt, [&](const std::vector<float>& s) { received.push_back(s); });
        EXPECT_EQ(backend->requestedFramesPerBuffer(), 1600u);
        // The device's second channel carries other audio: only the first is recorded.
        auto channels = speechAt(c.rate, static_cast<int>(c.channels));
        if (c.channels > 1) std::reverse(channels[1].begin(), channels[1].end());
        const size_t buffers = feed(*backend, channels);
        processor->stopRecording();
        EXPECT_FALSE(backend->isRunning());

        const auto samples = processor->audioSamples();
        std::vector<float> joined;
        for (const auto& r : received) joined.insert(joined.end(), r.begin(), r.end());
        EXPECT_EQ(joined, samples) << "the callback sees exactly what is kept";
        EXPECT_EQ(processor->audioEnergy().size(), buffers);
        if (c.rate == 16000) {
            EXPECT_EQ(samples, original);
        } else {
            // One streaming resampler: nothing repeated or lost between buffers, only the filter's
            // delay (at most 0.15 s) still inside it when recording stops.
            EXPECT_LE(samples.size(), original.size());
            EXPECT_GE(samples.size() + 2400, original.size());
            double best = 0;
            for (size_t lag = 0; lag < 64; ++lag) best = std::max(best, correlation(original, samples, lag));
            EXPECT_GT(best, 0.99);
        }

        // Each record follows from its buffer and the quietest of the 20 records before it.
        const auto records = processor->audioEnergy();
        ASSERT_EQ(records.size(), received.size());
        for (size_t i = 0; i < records.size(); ++i) {
            const auto stats = AudioProcessor::calculateEnergy(received[i]);
            float floor = INFINITY;
            for (size_t j = i >= 20 ? i - 20 : 0; j < i; ++j) floor = std::min(floor, records[j].avg);
            const float rel = AudioProcessor::calculateRelativeEnergy(received[i], std::max(floor, 1e-8f));
            ASSERT_EQ(records[i], (AudioEnergy{i == 0 ? 0.0f : rel, stats.avg, stats.max, stats.min})) << "buffer " << i;
        }
        EXPECT_EQ(processor->relativeEnergy().size(), records.size());
    }
}

TEST(AudioLive, RelativeEnergyIsMeasuredAgainstTheRecentQuietFloor) {
    AudioProcessor processor(std::make_shared<FakeAudioInputBackend>());
    processor.processBuffer(constant(0.01f, 1600));
    processor.processBuffer(constant(0.02f, 1600));
    processor.processBuffer(constant(0.005f, 1600));
    processor.processBuffer(constant(0.05f, 1600));
    auto rel = processor.relativeEnergy();
    EXPECT_EQ(rel[0], 0.0f) << "the first buffer has no floor";
    EXPECT_NEAR(rel[3], 20.0 / 46.0206, 1e-4);
    processor.processBuffer(constant(0.0f, 800));
    processor.processBuffer(constant(1.0f, 800));
    rel = processor.relativeEnergy();
    EXPECT_EQ(rel[4], 0.0f);
    EXPECT_EQ(rel[5], 1.0f);
    EXPECT_EQ(processor.audioSamples().size(), 4 * 1600u + 1600u);

    // Only the last 20 records set the floor.
    AudioProcessor windowed(std::make_shared<FakeAudioInputBackend>());
    windowed.processBuffer(constant(0.001f, 10));
    for (int i = 0; i < 20; ++i) windowed.processBuffer(constant(0.1f, 10));
    windowed.processBuffer(constant(0.1f, 10));
    EXPECT_EQ(windowed.relativeEnergy().back(), 0.0f);

    EXPECT_FLOAT_EQ(AudioProcessor::calculateRelativeEnergy(constant(0.01f, 4), std::nullopt), 1.0f / 3.0f);
    EXPECT_FLOAT_EQ(AudioProcessor::calculateAverageEnergy(std::vector<float>{3, -4}), std::sqrt(12.5f));
    EXPECT_EQ(AudioProcessor::calculateEnergy(std::vector<float>{0.5f, -0.25f, 0.1f}).max, 0.5f);
    EXPECT_FLOAT_EQ(AudioProcessor::calculateEnergy(std::vector<float>{0.5f, -0.25f, 0.1f}).min, 0.1f);
}

TEST(AudioLive, VoiceIsDetectedInTheOlderPartOfTheRecentRecords) {
    std::vector<float> thirty(30, 0.1f);
    auto with = [&](size_t index, float value) {
        auto e = thirty;
        e[index] = value;
        return e;
    };
    struct Case {
        std::vector<float> energies;
        float seconds;
        bool voiced;
    };
    const std::vector<Case> cases = {
        {with(25, 0.9f), 3.0f, false},  // only among the newest 10
        {with(19, 0.9f), 3.0f, true},
        {with(5, 0.3f), 3.0f, false},   // equal to the threshold
        {with(5, 0.9f), 1.0f, false},   // outside the last 10
        {with(22, 0.9f), 1.0f, true},   // 10 in view: all of them
        {{0.1f, 0.1f, 0.1f, 0.1f, 0.9f}, 3.0f, true},
        {with(0, 0.9f), -1.0f, false},
        {{}, 3.0f, false},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(AudioProcessor::isVoiceDetected(cases[i].energies, cases[i].seconds, 0.3f), cases[i].voiced) << "case " << i;
    }
}

TEST(AudioLive, PurgeAndSuppression) {
    auto backend = fakeDevices(16000, 1);
    auto processor = std::make_shared<AudioProcessor>(backend);
    size_t calls = 0;
    processor->startRecordingLive(std::nullopt, [&](const std::vector<float>& s) {
        ++calls;
        if (calls == 2) {
            EXPECT_EQ(s, constant(0.0f, 3));
        }
    });
    backend->deliver({0.5f, 0.5f, 0.5f});
    processor->setInputSuppressed(true);
    backend->deliver({0.5f, 0.5f, 0.5f});
    EXPECT_EQ(processor->audioSamples(), (std::vector<float>{0.5f, 0.5f, 0.5f, 0, 0, 0}));
    EXPECT_EQ(processor->relativeEnergy().back(), 0.0f);
    EXPECT_EQ(calls, 2u);
    processor->purgeAudioSamples(10);
    EXPECT_EQ(processor->audioSamples().size(), 6u);
    processor->purgeAudioSamples(2);
    EXPECT_EQ(processor->audioSamples(), (std::vector<float>{0, 0}));
    processor->purgeAudioSamples(0);
    EXPECT_TRUE(processor->audioSamples().empty());
    EXPECT_EQ(processor->audioEnergy().size(), 2u) << "purging leaves the energy records";
}

TEST(AudioLive, PauseResumeAndStop) {
    auto backend = fakeDevices(16000, 1);
    auto processor = std::make_shared<AudioProcessor>(backend);
    processor->startRecordingLive(7);
    EXPECT_EQ(backend->openedDevice(), 7u);
    backend->deliver({0.1f});
    processor->pauseRecording();
    EXPECT_FALSE(backend->deliver({0.2f}));
    processor->resumeRecordingLive(7);
    EXPECT_TRUE(backend->deliver({0.3f}));
    EXPECT_EQ(processor->audioSamples(), (std::vector<float>{0.1f, 0.3f})) << "pause and resume keep the samples";
    processor->stopRecording();
    processor->stopRecording();
    EXPECT_FALSE(processor->audioEngine());
    processor->resumeRecordingLive(7);
    EXPECT_FALSE(processor->audioEngine()) << "resuming the same device without an engine starts nothing";
    processor->resumeRecordingLive(3);
    EXPECT_TRUE(processor->audioEngine());
    EXPECT_EQ(backend->openedDevice(), 3u);
    EXPECT_EQ(processor->audioSamples().size(), 2u);
}

TEST(AudioLive, StreamsDeliverBuffersAndStopRecordingWhenTheyEnd) {
    auto backend = fakeDevices(16000, 1);
    auto processor = std::make_shared<AudioProcessor>(backend);
    {
        auto [stream, continuation] = processor->startStreamingRecordingLive();
        backend->deliver({0.1f, 0.2f});
        backend->deliver({0.3f});
        EXPECT_EQ(stream.next(), (std::vector<float>{0.1f, 0.2f}));
        EXPECT_EQ(stream.next(), (std::vector<float>{0.3f}));
        stream.cancel();
        EXPECT_FALSE(backend->isRunning());
        EXPECT_FALSE(processor->audioEngine());
        EXPECT_FALSE(processor->audioBufferCallback());
    }
    {
        // The producer ends it from the capture thread itself.
        auto [stream, continuation] = processor->startStreamingRecordingLive();
        processor->setAudioBufferCallback([c = continuation](const std::vector<float>& s) {
            c.yield(s);
            c.finish();
        });
        std::thread capture([&] { backend->deliver({0.5f}); });
        capture.join();
        EXPECT_EQ(stream.next(), (std::vector<float>{0.5f}));
        EXPECT_EQ(stream.next(), std::nullopt);
        EXPECT_FALSE(backend->isRunning());
    }
    {
        // A start that fails finishes the stream with the error.
        auto silent = std::make_shared<AudioProcessor>(std::make_shared<FakeAudioInputBackend>());
        auto [stream, continuation] = silent->startStreamingRecordingLive();
        EXPECT_THROW(stream.next(), WhisperError);
    }
}

TEST(AudioLive, MissingOrFailingDevicesFailToStartCleanly) {
    // No input device at all: nothing listed, and a start reports the missing format.
    auto none = std::make_shared<FakeAudioInputBackend>(std::vector<AudioDeviceInfo>{{5, "Speakers", 0, 48000}});
    EXPECT_TRUE(AudioProcessor::getAudioDevices(none).empty());
    auto processor = std::make_shared<AudioProcessor>(none);
    try {
        processor->startRecordingLive();
        FAIL() << "recording without an input device must fail";
    } catch (const WhisperError& e) {
        EXPECT_EQ(e.errorCase(), WhisperError::Case::audioProcessingFailed);
        EXPECT_EQ(e.message(), "Failed to create node format");
    }
    EXPECT_FALSE(processor->audioEngine());

    // A device that refuses to open: the platform's error, and the earlier recording stays.
    auto backend = fakeDevices(16000, 1);
    EXPECT_EQ(AudioProcessor::getAudioDevices(backend), (std::vector<AudioDevice>{{3, "USB Microphone"}, {7, "Webcam"}}));
    auto recorder = std::make_shared<AudioProcessor>(backend);
    recorder->startRecordingLive(3);
    const auto engine = recorder->audioEngine();
    backend->failOpening(7);
    EXPECT_THROW(recorder->startRecordingLive(7), avfoundation::AVAudioError);
    EXPECT_EQ(recorder->audioEngine(), engine);
    EXPECT_THROW(recorder->resumeRecordingLive(7), avfoundation::AVAudioError);
    EXPECT_EQ(recorder->audioEngine(), engine);
}

TEST(AudioLive, UnknownDevicesFallBackToTheDefault) {
    auto backend = fakeDevices(16000, 1);
    auto processor = std::make_shared<AudioProcessor>(backend);
    LogCapture log(pellux::Logging::LogLevel::info);
    processor->startRecordingLive(99);
    processor->startRecordingLive(7);
    EXPECT_EQ(log.messages, (std::vector<std::string>{"Error setting Audio Unit property: -10851", "Successfully set input device."}));
    EXPECT_EQ(backend->openedDevice(), 7u);
}

TEST(AudioLive, ReadersGetConsistentCopiesWhileTheCaptureThreadAppends) {
    auto backend = fakeDevices(44100, 2);
    auto processor = std::make_shared<AudioProcessor>(backend);
    processor->startRecordingLive();
    std::atomic<bool> done{false};
    std::thread capture([&] {
        for (int i = 0; i < 300; ++i) backend->deliver(std::vector<float>(2 * 441, 0.25f));
        done = true;
    });
    size_t last = 0;
    while (!done) {
        const auto samples = processor->audioSamples();
        const auto energy = processor->relativeEnergy();
        EXPECT_GE(samples.size(), last);
        last = samples.size();
        processor->purgeAudioSamples(1 << 20);
        (void)energy;
    }
    capture.join();
    processor->stopRecording();
    EXPECT_EQ(processor->audioEnergy().size(), 300u);
}

TEST(AudioLive, TheSystemDevicesAreListedAndAStartRecordsOrFailsCleanly) {
    // Whatever this machine has (CI has no sound hardware): the list is the system's input devices,
    // and a start either records or throws and leaves no engine behind; a stop ends either.
    const auto system = avfoundation::portAudioInputBackend();
    std::vector<AudioDevice> expected;
    for (const auto& d : system->inputDevices()) expected.push_back({d.id, d.name});
    EXPECT_EQ(AudioProcessor::getAudioDevices(), expected);

    auto processor = std::make_shared<AudioProcessor>();
    bool started = true;
    try {
        processor->startRecordingLive();
    } catch (const foundation::Error&) {
        started = false;
    }
    EXPECT_EQ(processor->audioEngine() != nullptr, started);
    if (expected.empty() && !system->defaultInputDevice()) EXPECT_FALSE(started) << "recorded without any input device";
    processor->stopRecording();
    EXPECT_FALSE(processor->audioEngine());
}
