#include "Lexiphonic/Utilities/ModelUtilities.hpp"

#include <algorithm>
#include <string_view>

#include "Lexiphonic/Core/Models/ModelSupport.hpp"

namespace lexiphonic::ModelUtilities {

namespace {

// Position of the first variant whose description the name contains; names of no variant sort last.
size_t rank(const std::string& name) {
    for (size_t i = 0; i < allModelVariants.size(); ++i) {
        if (name.find(description(allModelVariants[i])) != std::string::npos) return i;
    }
    return allModelVariants.size();
}

}  // namespace

std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles) {
    // A non-large variant's key carries the folder's closing "/", so "tiny" does not claim "tiny.en".
    std::vector<std::string> keys;
    for (ModelVariant variant : allModelVariants) {
        std::string key(description(variant));
        if (key.find("large") == std::string::npos) key += "/";
        keys.push_back(std::move(key));
    }

    std::vector<std::string> names;
    for (const std::string& file : modelFiles) {
        std::string folder = file.substr(0, file.find('/')) + "/";
        bool known = std::any_of(keys.begin(), keys.end(),
                                 [&](const std::string& key) { return folder.find(key) != std::string::npos; });
        if (!known) continue;
        folder.pop_back();
        if (std::find(names.begin(), names.end(), folder) == names.end()) names.push_back(std::move(folder));
    }

    std::vector<std::pair<size_t, std::string>> ranked;
    ranked.reserve(names.size());
    for (auto& name : names) ranked.emplace_back(rank(name), std::move(name));
    std::sort(ranked.begin(), ranked.end());

    std::vector<std::string> result;
    result.reserve(ranked.size());
    for (auto& entry : ranked) result.push_back(std::move(entry.second));
    return result;
}

}  // namespace lexiphonic::ModelUtilities
