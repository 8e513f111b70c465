#pragma once
// Audio files. Reading decodes any container and codec FFmpeg's libraries know (WAV, FLAC, MP3,
// Ogg Vorbis/Opus, M4A/AAC, ...) into 32-bit float non-interleaved frames at the file's own rate
// and channel count; the frame position can be set anywhere and reads continue from there,
// sample-exact. Writing produces WAV files, atomically: the file appears at its path, complete,
// when the writer is closed.
#include <cstdint>
#include <filesystem>
#include <memory>

#include "Platform/AVFoundation/AVAudioFormat.hpp"
#include "Platform/AVFoundation/AVAudioPCMBuffer.hpp"

namespace avfoundation {

class AVAudioFile {
public:
    // What a written file holds: the sample type on disk (Int16, Int32, Float32 or Float64), its rate
    // and channel count. The buffers given to write() are in the standard format at that rate and
    // channel count.
    struct Settings {
        double sampleRate = 16000;
        uint32_t channelCount = 1;
        AVAudioCommonFormat fileFormat = AVAudioCommonFormat::pcmFormatInt16;
    };

    // Opens a file for reading. Throws AVAudioError(cannotOpenFile) when it is missing, unreadable or
    // holds no audio stream a decoder knows, AVAudioError(invalidFile) when its audio has no usable
    // rate or channel count.
    explicit AVAudioFile(const std::filesystem::path& forReading);
    // Starts a WAV file for writing. Throws AVAudioError(writeFailed) or (invalidArgument).
    AVAudioFile(const std::filesystem::path& forWriting, const Settings& settings);
    // A writer that was not closed is closed here; if that fails, nothing appears at the path.
    ~AVAudioFile();
    AVAudioFile(const AVAudioFile&) = delete;
    AVAudioFile& operator=(const AVAudioFile&) = delete;

    const std::filesystem::path& url() const;
    // The format on disk (for compressed files: the decoder's sample type), interleaved.
    const AVAudioFormat& fileFormat() const;
    // The standard format at the file's rate and channel count: what reads and writes take.
    const AVAudioFormat& processingFormat() const;
    // Frames in the file (for a writer: written so far).
    int64_t length() const;
    // The frame the next read starts at; reads advance it by the frames they return. Setting it
    // outside 0 ... length makes the next read return no frames.
    int64_t framePosition() const;
    void setFramePosition(int64_t framePosition);

    // Reads up to frameCount frames (the buffer's capacity at most) into the buffer, replacing its
    // contents; its frameLength says how many came. Fewer than asked only at the end of the file (or
    // the end of what a damaged file still yields). The buffer must be in the processing format,
    // else AVAudioError(invalidArgument). A file whose frames cannot be decoded at all throws
    // AVAudioError(readFailed).
    void read(AVAudioPCMBuffer& into, uint32_t frameCount);
    void read(AVAudioPCMBuffer& into);

    // Appends the buffer's frames. The buffer must be in the processing format.
    void write(const AVAudioPCMBuffer& from);
    // Finishes a written file and moves it into place; does nothing for a reader or a second time.
    void close();

private:
    struct Reader;
    struct Writer;
    std::filesystem::path url_;
    AVAudioFormat fileFormat_{AVAudioCommonFormat::otherFormat, 0, 0, true};
    AVAudioFormat processingFormat_{AVAudioCommonFormat::otherFormat, 0, 0, false};
    int64_t position_ = 0;
    std::unique_ptr<Reader> reader_;
    std::unique_ptr<Writer> writer_;
};

}  // namespace avfoundation
