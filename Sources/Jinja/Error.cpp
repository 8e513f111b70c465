#include "Jinja/Error.hpp"

#include "Platform/Foundation/Text.hpp"

namespace jinja {

namespace {
const char* caseName(JinjaError::Case kind) {
    switch (kind) {
        case JinjaError::Case::lexer: return "lexer";
        case JinjaError::Case::parser: return "parser";
        case JinjaError::Case::runtime: return "runtime";
        case JinjaError::Case::syntax: return "syntax";
    }
    return "runtime";
}

const char* prefix(JinjaError::Case kind) {
    switch (kind) {
        case JinjaError::Case::lexer: return "Lexer error: ";
        case JinjaError::Case::parser: return "Parser error: ";
        case JinjaError::Case::runtime: return "Runtime error: ";
        case JinjaError::Case::syntax: return "Syntax error: ";
    }
    return "";
}
}  // namespace

JinjaError::JinjaError(Case kind, std::string message) : kind_(kind), message_(std::move(message)) {
    setWhat(errorDescription());
}

std::string JinjaError::errorDescription() const { return prefix(kind_) + message_; }

std::string JinjaError::describe() const { return foundation::describeCase(caseName(kind_), message_); }

TemplateException::TemplateException(std::optional<std::string> message) : message_(std::move(message)) {
    setWhat(message_ ? *message_ : "TemplateException");
}

std::string TemplateException::localizedDescription() const {
    return message_ ? *message_ : "TemplateException(message: nil)";
}

std::string TemplateException::describe() const {
    return "TemplateException(message: " + (message_ ? foundation::debugQuoted(*message_) : std::string("nil")) + ")";
}

ControlFlow::ControlFlow(Case kind) : kind_(kind) { setWhat(describe()); }

std::string ControlFlow::localizedDescription() const { return describe(); }

std::string ControlFlow::describe() const { return kind_ == Case::break_ ? "break" : "continue"; }

EncodingError::EncodingError(Case kind, std::vector<std::string> codingPath, std::string debugDescription)
    : kind_(kind), codingPath_(std::move(codingPath)), debugDescription_(std::move(debugDescription)) {
    setWhat(describe());
}

std::string EncodingError::localizedDescription() const { return debugDescription_; }

std::string EncodingError::describe() const {
    (void)kind_;
    return "invalidValue(codingPath: [" + foundation::text::joined(codingPath_, ".") + "], " +
           foundation::debugQuoted(debugDescription_) + ")";
}

}  // namespace jinja
