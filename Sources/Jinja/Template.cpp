#include "Jinja/Template.hpp"

#include <algorithm>

#include "Jinja/Interpreter.hpp"
#include "Jinja/Lexer.hpp"
#include "Jinja/Parser.hpp"
#include "Jinja/Program.hpp"
#include "Platform/Foundation/Text.hpp"

namespace jinja {

namespace {

// Removes leading spaces and tabs of every line that then starts with "{%" or "{#". Lines end at any
// newline scalar; a carriage return followed by a line feed is one line end, and every line end is
// kept exactly as written.
std::string stripBlockIndentation(std::string_view text) {
    std::u32string scalars = foundation::text::toScalars(text);
    std::u32string out;
    out.reserve(scalars.size());
    size_t i = 0;
    while (i <= scalars.size()) {
        size_t end = i;
        while (end < scalars.size() && !foundation::text::isNewline(scalars[end])) ++end;
        size_t indent = i;
        while (indent < end && (scalars[indent] == U' ' || scalars[indent] == U'\t')) ++indent;
        bool blockTag = indent + 2 <= end && scalars[indent] == U'{' &&
                        (scalars[indent + 1] == U'%' || scalars[indent + 1] == U'#');
        out.append(scalars, blockTag ? indent : i, end - (blockTag ? indent : i));
        if (end >= scalars.size()) break;
        size_t separatorLength = scalars[end] == U'\r' && end + 1 < scalars.size() && scalars[end + 1] == U'\n' ? 2 : 1;
        out.append(scalars, end, separatorLength);
        i = end + separatorLength;
    }
    return foundation::text::fromScalars(out);
}

std::string removeAll(std::string text, std::string_view pattern, std::string_view replacement) {
    return foundation::text::replacingAll(text, pattern, replacement);
}

}  // namespace

std::string Template::applyOptions(std::string_view text, Options options) {
    std::string result(text);
    if (options.lstripBlocks) result = stripBlockIndentation(result);
    if (options.trimBlocks) {
        result = removeAll(std::move(result), "%}\n", "%}");
        result = removeAll(std::move(result), "#}\n", "#}");
    }
    return result;
}

Template::Template(std::string_view text) : Template(text, Options()) {}

Template::Template(std::string_view text, Options options)
    : nodes_(Parser::parse(Lexer::tokenize(applyOptions(text, options)))), program_(std::make_shared<const Program>(nodes_)) {}

std::string Template::render(const Context& context, const EnvironmentPtr& environment) const {
    // The render's root scope holds the context under the globals; an environment passed in receives
    // the context first and lends its variables.
    EnvironmentPtr root;
    if (environment) {
        for (const auto& [name, value] : context) environment->variables.set(name, value);
        root = Environment::make(nullptr, environment->variables);
    } else {
        root = Environment::make(nullptr, Environment::Variables(context));
    }
    std::string output;
    output.reserve(std::max<size_t>(1024, program_->outputHint()));
    Interpreter::interpret(*program_, root, output);
    program_->noteOutputSize(output.size());
    return output;
}

size_t Template::hash() const {
    size_t seed = 0;
    hashCombine(seed, nodes_.size());
    for (const auto& node : nodes_) hashCombine(seed, node.hash());
    return seed;
}

}  // namespace jinja
