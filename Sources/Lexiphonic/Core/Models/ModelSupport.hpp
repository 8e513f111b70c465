#pragma once
// Model sizes, and the table of device classes with their default, supported and disabled model folders.
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Foundation/JSON.hpp"

namespace lexiphonic {

enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

std::string_view description(ModelVariant variant);
bool isMultilingual(ModelVariant variant);
inline constexpr std::array<ModelVariant, 11> allModelVariants{
    ModelVariant::tiny,  ModelVariant::tinyEn,   ModelVariant::base,  ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn,  ModelVariant::medium, ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2,  ModelVariant::largev3};

struct ModelSupport {
    std::string default_;
    std::vector<std::string> supported;
    // Known models that this device class does not support: computed, never read or written.
    std::vector<std::string> disabled;

    bool operator==(const ModelSupport&) const = default;

    // {"default", "supported"}.
    void encode(foundation::JSONWriter& writer) const;
    static ModelSupport decode(const foundation::JSONValue& value);
};

struct DeviceSupport {
    std::optional<std::string> chips;
    std::vector<std::string> identifiers;  // prefixes of hardware model identifiers
    ModelSupport models;

    bool operator==(const DeviceSupport&) const = default;

    void encode(foundation::JSONWriter& writer) const;
    static DeviceSupport decode(const foundation::JSONValue& value);
};

struct ModelSupportConfig {
    std::string repoName;
    std::string repoVersion;
    std::vector<DeviceSupport> deviceSupports;
    std::vector<std::string> knownModels;  // computed
    DeviceSupport defaultSupport;          // computed

    // Builds a completed table. With includeFallback, a table whose name is contained in the built-in
    // table's name is merged with the built-in rows first.
    ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                       bool includeFallback);

    // The models of the row whose identifier is the longest prefix of `deviceIdentifier` (the first such
    // row on ties), else those of defaultSupport.
    ModelSupport modelSupport(std::string_view deviceIdentifier) const;

    // {"name", "version", "device_support"}.
    void encode(foundation::JSONWriter& writer) const;
    // Reads and completes the table with the built-in one included.
    static ModelSupportConfig decode(const foundation::JSONValue& value);
};

// The default model and the disabled ones of the device's support, looked up as
// ModelUtilities::modelSupport does (the given table, else the built-in one).
struct DefaultAndDisabledModels {
    std::string default_;
    std::vector<std::string> disabled;

    bool operator==(const DefaultAndDisabledModels&) const = default;
};
DefaultAndDisabledModels modelSupportPair(const std::string& for_, const std::optional<ModelSupportConfig>& from = std::nullopt);

}  // namespace lexiphonic
