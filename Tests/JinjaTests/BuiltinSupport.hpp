#pragma once
// Rendering helpers for the built-in tests: a context written as JSON (object keys kept in order) and
// a render that reports failures as text, so a table row can expect either output or an error.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "Jinja/Error.hpp"
#include "Jinja/Template.hpp"
#include "Jinja/Value.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace jinja::testing {

inline Value valueFromJSON(const foundation::JSONValue& json) {
    switch (json.type()) {
        case foundation::JSONType::null: return Value::null();
        case foundation::JSONType::boolean: return Value(json.asBool());
        case foundation::JSONType::integer: return Value(static_cast<long long>(json.asInt64()));
        case foundation::JSONType::number: return Value(json.asDouble());
        case foundation::JSONType::string: return Value(json.asString());
        case foundation::JSONType::array: {
            ValueArray items;
            for (const auto& item : json.items()) items.push_back(valueFromJSON(item));
            return Value(std::move(items));
        }
        case foundation::JSONType::object: {
            ValueObject object;
            for (const auto& [key, member] : json.members()) object.set(key, valueFromJSON(member));
            return Value(std::move(object));
        }
    }
    return Value::undefined();
}

inline Value json(std::string_view text) { return valueFromJSON(foundation::JSONDocument::parse(text).root()); }

inline Template::Context context(std::string_view jsonObject) {
    Template::Context result;
    Value object = json(jsonObject);
    for (const auto& [key, value] : object.asObject()) result.set(key, value);
    return result;
}

// The output, or "error: " + the runtime message, or "exception: " + the raised message.
inline std::string render(std::string_view source, std::string_view contextJSON = "{}") {
    try {
        return Template(source).render(context(contextJSON));
    } catch (const JinjaError& error) {
        return "error: " + error.message();
    } catch (const TemplateException& exception) {
        return "exception: " + exception.message().value_or("nil");
    }
}

struct GoldenCase {
    const char* source;
    const char* context;
    const char* expected;
};

inline void expectGolden(const std::vector<GoldenCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(render(c.source, c.context), c.expected) << "template: " << c.source << "\ncontext: " << c.context;
    }
}

}  // namespace jinja::testing
