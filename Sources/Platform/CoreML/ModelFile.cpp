#include "Platform/CoreML/ModelFile.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <set>

#include "Platform/Foundation/Files.hpp"

namespace coreml {

static_assert(std::endian::native == std::endian::little, "weights.bin is read in place as little-endian");

namespace fs = std::filesystem;

void WeightTensor::checkType(MLMultiArrayDataType expected) const {
    if (expected != dataType)
        throw MLModelError(MLModelError::Case::parameters, "Tensor \"" + name + "\" holds " +
                                                               std::string(dataTypeName(dataType)) + ", not " +
                                                               std::string(dataTypeName(expected)));
}

namespace {

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

// An integer within int64, else nothing (a uint64 beyond int64 is not an error of the JSON reader's).
std::optional<int64_t> int64Value(foundation::JSONValue v) {
    if (!v.exists() || !v.isInteger()) return std::nullopt;
    try {
        return v.asInt64();
    } catch (const foundation::JSONError&) {
        return std::nullopt;
    }
}

struct Reader {
    std::string file;  // path of model.json, for messages

    [[noreturn]] void fail(const std::string& problem) const {
        throw MLModelError(MLModelError::Case::parameters, file + ": " + problem);
    }

    std::string requireString(foundation::JSONValue object, std::string_view key, const std::string& where) const {
        auto v = object.member(key);
        if (!v.exists() || !v.isString() || v.asStringView().empty())
            fail(where + "\"" + std::string(key) + "\" must be a non-empty string");
        return v.asString();
    }

    // An integer within int64; anything else (a fraction, a number past the 64-bit range) fails with `problem`.
    int64_t integer(foundation::JSONValue v, const std::string& problem) const {
        auto i = int64Value(v);
        if (!i) fail(problem);
        return *i;
    }

    std::vector<int64_t> shape(foundation::JSONValue v, const std::string& where, int64_t minimum) const {
        if (!v.isArray()) fail(where + "\"shape\" must be a list of integers");
        std::vector<int64_t> result;
        for (auto item : v.items()) {
            int64_t d = integer(item, where + "\"shape\" must be a list of integers");
            if (d < minimum) fail(where + "dimension " + std::to_string(d) + " in \"shape\" is not allowed");
            result.push_back(d);
        }
        try {
            elementCount(result);
        } catch (const MLMultiArrayError&) {
            fail(where + "\"shape\" " + shapeText(result) + " is too large");
        }
        return result;
    }

    MLMultiArrayDataType dataType(foundation::JSONValue object, const std::string& where) const {
        auto v = object.member("data_type");
        if (!v.exists() || !v.isString()) fail(where + "\"data_type\" must be a string");
        auto type = dataTypeNamed(v.asStringView());
        if (!type) fail(where + "unknown data type \"" + v.asString() + "\"");
        return *type;
    }

    std::vector<MLFeatureDescription> features(foundation::JSONValue root, std::string_view key) const {
        auto list = root.member(key);
        if (!list.exists() || !list.isArray()) fail("\"" + std::string(key) + "\" must be a list");
        std::vector<MLFeatureDescription> result;
        std::set<std::string> seen;
        size_t position = 0;
        for (auto item : list.items()) {
            std::string where = std::string(key) + "[" + std::to_string(position++) + "]: ";
            if (!item.isObject()) fail(where + "must be an object");
            MLFeatureDescription feature;
            feature.name = requireString(item, "name", where);
            where = std::string(key) + " \"" + feature.name + "\": ";
            if (!seen.insert(feature.name).second) fail(where + "declared twice");
            feature.type = MLFeatureType::multiArray;
            if (auto t = item.member("type"); t.exists()) {
                auto type = t.isString() ? featureTypeNamed(t.asStringView()) : std::nullopt;
                if (!type || *type == MLFeatureType::invalid) fail(where + "unknown feature type");
                feature.type = *type;
            }
            if (auto o = item.member("optional"); o.exists()) {
                if (!o.isBool()) fail(where + "\"optional\" must be true or false");
                feature.isOptional = o.asBool();
            }
            auto s = item.member("shape");
            if (s.exists()) {
                if (feature.type != MLFeatureType::multiArray) fail(where + "only a multi-array has a shape");
                MLMultiArrayConstraint constraint;
                constraint.shape = shape(s, where, 1);
                constraint.dataType = dataType(item, where);
                feature.multiArrayConstraint = constraint;
            } else if (item.member("data_type").exists()) {
                fail(where + "\"data_type\" without \"shape\"");
            }
            result.push_back(std::move(feature));
        }
        return result;
    }
};

// The weights, read-only. A file that only this user can change is memory-mapped (the normal path,
// no copy). A file another user may write to is read into private memory instead: a mapping of it
// would let that user kill the process with SIGBUS by truncating the file in place.
void* mapWeights(int fd, const struct stat& info, size_t size, const std::string& path) {
    const bool sharedWritable = info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    if (!sharedWritable) {
        void* mapping = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapping == MAP_FAILED)
            throw MLModelError(MLModelError::Case::io, path + ": cannot map (" + std::strerror(errno) + ")");
        return mapping;
    }
    void* copy = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED)
        throw MLModelError(MLModelError::Case::io, path + ": cannot allocate (" + std::strerror(errno) + ")");
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, static_cast<char*>(copy) + done, size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : 0;
            ::munmap(copy, size);
            throw MLModelError(MLModelError::Case::io,
                               path + (err ? ": cannot read (" + std::string(std::strerror(err)) + ")"
                                           : std::string(": the file shrank while it was read")));
        }
        done += static_cast<size_t>(n);
    }
    ::mprotect(copy, size, PROT_READ);
    return copy;
}

}  // namespace

std::string ModelFile::describePath(const char* fileName) const { return (folder_ / fileName).string(); }

std::shared_ptr<const ModelFile> ModelFile::open(const fs::path& folder) {
    std::error_code ec;
    if (!fs::exists(folder, ec))
        throw MLModelError(MLModelError::Case::io, folder.string() + ": model folder not found");
    if (!fs::is_directory(folder, ec))
        throw MLModelError(MLModelError::Case::io, folder.string() + ": not a compiled model folder");
    std::shared_ptr<ModelFile> model(new ModelFile());
    model->folder_ = folder;
    Reader reader{model->describePath(kModelJSONName)};
    if (fs::exists(folder / kModelJSONName, ec) && !fs::is_regular_file(folder / kModelJSONName, ec))
        throw MLModelError(MLModelError::Case::io, reader.file + ": not a regular file");
    auto text = foundation::readFileIfPresent(folder / kModelJSONName);
    if (!text) throw MLModelError(MLModelError::Case::io, reader.file + ": file not found or unreadable");
    try {
        model->document_ = foundation::JSONDocument::parse(*text);
    } catch (const foundation::JSONError& e) {
        reader.fail(std::string("invalid JSON: ") + e.what());
    }
    auto root = model->document_.root();
    if (!root.isObject()) reader.fail("the top level must be an object");

    model->formatVersion_ = reader.integer(root.member("format_version"), "\"format_version\" must be an integer");
    if (model->formatVersion_ != kModelFormatVersion)
        reader.fail("unsupported format version " + std::to_string(model->formatVersion_) + " (expected " +
                    std::to_string(kModelFormatVersion) + ")");
    model->architecture_ = reader.requireString(root, "architecture", "");
    if (auto h = root.member("hyper_parameters"); h.exists() && !h.isObject())
        reader.fail("\"hyper_parameters\" must be an object");

    for (auto& f : reader.features(root, "inputs")) {
        model->description_.inputNames.push_back(f.name);
        model->description_.inputDescriptionsByName.emplace(f.name, std::move(f));
    }
    for (auto& f : reader.features(root, "outputs")) {
        model->description_.outputNames.push_back(f.name);
        model->description_.outputDescriptionsByName.emplace(f.name, std::move(f));
    }

    // weights.bin
    std::string weightsPath = model->describePath(kWeightsName);
    // Non-blocking: a FIFO named weights.bin is refused by the type check below instead of stalling the open.
    int fd = ::open((folder / kWeightsName).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        throw MLModelError(MLModelError::Case::io, weightsPath + ": cannot open (" + std::strerror(errno) + ")");
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw MLModelError(MLModelError::Case::io, weightsPath + ": not a regular file");
    }
    model->mappingSize_ = static_cast<size_t>(info.st_size);
    if (model->mappingSize_ > 0) {
        try {
            model->mapping_ = mapWeights(fd, info, model->mappingSize_, weightsPath);
        } catch (...) {
            ::close(fd);
            model->mappingSize_ = 0;
            throw;
        }
    }
    ::close(fd);

    auto tensors = root.member("tensors");
    if (tensors.exists()) {
        if (!tensors.isArray()) reader.fail("\"tensors\" must be a list");
        size_t position = 0;
        for (auto item : tensors.items()) {
            std::string where = "tensors[" + std::to_string(position++) + "]: ";
            if (!item.isObject()) reader.fail(where + "must be an object");
            WeightTensor tensor;
            tensor.name = reader.requireString(item, "name", where);
            where = "tensor \"" + tensor.name + "\": ";
            tensor.dataType = reader.dataType(item, where);
            auto shape = item.member("shape");
            if (!shape.exists()) reader.fail(where + "\"shape\" is missing");
            tensor.shape = reader.shape(shape, where, 0);
            tensor.count = elementCount(tensor.shape);
            int64_t offset = reader.integer(item.member("offset"), where + "\"offset\" must be a non-negative integer");
            if (offset < 0) reader.fail(where + "\"offset\" must be a non-negative integer");
            tensor.offset = static_cast<uint64_t>(offset);
            if (tensor.offset % kWeightAlignment != 0)
                reader.fail(where + "offset " + std::to_string(tensor.offset) + " is not a multiple of " +
                            std::to_string(kWeightAlignment));
            uint64_t bytes = static_cast<uint64_t>(tensor.byteCount());
            if (tensor.offset > model->mappingSize_ || bytes > model->mappingSize_ - tensor.offset)
                throw MLModelError(MLModelError::Case::parameters,
                                   weightsPath + ": tensor \"" + tensor.name + "\" (" + std::to_string(bytes) +
                                       " bytes at offset " + std::to_string(tensor.offset) +
                                       ") lies outside the file of " + std::to_string(model->mappingSize_) + " bytes");
            tensor.bytes = static_cast<const std::byte*>(model->mapping_) + tensor.offset;
            std::string name = tensor.name;
            if (!model->tensors_.emplace(name, std::move(tensor)).second) reader.fail(where + "declared twice");
        }
    }
    return model;
}

ModelFile::~ModelFile() {
    if (mapping_) ::munmap(mapping_, mappingSize_);
}

foundation::JSONValue ModelFile::hyperParameters() const { return document_.root().member("hyper_parameters"); }

namespace {

// The hyper-parameter named `key`; !exists() when absent, also when the model has no hyper-parameters.
foundation::JSONValue parameterValue(const ModelFile& file, std::string_view key) {
    auto h = file.hyperParameters();
    return h.isObject() ? h.member(key) : foundation::JSONValue();
}

[[noreturn]] void parameterError(const ModelFile& file, std::string_view key, const char* expected) {
    throw MLModelError(MLModelError::Case::parameters, file.describePath(kModelJSONName) + ": hyper-parameter \"" +
                                                           std::string(key) + "\" missing or not " + expected);
}

}  // namespace

int64_t ModelFile::intParameter(std::string_view key) const {
    auto v = int64Value(parameterValue(*this, key));
    if (!v) parameterError(*this, key, "an integer");
    return *v;
}

double ModelFile::doubleParameter(std::string_view key) const {
    auto v = parameterValue(*this, key);
    if (!v.exists() || !v.isNumber()) parameterError(*this, key, "a number");
    return v.asDouble();
}

std::string ModelFile::stringParameter(std::string_view key) const {
    auto v = parameterValue(*this, key);
    if (!v.exists() || !v.isString()) parameterError(*this, key, "a string");
    return v.asString();
}

bool ModelFile::boolParameter(std::string_view key) const {
    auto v = parameterValue(*this, key);
    if (!v.exists() || !v.isBool()) parameterError(*this, key, "true or false");
    return v.asBool();
}

int64_t ModelFile::intParameterOr(std::string_view key, int64_t fallback) const {
    return parameterValue(*this, key).exists() ? intParameter(key) : fallback;
}

double ModelFile::doubleParameterOr(std::string_view key, double fallback) const {
    return parameterValue(*this, key).exists() ? doubleParameter(key) : fallback;
}

bool ModelFile::boolParameterOr(std::string_view key, bool fallback) const {
    return parameterValue(*this, key).exists() ? boolParameter(key) : fallback;
}

std::vector<int64_t> ModelFile::intListParameter(std::string_view key) const {
    auto v = parameterValue(*this, key);
    if (!v.exists() || !v.isArray()) parameterError(*this, key, "a list of integers");
    std::vector<int64_t> result;
    for (auto item : v.items()) {
        auto i = int64Value(item);
        if (!i) parameterError(*this, key, "a list of integers");
        result.push_back(*i);
    }
    return result;
}

bool ModelFile::hasTensor(std::string_view name) const { return tensors_.find(name) != tensors_.end(); }

const WeightTensor& ModelFile::tensor(std::string_view name) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end())
        throw MLModelError(MLModelError::Case::parameters,
                           describePath(kWeightsName) + ": tensor \"" + std::string(name) + "\" is missing");
    return it->second;
}

const WeightTensor& ModelFile::tensor(std::string_view name, MLMultiArrayDataType dataType,
                                      const std::vector<int64_t>& shape) const {
    const auto& t = tensor(name);
    if (t.dataType != dataType)
        throw MLModelError(MLModelError::Case::parameters,
                           describePath(kWeightsName) + ": tensor \"" + t.name + "\" holds " +
                               std::string(dataTypeName(t.dataType)) + ", expected " +
                               std::string(dataTypeName(dataType)));
    if (t.shape != shape)
        throw MLModelError(MLModelError::Case::parameters, describePath(kWeightsName) + ": tensor \"" + t.name +
                                                               "\" has shape " + shapeText(t.shape) + ", expected " +
                                                               shapeText(shape));
    return t;
}

}  // namespace coreml
