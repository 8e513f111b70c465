#pragma once
// The engine's model helpers, next to the core module's model-file helpers of the same namespace.
#include <string>
#include <vector>

#include "PelluxCore/ModelUtilities.hpp"

namespace lexiphonic::ModelUtilities {

using namespace pellux::ModelUtilities;

// The distinct model folder names among repository paths (or folder names) that belong to a known
// variant, ordered by model size, then by name.
std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles);

}  // namespace lexiphonic::ModelUtilities
