#pragma once
// A variable scope with a parent chain. Scopes are shared reference objects (EnvironmentPtr).
#include <memory>
#include <string>
#include <string_view>

#include "Jinja/Value.hpp"

namespace jinja {

class Environment : public std::enable_shared_from_this<Environment> {
public:
    using Variables = foundation::OrderedDictionary<Value>;

    // A scope whose variables start as `initial`. A root scope (no parent) then receives every
    // built-in global, replacing an initial entry of the same name.
    explicit Environment(EnvironmentPtr parent = nullptr, Variables initial = {});
    static EnvironmentPtr make(EnvironmentPtr parent = nullptr, Variables initial = {});

    // The own binding, else the parent chain's, else undefined. Never fails.
    Value operator[](std::string_view name) const { return lookup(name); }
    Value lookup(std::string_view name) const;
    // Writes into this scope's own variables.
    void set(std::string name, Value value);
    // Writes into the nearest scope that already holds the name, else into the root scope.
    void setInChain(const std::string& name, Value value);

    const EnvironmentPtr& parent() const { return parent_; }

    Variables variables;
    bool lstripBlocks = false;  // kept for callers; the engine does not consult them
    bool trimBlocks = false;

private:
    EnvironmentPtr parent_;
};

}  // namespace jinja
