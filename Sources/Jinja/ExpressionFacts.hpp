#pragma once
// What rendering needs to know of an expression beyond its payload, worked out once when the
// expression is built (expressions never change afterwards, so the facts hold for every render).
#include <cstdint>
#include <string>
#include <string_view>

#include "Jinja/AST.hpp"
#include "Jinja/BuiltinCalls.hpp"
#include "Jinja/Value.hpp"

namespace jinja {

struct Expression::Facts {
    // How evaluation starts, chosen when the expression is built.
    enum class Shape : uint8_t {
        literal,     // facts.constant
        name,        // a variable: name, nameHash
        nameMember,  // `name.key` or `name['key']` with a literal key: name, nameHash, key
        // The compound shapes below have only literals, names and literal-key entries as operands
        // and run no template code.
        arithmetic,  // a binary operator other than and, or, ==, !=, + and ~
        choice,      // `a if test else b`, the test running no template code
        textPart,    // `operand | filter` without arguments, for a built-in filter that may give a part
                     // of its string input (trim, string)
        other        // by the payload's case
    };
    Shape shape = Shape::other;
    bool literal = false;        // a string, number, integer, boolean or null literal
    bool asciiText = false;      // a string literal of ASCII text only
    bool yieldsBoolean = false;  // always a boolean: a comparison, a test or `not`
    bool keyIsMethod = false;    // nameMember: `name.items` and the other object methods
    bool keyIsASCII = false;     // nameMember: the key is ASCII text
    bool computedKey = false;    // nameMember: `name['key']`
    // `a == b` or `a != b` (binary) where b is a literal, or where both sides are always booleans.
    enum class Comparison : uint8_t { none, withLiteral, ofBooleans };
    Comparison comparison = Comparison::none;
    const std::string* name = nullptr;  // name, nameMember: the variable
    std::string_view key;               // nameMember: the key
    Value constant;                                // the value of a string, number, integer, boolean or null literal
    uint32_t nameHash = 0;                         // identifier, filter and test names (ScopeVariables::hashName)
    bool runsNoCode = false;                       // no call, filter or test anywhere inside: evaluating it
                                                   // cannot change a scope
    const Filters::FilterEntry* filter = nullptr;  // the built-in filter a filter expression names, if any
    Tests::TestBody test = nullptr;                // the built-in test a test expression names, if any
    int8_t loopMember = -1;                        // `x.name` where name is a member of the loop object:
                                                   // its Environment::LoopPosition::Member
};

}  // namespace jinja
