#pragma once
// Reader of the safetensors checkpoint format: an 8-byte little-endian header length, a JSON header
// mapping tensor names to {"dtype", "shape", "data_offsets": [begin, end]} (offsets relative to the
// end of the header), then the data. The file is memory-mapped read-only.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Platform/CoreML/Whisper/WhisperTensors.hpp"

namespace coreml::whisper {

class SafetensorsFile {
public:
    enum class DType { f32, f16, bf16, other };
    struct Entry {
        std::string dtypeName;
        DType dtype = DType::other;
        std::vector<int64_t> shape;
        uint64_t begin = 0, end = 0;
    };

    // Throws WhisperModelError naming the file for a missing file, a malformed header, or tensors whose
    // data lies outside the file or disagrees with their dtype and shape.
    explicit SafetensorsFile(const std::filesystem::path& path);
    ~SafetensorsFile();
    SafetensorsFile(const SafetensorsFile&) = delete;
    SafetensorsFile& operator=(const SafetensorsFile&) = delete;

    const std::map<std::string, Entry>& entries() const { return entries_; }
    bool contains(const std::string& name) const { return entries_.count(name) > 0; }
    // The tensor's values as F32 (F16 and BF16 widened); throws for a missing name, another shape,
    // or a dtype other than F32/F16/BF16.
    std::vector<float> floats(const std::string& name, const std::vector<int64_t>& shape) const;

private:
    std::filesystem::path path_;
    const unsigned char* data_ = nullptr;  // start of the tensor data
    void* mapping_ = nullptr;
    size_t mappingSize_ = 0;
    std::map<std::string, Entry> entries_;
};

}  // namespace coreml::whisper
