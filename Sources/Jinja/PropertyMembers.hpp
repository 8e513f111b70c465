#pragma once
// Member access `value.name` for the two kinds of value that have members: strings (ten methods) and
// objects (four methods, then the entries). Every other value has no members.
#include <string>
#include <string_view>

#include "Jinja/Value.hpp"

namespace jinja::PropertyMembers {

// An object receiver goes to evaluateObjectProperty, a string to evaluateStringProperty; any other
// receiver gives undefined. Never fails.
Value evaluate(const Value& receiver, std::string_view name);
// upper, lower, title, strip, lstrip, rstrip, split, replace, startswith, endswith as bound methods
// (function values holding a copy of the receiver); any other name gives undefined.
Value evaluateStringProperty(const std::string& receiver, std::string_view name);
// items, get, keys and values as bound methods (they hide entries of the same name); any other name
// gives the entry stored under that key, or undefined.
Value evaluateObjectProperty(const ValueObject& receiver, std::string_view name);

}  // namespace jinja::PropertyMembers
