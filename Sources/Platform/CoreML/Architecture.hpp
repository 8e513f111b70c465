#pragma once
// Architectures: the C++ code that computes a model's outputs, chosen by the name in model.json.
//
// A .cpp registers one at namespace scope:
//     static coreml::ArchitectureRegistrar registrar("identity", [](const coreml::ArchitectureContext& c) {
//         return std::make_unique<Identity>(c);
//     });
// The PlatformCoreML target is linked whole, so registrars in its objects are never dropped.
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/CoreML/MLModelConfiguration.hpp"
#include "Platform/CoreML/MLMultiArray.hpp"
#include "Platform/CoreML/ModelFile.hpp"

namespace coreml {

using FeatureArrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;
using ConstFeatureArrays = std::map<std::string, std::shared_ptr<const MLMultiArray>>;

// What an architecture gets at load. `file` outlives the architecture: tensor pointers taken from it
// may be kept.
struct ArchitectureContext {
    const ModelFile& file;
    MLModelConfiguration configuration;
};

class Architecture {
public:
    virtual ~Architecture() = default;
    // Computes the outputs. `inputs` holds every declared multi-array input, already checked against
    // its declared shape and converted to its declared type; the arrays may be the caller's own, so
    // they are read-only. Returns the outputs by name: every declared output not marked optional
    // must be present (the runtime checks shapes and converts Float32 <-> Float16 to the declared type).
    // Called concurrently from several threads on one instance: keep per-call state local.
    virtual FeatureArrays predict(const ConstFeatureArrays& inputs) const = 0;
};

using ArchitectureFactory = std::function<std::unique_ptr<Architecture>(const ArchitectureContext&)>;

class ArchitectureRegistry {
public:
    static ArchitectureRegistry& shared();
    // A later registration under the same name replaces the earlier one.
    void add(const std::string& name, ArchitectureFactory factory);
    // Null when nothing is registered under the name.
    ArchitectureFactory find(const std::string& name) const;
    std::vector<std::string> names() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, ArchitectureFactory> factories_;
};

struct ArchitectureRegistrar {
    ArchitectureRegistrar(const std::string& name, ArchitectureFactory factory) {
        ArchitectureRegistry::shared().add(name, std::move(factory));
    }
};

}  // namespace coreml
