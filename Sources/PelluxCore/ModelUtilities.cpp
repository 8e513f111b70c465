#include "PelluxCore/ModelUtilities.hpp"

namespace pellux::ModelUtilities {

namespace fs = std::filesystem;

namespace {

const char* const kPackageModelFile = "Data/com.apple.CoreML/model.mlmodel";

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::optional<int64_t> dimension(const std::map<std::string, coreml::MLFeatureDescription>& features,
                                 const std::string& named, int64_t position) {
    auto it = features.find(named);
    if (it == features.end() || it->second.type != coreml::MLFeatureType::multiArray ||
        !it->second.multiArrayConstraint)
        return std::nullopt;
    const auto& shape = it->second.multiArrayConstraint->shape;
    if (position < 0 || position >= static_cast<int64_t>(shape.size())) return std::nullopt;
    return shape[static_cast<size_t>(position)];
}

}  // namespace

fs::path detectModelURL(const fs::path& inFolder, const std::string& named) {
    fs::path compiled = inFolder / (named + ".mlmodelc");
    fs::path package = inFolder / (named + ".mlpackage") / kPackageModelFile;
    if (pathExists(package) && !pathExists(compiled)) return package;
    return compiled;
}

fs::path detectModelURL(const fs::path& inFolder, const std::string& named, bool recursive) {
    if (!recursive) return detectModelURL(inFolder, named);
    fs::path compiled = inFolder / (named + ".mlmodelc");
    if (pathExists(compiled)) return compiled;
    std::error_code ec;
    fs::recursive_directory_iterator walker(inFolder, fs::directory_options::skip_permission_denied, ec);
    if (ec) return compiled;
    const std::string wanted = named + ".mlmodelc";
    for (auto end = fs::recursive_directory_iterator(); walker != end; walker.increment(ec)) {
        if (ec) break;
        if (walker->path().filename() == wanted) return walker->path();
    }
    return compiled;
}

std::optional<fs::path> detectModelURL(const fs::path& inFolder) {
    std::error_code ec;
    fs::directory_iterator listing(inFolder, ec);
    if (ec) return std::nullopt;
    std::optional<fs::path> firstPackage;
    for (auto end = fs::directory_iterator(); listing != end; listing.increment(ec)) {
        if (ec) break;
        const auto& path = listing->path();
        if (path.extension() == ".mlmodelc") return path;
        if (path.extension() == ".mlpackage" && !firstPackage) firstPackage = path;
    }
    if (firstPackage) return *firstPackage / kPackageModelFile;
    return std::nullopt;
}

std::optional<int64_t> getModelInputDimension(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                              int64_t position) {
    if (!model) return std::nullopt;
    return dimension(model->modelDescription().inputDescriptionsByName, named, position);
}

std::optional<int64_t> getModelOutputDimension(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                               int64_t position) {
    if (!model) return std::nullopt;
    return dimension(model->modelDescription().outputDescriptionsByName, named, position);
}

std::optional<int64_t> getModelInputDimention(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                              int64_t position) {
    return getModelInputDimension(model, named, position);
}

std::optional<int64_t> getModelOutputDimention(const std::shared_ptr<coreml::MLModel>& model, const std::string& named,
                                               int64_t position) {
    return getModelOutputDimension(model, named, position);
}

}  // namespace pellux::ModelUtilities
