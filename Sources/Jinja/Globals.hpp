#pragma once
// The eight globals every root scope starts with: raise_exception, range, lipsum, dict, cycler, joiner,
// namespace and strftime_now.
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Value.hpp"

namespace jinja::Globals {

// Name -> function value, in table order; built once on first use and only read afterwards.
const foundation::OrderedDictionary<Value>& builtIn();

// The table entries run these same functions.
Value raiseException(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value range(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value lipsum(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value dict(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value cycler(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value joiner(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value namespace_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value strftimeNow(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);

}  // namespace jinja::Globals
