#pragma once
// What the filter families share: the bodies every table entry and public function runs, the empty
// declaration, Character boundaries, a stable sort that tolerates a throwing comparison, and splitting
// at scalars.
#include <algorithm>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Jinja/BuiltinCalls.hpp"
#include "Jinja/Environment.hpp"
#include "Jinja/Utilities.hpp"
#include "Jinja/Value.hpp"

namespace jinja::Filters {

using Args = std::vector<Value>;

const ParameterList& noParameters();

// tojson's text. `jsonText` writes it straight from the value; `jsonTextThroughWriter` builds it with
// the shared JSON writer, the path it must match byte for byte.
std::string jsonText(const Value& value, bool pretty, bool ensureASCII);
std::string jsonTextThroughWriter(const Value& value, bool pretty, bool ensureASCII);

// The filter bodies under their primary names.
namespace calls {
Value upper(const FilterCall& call);
Value lower(const FilterCall& call);
Value length(const FilterCall& call);
Value join(const FilterCall& call);
Value default_(const FilterCall& call);
Value first(const FilterCall& call);
Value last(const FilterCall& call);
Value random(const FilterCall& call);
Value reverse(const FilterCall& call);
Value sort(const FilterCall& call);
Value groupby(const FilterCall& call);
Value slice(const FilterCall& call);
Value map(const FilterCall& call);
Value select(const FilterCall& call);
Value reject(const FilterCall& call);
Value selectattr(const FilterCall& call);
Value rejectattr(const FilterCall& call);
Value attr(const FilterCall& call);
Value dictsort(const FilterCall& call);
Value forceescape(const FilterCall& call);
Value safe(const FilterCall& call);
Value striptags(const FilterCall& call);
Value format(const FilterCall& call);
Value wordwrap(const FilterCall& call);
Value filesizeformat(const FilterCall& call);
Value xmlattr(const FilterCall& call);
Value string(const FilterCall& call);
Value trim(const FilterCall& call);
Value escape(const FilterCall& call);
Value tojson(const FilterCall& call);
Value abs(const FilterCall& call);
Value capitalize(const FilterCall& call);
Value center(const FilterCall& call);
Value float_(const FilterCall& call);
Value int_(const FilterCall& call);
Value list(const FilterCall& call);
Value max(const FilterCall& call);
Value min(const FilterCall& call);
Value round(const FilterCall& call);
Value title(const FilterCall& call);
Value wordcount(const FilterCall& call);
Value replace(const FilterCall& call);
Value urlencode(const FilterCall& call);
Value batch(const FilterCall& call);
Value sum(const FilterCall& call);
Value truncate(const FilterCall& call);
Value unique(const FilterCall& call);
Value indent(const FilterCall& call);
Value items(const FilterCall& call);
Value pprint(const FilterCall& call);
Value urlize(const FilterCall& call);
}  // namespace calls

// The parts trim and string give without copying (see FilterPart).
namespace parts {
std::optional<std::string_view> trim(const FilterCall& call);
std::optional<std::string_view> string(const FilterCall& call);
}  // namespace parts

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
