#pragma once
// The shape in which the engine calls its built-in filters and tests: the input apart from the call's
// own positional values, so that a call copies nothing. Every filter and test is written in this shape;
// its public function and its table entry run the same body.
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Utilities.hpp"
#include "Jinja/Value.hpp"

namespace jinja {

namespace Filters {

struct FilterCall {
    const Value* input;                // absent when a host passed no positional value
    std::span<const Value> arguments;  // the positional values after the input
    const KeywordArguments& kwargs;
    const EnvironmentPtr& env;

    static FilterCall of(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
        if (args.empty()) return {nullptr, {}, kwargs, env};
        return {&args[0], std::span<const Value>(args).subspan(1), kwargs, env};
    }
    // Binds the arguments after the input.
    BoundValues bind(const ParameterList& parameters) const { return parameters.bind(arguments, kwargs); }
};
using FilterBody = Value (*)(const FilterCall& call);
// For a filter whose result is often a part of its string input (trim, string): that part, when the
// body would give it, so the caller can read it without a copy; nothing when the body must run.
using FilterPart = std::optional<std::string_view> (*)(const FilterCall& call);

struct FilterEntry {
    FilterBody body;
    bool runsTemplateCode;      // may call functions or tests bound in the scope (map, select and the like)
    FilterPart part = nullptr;  // only where the result can be a part of the input
};
// The built-in filter of that name (aliases included), or null.
const FilterEntry* find(std::string_view name);

const KeywordArguments& noKeywords();

}  // namespace Filters

namespace Tests {

struct TestCall {
    const Value* input;                // the tested value; absent when a host passed no positional value
    std::span<const Value> arguments;  // the positional values after it
    const KeywordArguments& kwargs;
    const EnvironmentPtr& env;

    static TestCall of(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
        if (args.empty()) return {nullptr, {}, kwargs, env};
        return {&args[0], std::span<const Value>(args).subspan(1), kwargs, env};
    }
    // Binds the whole positional list, tested value included.
    BoundValues bind(const ParameterList& parameters) const { return parameters.bind(arguments, kwargs, input); }
};
using TestBody = bool (*)(const TestCall& call);

// The built-in test of that name (aliases included), or null.
TestBody find(std::string_view name);

}  // namespace Tests

}  // namespace jinja
