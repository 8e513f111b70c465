#pragma once
// The filter table and the built-in filters. Every filter takes its input as the first positional
// value, binds the rest (and the keywords) against its declared parameters, and returns a new value.
#include <string>
#include <unordered_map>
#include <vector>

#include "Jinja/Environment.hpp"
#include "Jinja/Value.hpp"

namespace jinja::Filters {

// The 54 filter names ("count", "d" and "e" are aliases of length, default and escape), built once on
// first use and only read afterwards.
const std::unordered_map<std::string, BuiltinFunction>& builtIn();

// Each distinct filter under its primary name; the table entries run these same functions. Names that
// are C++ keywords carry a trailing underscore (default_, float_, int_).
Value upper(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value lower(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value length(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value join(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value default_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value first(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value last(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value random(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value reverse(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value sort(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value groupby(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value slice(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value map(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value select(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value reject(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value selectattr(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value rejectattr(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value attr(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value dictsort(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value forceescape(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value safe(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value striptags(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value format(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value wordwrap(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value filesizeformat(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value xmlattr(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value string(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value trim(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value escape(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value tojson(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value abs(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value capitalize(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value center(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value float_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value int_(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value list(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value max(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value min(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value round(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value title(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value wordcount(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value replace(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value urlencode(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value batch(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value sum(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value truncate(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value unique(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value indent(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value items(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value pprint(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);
Value urlize(const std::vector<Value>& args, const KeywordArguments& kwargs, const EnvironmentPtr& env);

}  // namespace jinja::Filters
