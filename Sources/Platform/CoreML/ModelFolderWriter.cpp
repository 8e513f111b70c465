#include "Platform/CoreML/ModelFolderWriter.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "Platform/CoreML/ModelFile.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace coreml {

namespace fs = std::filesystem;

ModelFolderWriter::ModelFolderWriter(std::string architecture) : architecture_(std::move(architecture)) {}

ModelFolderWriter& ModelFolderWriter::hyperParameters(std::string json) {
    bool isObject = false;
    try {
        isObject = foundation::JSONDocument::parse(json).root().isObject();
    } catch (const foundation::JSONError&) {
    }
    if (!isObject) throw MLModelError(MLModelError::Case::parameters, "Hyper-parameters must be a JSON object");
    hyperParameters_ = std::move(json);
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addInput(std::string name, MLMultiArrayDataType dataType,
                                               std::vector<int64_t> shape) {
    inputs_.push_back({std::move(name), MLFeatureType::multiArray, dataType, std::move(shape), false});
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addOutput(std::string name, MLMultiArrayDataType dataType,
                                                std::vector<int64_t> shape, bool optional) {
    outputs_.push_back({std::move(name), MLFeatureType::multiArray, dataType, std::move(shape), optional});
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addInputFeature(std::string name, MLFeatureType type) {
    inputs_.push_back({std::move(name), type, std::nullopt, std::nullopt, false});
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addOutputFeature(std::string name, MLFeatureType type, bool optional) {
    outputs_.push_back({std::move(name), type, std::nullopt, std::nullopt, optional});
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addRawTensor(std::string name, MLMultiArrayDataType dataType, const void* data,
                                                   size_t count, std::vector<int64_t> shape) {
    if (elementCount(shape) != static_cast<int64_t>(count))
        throw MLModelError(MLModelError::Case::parameters,
                           "Tensor \"" + name + "\": " + std::to_string(count) + " values do not fill its shape");
    size_t offset = (weights_.size() + kWeightAlignment - 1) / kWeightAlignment * kWeightAlignment;
    weights_.resize(offset, '\0');
    weights_.append(static_cast<const char*>(data), count * elementSize(dataType));
    tensors_.push_back({std::move(name), dataType, std::move(shape), offset});
    return *this;
}

ModelFolderWriter& ModelFolderWriter::addTensor(std::string name, std::span<const float> values,
                                                std::vector<int64_t> shape) {
    return addRawTensor(std::move(name), MLMultiArrayDataType::float32, values.data(), values.size(), std::move(shape));
}

ModelFolderWriter& ModelFolderWriter::addTensor(std::string name, std::span<const Float16> values,
                                                std::vector<int64_t> shape) {
    return addRawTensor(std::move(name), MLMultiArrayDataType::float16, values.data(), values.size(), std::move(shape));
}

ModelFolderWriter& ModelFolderWriter::addTensor(std::string name, std::span<const int32_t> values,
                                                std::vector<int64_t> shape) {
    return addRawTensor(std::move(name), MLMultiArrayDataType::int32, values.data(), values.size(), std::move(shape));
}

ModelFolderWriter& ModelFolderWriter::addTensor(std::string name, std::span<const int8_t> values,
                                                std::vector<int64_t> shape) {
    return addRawTensor(std::move(name), MLMultiArrayDataType::int8, values.data(), values.size(), std::move(shape));
}

ModelFolderWriter& ModelFolderWriter::addTensorAsFloat16(std::string name, std::span<const float> values,
                                                         std::vector<int64_t> shape) {
    std::vector<Float16> halves(values.size());
    convertFloat32ToFloat16(values.data(), halves.data(), values.size());
    return addTensor(std::move(name), std::span<const Float16>(halves), std::move(shape));
}

namespace {

void writeFeatures(foundation::JSONWriter& w, const auto& features) {
    w.beginArray();
    for (const auto& f : features) {
        w.beginObject();
        w.field("name", f.name);
        if (f.type != MLFeatureType::multiArray) w.field("type", featureTypeName(f.type));
        if (f.dataType) w.field("data_type", dataTypeName(*f.dataType));
        if (f.shape) {
            w.key("shape").beginArray();
            for (int64_t d : *f.shape) w.value(d);
            w.endArray();
        }
        if (f.optional) w.field("optional", true);
        w.endObject();
    }
    w.endArray();
}

void writeWholeFile(const fs::path& path, std::string_view contents) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw foundation::FileError(path.string() + ": cannot create (" + std::strerror(errno) + ")");
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            throw foundation::FileError(path.string() + ": cannot write (" + std::strerror(err) + ")");
        }
        done += static_cast<size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) throw foundation::FileError(path.string() + ": cannot write");
}

std::atomic<uint64_t> temporaryCounter{0};

}  // namespace

std::string ModelFolderWriter::modelJSON() const {
    foundation::JSONWriter w(foundation::JSONWriter::Options{.pretty = true, .sortedKeys = false, .escapeSlashes = false});
    w.beginObject();
    w.field("format_version", kModelFormatVersion);
    w.field("architecture", architecture_);
    w.key("hyper_parameters").raw(hyperParameters_);
    w.key("inputs");
    writeFeatures(w, inputs_);
    w.key("outputs");
    writeFeatures(w, outputs_);
    w.key("tensors").beginArray();
    for (const auto& t : tensors_) {
        w.beginObject();
        w.field("name", t.name);
        w.field("data_type", dataTypeName(t.dataType));
        w.key("shape").beginArray();
        for (int64_t d : t.shape) w.value(d);
        w.endArray();
        w.field("offset", static_cast<uint64_t>(t.offset));
        w.endObject();
    }
    w.endArray();
    w.endObject();
    return w.str();
}

void ModelFolderWriter::write(const fs::path& folder) const {
    fs::path target = folder;
    if (target.filename().empty()) target = target.parent_path();
    std::error_code ec;
    if (target.has_parent_path()) {
        fs::create_directories(target.parent_path(), ec);
        if (ec) throw foundation::FileError(target.parent_path().string() + ": cannot create (" + ec.message() + ")");
    }
    fs::path temporary = target;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(temporaryCounter.fetch_add(1));
    fs::remove_all(temporary, ec);
    if (!fs::create_directory(temporary, ec) || ec)
        throw foundation::FileError(temporary.string() + ": cannot create (" + ec.message() + ")");
    try {
        writeWholeFile(temporary / kWeightsName, weights_);
        writeWholeFile(temporary / kModelJSONName, modelJSON());
    } catch (...) {
        fs::remove_all(temporary, ec);
        throw;
    }
    // Swap the new folder in whole: exchange with an existing one, else a plain rename.
    if (fs::exists(target, ec)) {
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) != 0) {
            int err = errno;
            fs::remove_all(temporary, ec);
            throw foundation::FileError(target.string() + ": cannot replace (" + std::strerror(err) + ")");
        }
        fs::remove_all(temporary, ec);  // now the old folder
    } else if (::rename(temporary.c_str(), target.c_str()) != 0) {
        int err = errno;
        fs::remove_all(temporary, ec);
        throw foundation::FileError(target.string() + ": cannot create (" + std::strerror(err) + ")");
    }
}

}  // namespace coreml
