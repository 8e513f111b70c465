// The filter tables (every filter by name, aliases included) and the public functions, which run the
// same bodies as the table entries.
#include "Jinja/Filters.hpp"

#include "Jinja/FilterSupport.hpp"

namespace jinja::Filters {

namespace {

const std::unordered_map<std::string_view, FilterEntry>& entries() {
    static const std::unordered_map<std::string_view, FilterEntry> table = {
        {"upper", {calls::upper, false}},
        {"lower", {calls::lower, false}},
        {"length", {calls::length, false}},
        {"count", {calls::length, false}},
        {"join", {calls::join, false}},
        {"default", {calls::default_, false}},
        {"d", {calls::default_, false}},
        {"first", {calls::first, false}},
        {"last", {calls::last, false}},
        {"random", {calls::random, false}},
        {"reverse", {calls::reverse, false}},
        {"sort", {calls::sort, false}},
        {"groupby", {calls::groupby, false}},
        {"slice", {calls::slice, false}},
        {"map", {calls::map, true}},
        {"select", {calls::select, true}},
        {"reject", {calls::reject, true}},
        {"selectattr", {calls::selectattr, true}},
        {"rejectattr", {calls::rejectattr, true}},
        {"attr", {calls::attr, false}},
        {"dictsort", {calls::dictsort, false}},
        {"forceescape", {calls::forceescape, false}},
        {"safe", {calls::safe, false}},
        {"striptags", {calls::striptags, false}},
        {"format", {calls::format, false}},
        {"wordwrap", {calls::wordwrap, false}},
        {"filesizeformat", {calls::filesizeformat, false}},
        {"xmlattr", {calls::xmlattr, false}},
        {"string", {calls::string, false, parts::string}},
        {"trim", {calls::trim, false, parts::trim}},
        {"escape", {calls::escape, false}},
        {"e", {calls::escape, false}},
        {"tojson", {calls::tojson, false}},
        {"abs", {calls::abs, false}},
        {"capitalize", {calls::capitalize, false}},
        {"center", {calls::center, false}},
        {"float", {calls::float_, false}},
        {"int", {calls::int_, false}},
        {"list", {calls::list, false}},
        {"max", {calls::max, false}},
        {"min", {calls::min, false}},
        {"round", {calls::round, false}},
        {"title", {calls::title, false}},
        {"wordcount", {calls::wordcount, false}},
        {"replace", {calls::replace, false}},
        {"urlencode", {calls::urlencode, false}},
        {"batch", {calls::batch, false}},
        {"sum", {calls::sum, false}},
        {"truncate", {calls::truncate, false}},
        {"unique", {calls::unique, false}},
        {"indent", {calls::indent, false}},
        {"items", {calls::items, false}},
        {"pprint", {calls::pprint, false}},
        {"urlize", {calls::urlize, false}},
    };
    return table;
}

}  // namespace

const FilterEntry* find(std::string_view name) {
    const auto& table = entries();
    auto it = table.find(name);
    return it == table.end() ? nullptr : &it->second;
}

const std::unordered_map<std::string, BuiltinFunction>& builtIn() {
    static const std::unordered_map<std::string, BuiltinFunction> table = {
        {"upper", upper},
        {"lower", lower},
        {"length", length},
        {"count", length},
        {"join", join},
        {"default", default_},
        {"d", default_},
        {"first", first},
        {"last", last},
        {"random", random},
        {"reverse", reverse},
        {"sort", sort},
        {"groupby", groupby},
        {"slice", slice},
        {"map", map},
        {"select", select},
        {"reject", reject},
        {"selectattr", selectattr},
        {"rejectattr", rejectattr},
        {"attr", attr},
        {"dictsort", dictsort},
        {"forceescape", forceescape},
        {"safe", safe},
        {"striptags", striptags},
        {"format", format},
        {"wordwrap", wordwrap},
        {"filesizeformat", filesizeformat},
        {"xmlattr", xmlattr},
        {"string", string},
        {"trim", trim},
        {"escape", escape},
        {"e", escape},
        {"tojson", tojson},
        {"abs", abs},
        {"capitalize", capitalize},
        {"center", center},
        {"float", float_},
        {"int", int_},
        {"list", list},
        {"max", max},
        {"min", min},
        {"round", round},
        {"title", title},
        {"wordcount", wordcount},
        {"replace", replace},
        {"urlencode", urlencode},
        {"batch", batch},
        {"sum", sum},
        {"truncate", truncate},
        {"unique", unique},
        {"indent", indent},
        {"items", items},
        {"pprint", pprint},
        {"urlize", urlize},
    };
    return table;
}

Value upper(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::upper(FilterCall::of(args, kwargs, env));
}
Value lower(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::lower(FilterCall::of(args, kwargs, env));
}
Value length(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::length(FilterCall::of(args, kwargs, env));
}
Value join(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::join(FilterCall::of(args, kwargs, env));
}
Value default_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::default_(FilterCall::of(args, kwargs, env));
}
Value first(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::first(FilterCall::of(args, kwargs, env));
}
Value last(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::last(FilterCall::of(args, kwargs, env));
}
Value random(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::random(FilterCall::of(args, kwargs, env));
}
Value reverse(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::reverse(FilterCall::of(args, kwargs, env));
}
Value sort(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::sort(FilterCall::of(args, kwargs, env));
}
Value groupby(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::groupby(FilterCall::of(args, kwargs, env));
}
Value slice(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::slice(FilterCall::of(args, kwargs, env));
}
Value map(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::map(FilterCall::of(args, kwargs, env));
}
Value select(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::select(FilterCall::of(args, kwargs, env));
}
Value reject(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::reject(FilterCall::of(args, kwargs, env));
}
Value selectattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::selectattr(FilterCall::of(args, kwargs, env));
}
Value rejectattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::rejectattr(FilterCall::of(args, kwargs, env));
}
Value attr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::attr(FilterCall::of(args, kwargs, env));
}
Value dictsort(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::dictsort(FilterCall::of(args, kwargs, env));
}
Value forceescape(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::forceescape(FilterCall::of(args, kwargs, env));
}
Value safe(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::safe(FilterCall::of(args, kwargs, env));
}
Value striptags(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::striptags(FilterCall::of(args, kwargs, env));
}
Value format(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::format(FilterCall::of(args, kwargs, env));
}
Value wordwrap(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::wordwrap(FilterCall::of(args, kwargs, env));
}
Value filesizeformat(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::filesizeformat(FilterCall::of(args, kwargs, env));
}
Value xmlattr(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::xmlattr(FilterCall::of(args, kwargs, env));
}
Value string(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::string(FilterCall::of(args, kwargs, env));
}
Value trim(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::trim(FilterCall::of(args, kwargs, env));
}
Value escape(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::escape(FilterCall::of(args, kwargs, env));
}
Value tojson(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::tojson(FilterCall::of(args, kwargs, env));
}
Value abs(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::abs(FilterCall::of(args, kwargs, env));
}
Value capitalize(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::capitalize(FilterCall::of(args, kwargs, env));
}
Value center(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::center(FilterCall::of(args, kwargs, env));
}
Value float_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::float_(FilterCall::of(args, kwargs, env));
}
Value int_(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::int_(FilterCall::of(args, kwargs, env));
}
Value list(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::list(FilterCall::of(args, kwargs, env));
}
Value max(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::max(FilterCall::of(args, kwargs, env));
}
Value min(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::min(FilterCall::of(args, kwargs, env));
}
Value round(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::round(FilterCall::of(args, kwargs, env));
}
Value title(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::title(FilterCall::of(args, kwargs, env));
}
Value wordcount(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::wordcount(FilterCall::of(args, kwargs, env));
}
Value replace(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::replace(FilterCall::of(args, kwargs, env));
}
Value urlencode(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::urlencode(FilterCall::of(args, kwargs, env));
}
Value batch(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::batch(FilterCall::of(args, kwargs, env));
}
Value sum(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::sum(FilterCall::of(args, kwargs, env));
}
Value truncate(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::truncate(FilterCall::of(args, kwargs, env));
}
Value unique(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::unique(FilterCall::of(args, kwargs, env));
}
Value indent(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::indent(FilterCall::of(args, kwargs, env));
}
Value items(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::items(FilterCall::of(args, kwargs, env));
}
Value pprint(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::pprint(FilterCall::of(args, kwargs, env));
}
Value urlize(const Args& args, const KeywordArguments& kwargs, const EnvironmentPtr& env) {
    return calls::urlize(FilterCall::of(args, kwargs, env));
}

}  // namespace jinja::Filters
