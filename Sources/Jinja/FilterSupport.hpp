#pragma once
// What the filter families share: the calling shape's pieces, binding after the input, Character
// boundaries, a stable sort that tolerates a throwing comparison, and splitting at scalars.
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Utilities.hpp"
#include "Jinja/Value.hpp"

namespace jinja::Filters {

using Args = std::vector<Value>;

// The call's own positional arguments: everything after the input.
std::span<const Value> afterInput(const Args& args);
BoundValues bindAfterInput(const ParameterList& parameters, const Args& args, const KeywordArguments& kwargs);
const ParameterList& noParameters();

// Byte offsets of the Character boundaries; {0} for the empty string.
std::vector<size_t> boundariesOf(std::string_view s);

bool isNewlineScalar(char32_t c);
// Splits at every scalar for which `isSeparator` holds; empty pieces are kept.
std::vector<std::string> splitAtScalars(std::string_view s, bool (*isSeparator)(char32_t));

// A stable merge sort whose comparison may throw; an inconsistent comparison (NaN) can never make it
// read outside the array.
template <class T, class Compare>
std::vector<T> stableSorted(std::vector<T> items, Compare compare) {
    std::vector<T> buffer(items.size());
    for (size_t width = 1; width < items.size(); width *= 2) {
        for (size_t low = 0; low < items.size(); low += 2 * width) {
            size_t middle = std::min(low + width, items.size());
            size_t high = std::min(low + 2 * width, items.size());
            size_t i = low, j = middle, k = low;
            while (i < middle && j < high) {
                // Take from the right run only when it sorts strictly before the left one.
                if (compare(items[j], items[i]) < 0) buffer[k++] = items[j++];
                else buffer[k++] = items[i++];
            }
            while (i < middle) buffer[k++] = items[i++];
            while (j < high) buffer[k++] = items[j++];
        }
        items.swap(buffer);
    }
    return items;
}

}  // namespace jinja::Filters
