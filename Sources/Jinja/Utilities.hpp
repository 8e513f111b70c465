#pragma once
// The shared argument binder of every built-in and the small helpers the built-ins share.
#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/Value.hpp"
#include "Platform/Foundation/Date.hpp"

namespace jinja {

// One value per declared parameter after binding (the binder's public result).
using BoundArguments = foundation::OrderedDictionary<Value>;
// Default values of the optional parameters (a parameter without one is required).
using ArgumentDefaults = foundation::OrderedDictionary<Value>;

// Binds positional and keyword values to the declared parameters:
// 1. positional values fill the parameters in order; surplus ones are ignored; a parameter also given
//    by keyword fails with "Argument '<name>' passed both positionally and as keyword.";
// 2. each keyword must name a declared parameter ("Unexpected keyword argument '<key>' for filter.");
// 3. a parameter still without a value takes its default, else fails with
//    "Missing required argument '<name>' for filter.".
// Every failure is JinjaError.runtime, and the words are the same for every kind of built-in.
BoundArguments resolveCallArguments(std::span<const Value> args, const KeywordArguments& kwargs,
                                    const std::vector<std::string>& parameters, const ArgumentDefaults& defaults);

struct ParameterList;

// The values one call binds to a declaration, by the binder's rules above: views of the call's own
// positional and keyword values and of the declared defaults, so binding copies and allocates nothing.
// Valid while the call's values are.
class BoundValues {
public:
    static constexpr size_t capacity = 8;
    // The value bound to a declared parameter; undefined for a name the declaration does not have.
    const Value& operator[](std::string_view name) const;

private:
    friend struct ParameterList;
    const ParameterList* parameters_ = nullptr;
    std::array<const Value*, capacity> values_{};
};

// A built-in's constant parameter declaration: names in order and the defaults of the optional ones.
// Declarations are built once (function-local statics) and never changed afterwards.
struct ParameterList {
    std::vector<std::string> names;
    ArgumentDefaults defaults;

    ParameterList() = default;
    // Written as ParameterList({"a", "b"}, {{"b", Value(1)}}) so the names never read as one string.
    explicit ParameterList(std::vector<std::string> names, std::vector<std::pair<std::string, Value>> defaults = {});

    // Binds `args` (after `first`, when given, which takes the first parameter).
    BoundValues bind(std::span<const Value> args, const KeywordArguments& kwargs, const Value* first = nullptr) const;

private:
    std::vector<std::optional<Value>> defaultAt_;  // by parameter position
};

// The bound value of a declared parameter (present after every successful bind).
const Value& boundArgument(const BoundArguments& bound, std::string_view name);
inline const Value& boundArgument(const BoundValues& bound, std::string_view name) { return bound[name]; }

// The attribute lookup of the attribute-taking filters: `item.name` of the template language
// (object methods and entries, string methods), undefined for every other item.
Value attributeLookup(const Value& item, std::string_view name);
// The integer attribute of join, map and unique: an object's entry keyed by the decimal text of n, an
// array's element at n when 0 <= n < count (no counting from the end), else undefined.
Value integerAttributeLookup(const Value& item, int64_t n);

// One thread-safe random source for the random filter and the lipsum global. Unseeded it draws from
// the system's entropy; tests seed it to get reproducible choices.
namespace RandomSource {
// A uniformly distributed integer in [0, upperBound); 0 when upperBound is 0.
uint64_t uniform(uint64_t upperBound);
// A uniformly distributed integer in the closed range [low, high] (low <= high).
int64_t uniformInRange(int64_t low, int64_t high);
void seed(uint64_t seed);
}  // namespace RandomSource

// strftime-style formatting of a date in the local time zone with the English POSIX conventions;
// unknown directives print as written. Used by strftime_now.
std::string formatStrftime(foundation::Date date, std::string_view format);

// HTML escaping of & < > " ' (escape, forceescape, urlize).
std::string htmlEscaped(std::string_view text);

// The Characters (grapheme clusters) of a text as views into it, without copying them.
std::vector<std::string_view> characterViews(std::string_view text);

// Character whitespace: a Character (grapheme cluster) whose first scalar has the White_Space property.
bool isCharacterWhitespace(std::string_view character);
// Words delimited by whitespace, each with its first Character upper-cased and the rest lower-cased.
std::string capitalizedWords(std::string_view text);
// Inserts `insertion` at the start of `text` and after each of its Characters, at the first `limit`
// of those points (all of them without a limit; none for a limit of 0 or less).
std::string insertingAtCharacterBoundaries(std::string_view text, std::string_view insertion,
                                           std::optional<int64_t> limit);

}  // namespace jinja
