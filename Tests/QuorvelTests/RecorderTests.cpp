#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Platform/AVFoundation/AudioInputBackend.hpp"
#include "Quorvel/Recorder.hpp"

namespace {

using avfoundation::AudioDeviceInfo;
using avfoundation::FakeAudioInputBackend;
using quorvel::Recorder;

std::vector<float> frames(size_t count, std::vector<float> frame) {
    std::vector<float> interleaved;
    for (size_t i = 0; i < count; ++i) interleaved.insert(interleaved.end(), frame.begin(), frame.end());
    return interleaved;
}

class RecorderTest : public ::testing::Test {
protected:
    void use(std::shared_ptr<avfoundation::AudioInputBackend> backend) {
        recorder = std::make_unique<Recorder>(std::move(backend), [this](const std::string& line) { lines.push_back(line); });
        recorder->onAudioLevel = [this](float level) { levels.push_back(level); };
    }

    std::shared_ptr<FakeAudioInputBackend> input = std::make_shared<FakeAudioInputBackend>(
        std::vector<AudioDeviceInfo>{{7, "USB microphone", 2, 48000}}, 7);
    std::unique_ptr<Recorder> recorder;
    std::vector<std::string> lines;
    std::vector<float> levels;
};

TEST_F(RecorderTest, KeepsTheFirstChannelAtTheDeviceRateInOneBuffer) {
    use(input);
    recorder->startMic();
    ASSERT_TRUE(recorder->isRecording());
    EXPECT_EQ(input->requestedFramesPerBuffer(), 4096u);
    ASSERT_TRUE(input->deliver(frames(4096, {0.25f, 0.9f})));
    ASSERT_TRUE(input->deliver(frames(1000, {-0.25f, 0.9f})));
    ASSERT_TRUE(input->deliver(frames(17, {0.5f, 0.9f})));
    auto buffer = recorder->stop();
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_FALSE(input->isRunning());
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->format(), *avfoundation::AVAudioFormat::standard(48000, 1));
    ASSERT_EQ(buffer->frameLength(), 4096u + 1000 + 17);
    const float* samples = buffer->floatChannelData()[0];
    EXPECT_EQ(samples[0], 0.25f);
    EXPECT_EQ(samples[4095], 0.25f);
    EXPECT_EQ(samples[4096], -0.25f);
    EXPECT_EQ(samples[5112], 0.5f);
    // One level per delivered buffer, from channel 0 alone: RMS 0.25 and 0.5 both give the cap.
    EXPECT_EQ(levels, (std::vector<float>{1, 1, 1}));

    // The next recording starts from nothing.
    recorder->startMic();
    ASSERT_TRUE(input->deliver(frames(10, {0.1f, 0})));
    buffer = recorder->stop();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->frameLength(), 10u);
    EXPECT_TRUE(lines.empty());
}

TEST_F(RecorderTest, LevelIsEightTimesTheRootMeanSquareCappedAtOne) {
    struct Case {
        std::vector<float> samples;
        float level;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {{0, 0, 0, 0}, 0},
        {{0.05f, -0.05f, 0.05f, -0.05f}, 0.4f},
        {{0.125f, -0.125f}, 1},
        {{0.5f}, 1},
        {{0.1f, nan, 0.1f}, 0},
        {{std::numeric_limits<float>::infinity()}, 1},
        {{}, 0},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(Recorder::level(c.samples.data(), static_cast<uint32_t>(c.samples.size())), c.level)
            << c.samples.size();

    use(input);
    recorder->startMic();
    input->deliver(frames(100, {0.05f, 1}));
    input->deliver(frames(100, {0, 1}));
    input->deliver(frames(100, {nan, 1}));
    recorder->stop();
    ASSERT_EQ(levels.size(), 3u);
    EXPECT_NEAR(levels[0], 0.4f, 1e-6);
    EXPECT_EQ(levels[1], 0);
    EXPECT_EQ(levels[2], 0);
}

TEST_F(RecorderTest, NothingToHandOverWithoutARunningOrNonEmptyRecording) {
    use(input);
    EXPECT_EQ(recorder->stop(), nullptr);  // never started
    recorder->startMic();
    EXPECT_EQ(recorder->stop(), nullptr);  // nothing delivered
    recorder->startMic();
    input->deliver({});
    EXPECT_EQ(recorder->stop(), nullptr);  // only an empty buffer
    EXPECT_TRUE(lines.empty());
}

TEST_F(RecorderTest, AMachineWithoutAWorkingInputDeviceIsACleanStartFailure) {
    struct Case {
        std::shared_ptr<FakeAudioInputBackend> backend;
        std::string line;
    };
    auto broken = std::make_shared<FakeAudioInputBackend>(std::vector<AudioDeviceInfo>{{3, "Busy", 1, 44100}}, 3);
    broken->failOpening(3);
    const Case cases[] = {
        {std::make_shared<FakeAudioInputBackend>(),
         R"([Quorvel] Failed to start recording: engineStartFailed("No audio input device is available"))"},
        {broken, R"([Quorvel] Failed to start recording: engineStartFailed("The input device \"Busy\" could not be opened"))"},
    };
    for (const auto& c : cases) {
        lines.clear();
        use(c.backend);
        recorder->startMic();
        EXPECT_FALSE(recorder->isRecording());
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
        EXPECT_FALSE(c.backend->deliver({0.1f}));
        EXPECT_EQ(recorder->stop(), nullptr);
    }
}

// A device that reports another rate once capture has begun (the user switched its mode meanwhile).
class SwitchingBackend : public avfoundation::AudioInputBackend {
public:
    explicit SwitchingBackend(std::shared_ptr<FakeAudioInputBackend> inner) : inner_(std::move(inner)) {}
    std::vector<AudioDeviceInfo> inputDevices() override { return adjust(inner_->inputDevices()); }
    std::optional<AudioDeviceInfo> defaultInputDevice() override {
        auto device = inner_->defaultInputDevice();
        if (device && opened_) device->defaultSampleRate = 8000;
        return device;
    }
    std::unique_ptr<avfoundation::AudioInputStream> openInputStream(uint32_t id, double rate, uint32_t channels, uint32_t frames,
                                                                    avfoundation::AudioInputCallback callback) override {
        auto stream = inner_->openInputStream(id, rate, channels, frames, std::move(callback));
        opened_ = true;
        return stream;
    }

private:
    std::vector<AudioDeviceInfo> adjust(std::vector<AudioDeviceInfo> devices) const {
        if (opened_)
            for (auto& device : devices) device.defaultSampleRate = 8000;
        return devices;
    }
    std::shared_ptr<FakeAudioInputBackend> inner_;
    bool opened_ = false;
};

TEST_F(RecorderTest, TheRecordingKeepsTheRateItWasCapturedAt) {
    use(std::make_shared<SwitchingBackend>(input));
    recorder->startMic();
    input->deliver(frames(480, {0.1f, 0.1f}));
    auto buffer = recorder->stop();
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->format().sampleRate(), 48000);
    EXPECT_EQ(buffer->frameLength(), 480u);
}

}  // namespace
