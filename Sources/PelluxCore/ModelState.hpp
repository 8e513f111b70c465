#pragma once
// The lifecycle state of the engine's models as the engine reports it.
#include <string>

namespace pellux {

enum class ModelState { unloading, unloaded, loading, loaded, prewarming, prewarmed, downloading, downloaded };

// "Unloading", "Unloaded", ...; the prewarm states print as "Specializing" and "Specialized".
std::string description(ModelState state);
// True while work is in progress (unloading, loading, prewarming, downloading).
bool isBusy(ModelState state);

}  // namespace pellux
