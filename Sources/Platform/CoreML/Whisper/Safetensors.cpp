#include "Platform/CoreML/Whisper/Safetensors.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "Platform/CoreML/Whisper/Kernels.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace coreml::whisper {

namespace {
size_t dtypeSize(SafetensorsFile::DType t) {
    switch (t) {
        case SafetensorsFile::DType::f32: return 4;
        case SafetensorsFile::DType::f16:
        case SafetensorsFile::DType::bf16: return 2;
        default: return 0;
    }
}
}  // namespace

SafetensorsFile::SafetensorsFile(const std::filesystem::path& path) : path_(path) {
    const std::string where = path.string();
    // Non-blocking, so a FIFO in place of the file is refused by the type check instead of stalling the open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw WhisperModelError("Cannot open " + where + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        throw WhisperModelError("Cannot read " + where);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw WhisperModelError(where + " is not a regular file");
    }
    mappingSize_ = static_cast<size_t>(st.st_size);
    if (mappingSize_ < 8) {
        ::close(fd);
        throw WhisperModelError(where + " is too short to be a safetensors file");
    }
    mapping_ = ::mmap(nullptr, mappingSize_, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        throw WhisperModelError("Cannot map " + where);
    }
    try {
        const auto* bytes = static_cast<const unsigned char*>(mapping_);
        uint64_t headerLength = 0;
        for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | bytes[i];
        if (headerLength > mappingSize_ - 8) throw WhisperModelError(where + ": the header runs past the end of the file");
        data_ = bytes + 8 + headerLength;
        const uint64_t dataSize = mappingSize_ - 8 - headerLength;
        auto doc = foundation::JSONDocument::parse(
            std::string_view(reinterpret_cast<const char*>(bytes + 8), static_cast<size_t>(headerLength)));
        if (!doc.root().isObject()) throw WhisperModelError(where + ": the header is not a JSON object");
        for (const auto& [name, v] : doc.root().members()) {
            if (name == "__metadata__") continue;
            auto bad = [&](const std::string& why) { throw WhisperModelError(where + ": tensor " + name + " " + why); };
            if (!v.isObject() || !v.member("dtype").isString() || !v.member("shape").isArray() ||
                !v.member("data_offsets").isArray() || v.member("data_offsets").size() != 2)
                bad("has a malformed entry");
            Entry e;
            e.dtypeName = v.member("dtype").asString();
            e.dtype = e.dtypeName == "F32" ? DType::f32 : e.dtypeName == "F16" ? DType::f16 : e.dtypeName == "BF16" ? DType::bf16 : DType::other;
            uint64_t count = 1;
            for (const auto& d : v.member("shape").items()) {
                if (!d.isInteger() || d.asInt64() < 0 || d.asInt64() > (int64_t(1) << 40)) bad("has a bad dimension");
                e.shape.push_back(d.asInt64());
                // Checked before multiplying: [2^32, 2^32] would wrap to zero elements.
                if (d.asInt64() != 0 && count > (uint64_t(1) << 40) / static_cast<uint64_t>(d.asInt64()))
                    bad("is too large");
                count *= static_cast<uint64_t>(d.asInt64());
            }
            auto offsets = v.member("data_offsets");
            if (!offsets[0].isInteger() || !offsets[1].isInteger() || offsets[0].asInt64() < 0 ||
                offsets[1].asInt64() < offsets[0].asInt64())
                bad("has bad data offsets");
            e.begin = static_cast<uint64_t>(offsets[0].asInt64());
            e.end = static_cast<uint64_t>(offsets[1].asInt64());
            if (e.end > dataSize) bad("lies outside the file");
            if (dtypeSize(e.dtype) && e.end - e.begin != count * dtypeSize(e.dtype)) bad("has data of the wrong size");
            if (!entries_.emplace(name, std::move(e)).second) bad("appears twice");
        }
    } catch (const foundation::JSONError& e) {
        ::munmap(mapping_, mappingSize_);
        throw WhisperModelError(where + ": the header is not valid JSON (" + e.localizedDescription() + ")");
    } catch (...) {
        ::munmap(mapping_, mappingSize_);
        throw;
    }
}

SafetensorsFile::~SafetensorsFile() {
    if (mapping_) ::munmap(mapping_, mappingSize_);
}

std::vector<float> SafetensorsFile::floats(const std::string& name, const std::vector<int64_t>& shape) const {
    auto it = entries_.find(name);
    if (it == entries_.end()) throw WhisperModelError(path_.string() + " has no tensor " + name);
    const Entry& e = it->second;
    if (e.shape != shape) {
        std::string s;
        for (auto d : shape) s += (s.empty() ? "" : ", ") + std::to_string(d);
        throw WhisperModelError("Tensor " + name + " in " + path_.string() + " does not have the shape [" + s + "]");
    }
    const unsigned char* p = data_ + e.begin;
    const size_t n = static_cast<size_t>((e.end - e.begin) / std::max<size_t>(1, dtypeSize(e.dtype)));
    std::vector<float> out(n);
    if (n == 0) return out;  // no copy from or into a null pointer
    switch (e.dtype) {
        case DType::f32: std::memcpy(out.data(), p, n * 4); break;
        case DType::f16: {
            std::vector<uint16_t> tmp(n);
            std::memcpy(tmp.data(), p, n * 2);
            halfToFloat(tmp.data(), out.data(), n);
            break;
        }
        case DType::bf16:
            for (size_t i = 0; i < n; ++i) {
                uint32_t bits = static_cast<uint32_t>(p[2 * i] | (p[2 * i + 1] << 8)) << 16;
                std::memcpy(&out[i], &bits, 4);
            }
            break;
        default: throw WhisperModelError("Tensor " + name + " has the unsupported dtype " + e.dtypeName);
    }
    return out;
}

}  // namespace coreml::whisper
