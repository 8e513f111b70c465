#pragma once
// Small public helpers of the engine module.
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"

namespace lexiphonic {

// The text without its leading and trailing "<", "|" and ">" ("<|en|>" -> "en").
std::string trimmingSpecialTokenCharacters(std::string_view text);

// Lower-cased, "-" as a space, punctuation removed, runs of spaces collapsed, trimmed
// (" Hello,  World - Test! " -> "hello world test").
std::string normalized(std::string_view text);

// True when some segment starts exactly where `segment` does; nothing else is compared.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

// A leading "~" expanded, or the path made absolute against the current directory.
std::string resolveAbsolutePath(std::string_view path);

// One input's outcome in a batch: its results, or the error that stopped it.
using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;
using TranscriptionBatchResult = std::variant<TranscriptionResults, std::exception_ptr>;

// Same length and order: each success's list, absent for each failure (the error is dropped).
std::vector<std::optional<TranscriptionResults>> toOptionalArrays(const std::vector<TranscriptionBatchResult>& results);

}  // namespace lexiphonic
