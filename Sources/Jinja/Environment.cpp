#include "Jinja/Environment.hpp"

#include "Jinja/Globals.hpp"

namespace jinja {

Environment::Environment(EnvironmentPtr parent, Variables initial)
    : variables(std::move(initial)), parent_(std::move(parent)) {
    if (!parent_)
        for (const auto& [name, value] : Globals::builtIn()) variables.set(name, value);
}

EnvironmentPtr Environment::make(EnvironmentPtr parent, Variables initial) {
    return std::make_shared<Environment>(std::move(parent), std::move(initial));
}

Value Environment::lookup(std::string_view name) const {
    for (const Environment* scope = this; scope; scope = scope->parent_.get())
        if (const Value* value = scope->variables.find(name)) return *value;
    return Value::undefined();
}

void Environment::set(std::string name, Value value) { variables.set(std::move(name), std::move(value)); }

void Environment::setInChain(const std::string& name, Value value) {
    Environment* scope = this;
    while (true) {
        if (scope->variables.contains(name) || !scope->parent_) {
            scope->variables.set(name, std::move(value));
            return;
        }
        scope = scope->parent_.get();
    }
}

}  // namespace jinja
