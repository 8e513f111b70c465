#pragma once
// Compile once, render many times. A compiled template is immutable, so one template may be rendered
// from several threads at once.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Jinja/AST.hpp"
#include "Jinja/Environment.hpp"
#include "Jinja/Value.hpp"

namespace jinja {

class Program;

class Template {
public:
    struct Options {
        bool lstripBlocks = false;  // strip spaces and tabs before a block or comment tag at a line start
        bool trimBlocks = false;    // drop the first line feed after a block or comment tag
        friend bool operator==(const Options&, const Options&) = default;
        size_t hash() const { return (lstripBlocks ? 2u : 0u) | (trimBlocks ? 1u : 0u); }
    };
    using Context = foundation::OrderedDictionary<Value>;

    // Throws the lexer's and the parser's JinjaError.
    explicit Template(std::string_view text);
    Template(std::string_view text, Options options);

    // Renders against the context; an environment passed in receives the context entries.
    // Throws JinjaError, TemplateException or ControlFlow; no partial output is returned.
    std::string render(const Context& context, const EnvironmentPtr& environment = nullptr) const;

    const std::vector<Node>& nodes() const { return nodes_; }

    friend bool operator==(const Template& a, const Template& b) { return a.nodes_ == b.nodes_; }
    size_t hash() const;

    // The line options applied to template text before tokenizing.
    static std::string applyOptions(std::string_view text, Options options);

private:
    std::vector<Node> nodes_;
    std::shared_ptr<const Program> program_;  // the nodes lowered for rendering
};

}  // namespace jinja
