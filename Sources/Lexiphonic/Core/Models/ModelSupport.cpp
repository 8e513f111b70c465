#include "Lexiphonic/Core/Models/ModelSupport.hpp"

#include <unordered_set>

#include "Lexiphonic/Utilities/Coding.hpp"
#include "Lexiphonic/Utilities/Constants.hpp"
#include "Lexiphonic/Utilities/ModelUtilities.hpp"
#include "PelluxCore/Logging.hpp"
#include "Platform/Foundation/Text.hpp"

namespace lexiphonic {

std::string_view description(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tiny: return "tiny";
        case ModelVariant::tinyEn: return "tiny.en";
        case ModelVariant::base: return "base";
        case ModelVariant::baseEn: return "base.en";
        case ModelVariant::small: return "small";
        case ModelVariant::smallEn: return "small.en";
        case ModelVariant::medium: return "medium";
        case ModelVariant::mediumEn: return "medium.en";
        case ModelVariant::large: return "large";
        case ModelVariant::largev2: return "large-v2";
        case ModelVariant::largev3: return "large-v3";
    }
    return "base";
}

bool isMultilingual(ModelVariant variant) {
    switch (variant) {
        case ModelVariant::tinyEn:
        case ModelVariant::baseEn:
        case ModelVariant::smallEn:
        case ModelVariant::mediumEn: return false;
        default: return true;
    }
}

namespace {

// Names in order, each kept at its first occurrence.
std::vector<std::string> orderedUnion(const std::vector<std::string>& first, const std::vector<std::string>& second) {
    std::vector<std::string> out;
    std::unordered_set<std::string> seen;
    for (const auto* list : {&first, &second})
        for (const auto& name : *list)
            if (seen.insert(name).second) out.push_back(name);
    return out;
}

std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                              const std::vector<DeviceSupport>& fallback) {
    std::unordered_set<std::string> remoteIdentifiers;
    for (const auto& row : remote) remoteIdentifiers.insert(row.identifiers.begin(), row.identifiers.end());

    std::vector<DeviceSupport> merged;
    for (const auto& row : remote) {
        const DeviceSupport* match = nullptr;
        for (const auto& builtIn : fallback) {
            for (const auto& id : builtIn.identifiers) {
                for (const auto& remoteId : row.identifiers)
                    if (id == remoteId) match = &builtIn;
                if (match) break;
            }
            if (match) break;
        }
        if (!match) {
            merged.push_back(row);
            continue;
        }
        DeviceSupport combined = row;
        combined.models.supported = orderedUnion(row.models.supported, match->models.supported);
        combined.models.disabled.clear();
        merged.push_back(std::move(combined));
    }
    for (const auto& builtIn : fallback) {
        bool covered = false;
        for (const auto& id : builtIn.identifiers)
            if (remoteIdentifiers.count(id)) covered = true;
        if (!covered) merged.push_back(builtIn);
    }
    return merged;
}

}  // namespace

void ModelSupport::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("default", default_);
    coding::writeList(w, "supported", supported);
    w.endObject();
}

ModelSupport ModelSupport::decode(const foundation::JSONValue& v) {
    coding::requireObject(v, "ModelSupport");
    ModelSupport out;
    out.default_ = coding::readString(coding::required(v, "default"));
    out.supported = coding::readStringArray(coding::required(v, "supported"));
    return out;
}

void DeviceSupport::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("chips", chips);
    coding::writeList(w, "identifiers", identifiers);
    w.key("models");
    models.encode(w);
    w.endObject();
}

DeviceSupport DeviceSupport::decode(const foundation::JSONValue& v) {
    coding::requireObject(v, "DeviceSupport");
    DeviceSupport out;
    if (auto chips = coding::optional(v, "chips")) out.chips = coding::readString(*chips);
    out.identifiers = coding::readStringArray(coding::required(v, "identifiers"));
    out.models = ModelSupport::decode(coding::required(v, "models"));
    return out;
}

ModelSupportConfig::ModelSupportConfig(std::string name, std::string version, std::vector<DeviceSupport> rows,
                                       bool includeFallback)
    : repoName(std::move(name)), repoVersion(std::move(version)), deviceSupports(std::move(rows)) {
    if (includeFallback) {
        const auto& builtIn = Constants::fallbackModelSupportConfig();
        if (builtIn.repoName.find(repoName) != std::string::npos)
            deviceSupports = mergeDeviceSupport(deviceSupports, builtIn.deviceSupports);
    }
    for (const auto& row : deviceSupports) knownModels = orderedUnion(knownModels, row.models.supported);
    // The set difference comes out in the order of knownModels, so it is the same on every run.
    for (auto& row : deviceSupports) {
        std::unordered_set<std::string> supported(row.models.supported.begin(), row.models.supported.end());
        row.models.disabled.clear();
        for (const auto& name : knownModels)
            if (!supported.count(name)) row.models.disabled.push_back(name);
    }
    defaultSupport = DeviceSupport{std::nullopt, {}, ModelSupport{"openai_whisper-base", knownModels, {}}};
}

ModelSupport ModelSupportConfig::modelSupport(std::string_view deviceIdentifier) const {
    const DeviceSupport* best = nullptr;
    size_t bestLength = 0;
    for (const auto& row : deviceSupports) {
        for (const auto& id : row.identifiers) {
            if (!foundation::text::hasPrefix(deviceIdentifier, id)) continue;
            size_t length = foundation::text::characterCount(id);
            if (!best || length > bestLength) {
                best = &row;
                bestLength = length;
            }
        }
    }
    using pellux::Logging;
    if (best) {
        if (Logging::passes(Logging::LogLevel::debug))
            Logging::debug("Matched " + std::string(deviceIdentifier) + " to devices: " +
                           pellux::detail::logDescription(best->identifiers));
        return best->models;
    }
    if (Logging::passes(Logging::LogLevel::info))
        Logging::info("No device support found for " + std::string(deviceIdentifier) + ", using default");
    return defaultSupport.models;
}

void ModelSupportConfig::encode(foundation::JSONWriter& w) const {
    w.beginObject();
    w.field("name", repoName);
    w.field("version", repoVersion);
    w.key("device_support").beginArray();
    for (const auto& row : deviceSupports) row.encode(w);
    w.endArray();
    w.endObject();
}

ModelSupportConfig ModelSupportConfig::decode(const foundation::JSONValue& v) {
    coding::requireObject(v, "ModelSupportConfig");
    auto name = coding::readString(coding::required(v, "name"));
    auto version = coding::readString(coding::required(v, "version"));
    auto rows = coding::readList(coding::required(v, "device_support"), "Array<DeviceSupport>", DeviceSupport::decode);
    return ModelSupportConfig(std::move(name), std::move(version), std::move(rows), true);
}

DefaultAndDisabledModels modelSupportPair(const std::string& for_, const std::optional<ModelSupportConfig>& from) {
    auto support = ModelUtilities::modelSupport(for_, from);
    return {std::move(support.default_), std::move(support.disabled)};
}

}  // namespace lexiphonic
