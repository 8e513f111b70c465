#pragma once
// Small helpers on numbers, paths, arrays and text, and the machine's description.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Platform/Foundation/Error.hpp"
#include "Platform/Foundation/Text.hpp"

namespace pellux {

// `value` rounded to `decimalPlaces` places (negative places round to tens, hundreds, ...), computed in
// float arithmetic with halves away from zero.
float rounded(float value, int64_t decimalPlaces);

// A user-given path made absolute: a leading "~" is expanded; a relative path is joined to the current
// directory with "." and ".." left as written.
std::string resolveAbsolutePath(std::string_view path);

// Consecutive batches of `size` elements, the last one holding the remainder; none for an empty array.
// Throws foundation::RuntimeError for a size below 1.
template <class T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, int64_t size) {
    if (size < 1) throw foundation::RuntimeError("Batch size must be at least 1, got " + std::to_string(size) + ".");
    std::vector<std::vector<T>> batches;
    const size_t step = static_cast<size_t>(size);
    for (size_t start = 0; start < elements.size(); start += step) {
        const size_t end = elements.size() - start < step ? elements.size() : start + step;
        batches.emplace_back(elements.begin() + static_cast<std::ptrdiff_t>(start),
                             elements.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

// The elements without repeats, each where it first occurs.
template <class T>
std::vector<T> orderedSet(const std::vector<T>& elements) {
    std::unordered_set<T> seen;
    std::vector<T> result;
    for (const auto& element : elements) {
        if (seen.insert(element).second) result.push_back(element);
    }
    return result;
}
// Texts are equal when canonically equivalent, so "é" precomposed and decomposed count as one.
std::vector<std::string> orderedSet(const std::vector<std::string>& elements);

// The longest-reaching prefix of `text` that ends at a natural boundary (sentence end, else clause
// break, else before the last space) and holds at least `minTokenCount` tokens; nothing when none does.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int64_t minTokenCount,
                                               const std::function<size_t(const std::string&)>& tokenCount);
template <class Encode>
    requires requires(Encode encode, const std::string& s) { encode(s).size(); }
std::optional<std::string> lastNaturalBoundary(std::string_view text, int64_t minTokenCount, Encode&& encode) {
    return lastNaturalBoundary(text, minTokenCount,
                               std::function<size_t(const std::string&)>(
                                   [&encode](const std::string& candidate) { return encode(candidate).size(); }));
}

// `text` with at most `upto` copies of `character` (one Character) removed from its end.
std::string trimmingFromEnd(std::string_view text, std::string_view character, int64_t upto);

// The names that fnmatch(3) accepts for `glob` with no flags ("*" crosses "/"), in order.
std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob);

// What the machine says about itself. Kernel variable names are mapped to what Linux offers.
struct ProcessInfo {
    // "hw.model" reads the DMI product name (or the device-tree model); "machdep.cpu.brand_string",
    // "machdep.cpu.vendor", "machdep.cpu.family", "machdep.cpu.core_count" and
    // "machdep.cpu.thread_count" read /proc/cpuinfo (counts as decimal text); any other name reads
    // /proc/sys/<name with dots as slashes>. Unknown names give the empty text.
    static std::string stringFromSysctl(std::string_view name);
    // The same, reading below `systemRoot` instead of "/".
    static std::string stringFromSysctl(std::string_view name, const std::filesystem::path& systemRoot);

    // Read once per process, then kept.
    static const std::string& hwModel();
    static const std::string& processor();
    static const std::string& cores();
    static const std::string& threads();
    static const std::string& vendor();
    static const std::string& family();
};

}  // namespace pellux
