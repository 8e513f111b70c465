#include "Jinja/Filters.hpp"

#include "Jinja/Error.hpp"
#include "Jinja/Utilities.hpp"

namespace jinja::Filters {

Value upper(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("upper filter is not available yet"); }
Value lower(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("lower filter is not available yet"); }
Value length(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("length filter is not available yet"); }
Value join(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("join filter is not available yet"); }
Value default_(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("default_ filter is not available yet"); }
Value first(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("first filter is not available yet"); }
Value last(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("last filter is not available yet"); }
Value random(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("random filter is not available yet"); }
Value reverse(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("reverse filter is not available yet"); }
Value sort(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("sort filter is not available yet"); }
Value groupby(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("groupby filter is not available yet"); }
Value slice(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("slice filter is not available yet"); }
Value map(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("map filter is not available yet"); }
Value select(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("select filter is not available yet"); }
Value reject(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("reject filter is not available yet"); }
Value selectattr(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("selectattr filter is not available yet"); }
Value rejectattr(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("rejectattr filter is not available yet"); }
Value attr(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("attr filter is not available yet"); }
Value dictsort(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("dictsort filter is not available yet"); }
Value forceescape(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("forceescape filter is not available yet"); }
Value safe(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("safe filter is not available yet"); }
Value striptags(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("striptags filter is not available yet"); }
Value format(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("format filter is not available yet"); }
Value wordwrap(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("wordwrap filter is not available yet"); }
Value filesizeformat(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("filesizeformat filter is not available yet"); }
Value xmlattr(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("xmlattr filter is not available yet"); }
Value string(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("string filter is not available yet"); }
Value trim(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("trim filter is not available yet"); }
Value escape(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("escape filter is not available yet"); }
Value tojson(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("tojson filter is not available yet"); }
Value abs(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("abs filter is not available yet"); }
Value capitalize(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("capitalize filter is not available yet"); }
Value center(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("center filter is not available yet"); }
Value float_(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("float_ filter is not available yet"); }
Value int_(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("int_ filter is not available yet"); }
Value list(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("list filter is not available yet"); }
Value max(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("max filter is not available yet"); }
Value min(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("min filter is not available yet"); }
Value round(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("round filter is not available yet"); }
Value title(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("title filter is not available yet"); }
Value wordcount(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("wordcount filter is not available yet"); }
Value replace(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("replace filter is not available yet"); }
Value urlencode(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("urlencode filter is not available yet"); }
Value batch(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("batch filter is not available yet"); }
Value sum(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("sum filter is not available yet"); }
Value truncate(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("truncate filter is not available yet"); }
Value unique(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("unique filter is not available yet"); }
Value indent(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("indent filter is not available yet"); }
Value items(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("items filter is not available yet"); }
Value pprint(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("pprint filter is not available yet"); }
Value urlize(const std::vector<Value>&, const KeywordArguments&, const EnvironmentPtr&) { throw JinjaError::runtime("urlize filter is not available yet"); }

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

}  // namespace jinja::Filters
