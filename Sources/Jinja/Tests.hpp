#pragma once
// The test table and the built-in tests (`x is name(...)`). A test binds its whole positional list,
// tested value included, and answers true or false.
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Value.hpp"

namespace jinja::Tests {

using TestFunction =
    std::function<bool(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env)>;

// The 39 test names (with the aliases "==", "equalto", "!=", ">", "greaterthan", ">=", "<", "lessthan",
// "<="), built once on first use and only read afterwards.
const std::unordered_map<std::string, TestFunction>& builtIn();

// Each distinct test under its name; names that are C++ keywords carry a trailing underscore.
bool defined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool undefined(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool none(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool string(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool number(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool boolean(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool iterable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool even(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool odd(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool divisibleby(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool mapping(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool callable(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool integer(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool true_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool false_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool lower(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool upper(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool float_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool sequence(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool escaped(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool filter(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool test(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool sameas(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool in_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool eq(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool ne(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool gt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool ge(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool lt(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
bool le(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);

}  // namespace jinja::Tests
