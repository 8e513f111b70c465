#pragma once
// Finding a model's files in a folder and reading sizes from a model's declared shapes.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "Platform/CoreML/MLModel.hpp"

namespace pellux::ModelUtilities {

// <folder>/<name>.mlmodelc, except when that does not exist and the package's inner model file
// <folder>/<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel does; never fails, may not exist.
std::filesystem::path detectModelURL(const std::filesystem::path& inFolder, const std::string& named);
// As above; when `recursive`, the compiled model may also sit anywhere below the folder (first found
// in directory-walk order); packages are not considered then.
std::filesystem::path detectModelURL(const std::filesystem::path& inFolder, const std::string& named, bool recursive);
// The first compiled model directly in the folder, else the inner model file of the first package,
// else nothing (also for an unreadable folder).
std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& inFolder);

// The size at `position` of the named input's (output's) declared multi-array shape; nothing when the
// model is absent, the feature is unknown (names are case-sensitive), is not a multi-array, declares
// no shape, or the position is outside the shape.
std::optional<int64_t> getModelInputDimension(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                              int64_t position);
std::optional<int64_t> getModelOutputDimension(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                               int64_t position);
// The same under their older spellings.
std::optional<int64_t> getModelInputDimention(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                              int64_t position);
std::optional<int64_t> getModelOutputDimention(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                               int64_t position);

}  // namespace pellux::ModelUtilities
