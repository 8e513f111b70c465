#pragma once
// The errors of the template engine.
#include <optional>
#include <string>
#include <vector>

#include "Platform/Foundation/DecodingError.hpp"
#include "Platform/Foundation/Error.hpp"

namespace jinja {

// Every failure of compiling or rendering; one case per stage, each with a message.
class JinjaError : public foundation::Error {
public:
    enum class Case { lexer, parser, runtime, syntax };

    JinjaError(Case kind, std::string message);

    static JinjaError lexer(std::string message) { return {Case::lexer, std::move(message)}; }
    static JinjaError parser(std::string message) { return {Case::parser, std::move(message)}; }
    static JinjaError runtime(std::string message) { return {Case::runtime, std::move(message)}; }
    static JinjaError syntax(std::string message) { return {Case::syntax, std::move(message)}; }

    Case kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The case's prefix ("Runtime error: ", ...) followed by the message.
    std::string errorDescription() const;

    std::string localizedDescription() const override { return errorDescription(); }
    std::string describe() const override;

    friend bool operator==(const JinjaError& a, const JinjaError& b) {
        return a.kind_ == b.kind_ && a.message_ == b.message_;
    }

private:
    Case kind_;
    std::string message_;
};

// The one message for a 64-bit integer result out of range, whatever produced it.
inline constexpr const char* integerOverflowMessage = "Integer overflow";
// The one message for a string, array or output that would exceed the engine's size limits.
inline constexpr const char* sizeLimitMessage = "Result exceeds the size limit";

// Thrown by the raise_exception global; not a JinjaError and caught nowhere in the engine.
class TemplateException : public foundation::Error {
public:
    explicit TemplateException(std::optional<std::string> message = std::nullopt);
    const std::optional<std::string>& message() const { return message_; }
    std::string localizedDescription() const override;
    std::string describe() const override;

private:
    std::optional<std::string> message_;
};

// break and continue travelling to the innermost for loop being rendered.
class ControlFlow : public foundation::Error {
public:
    enum class Case { break_, continue_ };
    explicit ControlFlow(Case kind);
    Case kind() const { return kind_; }
    std::string localizedDescription() const override;
    std::string describe() const override;
    friend bool operator==(const ControlFlow& a, const ControlFlow& b) { return a.kind_ == b.kind_; }

private:
    Case kind_;
};

// Writing a value or syntax tree in its JSON form failed (e.g. a function value).
class EncodingError : public foundation::Error {
public:
    enum class Case { invalidValue };
    EncodingError(Case kind, std::vector<std::string> codingPath, std::string debugDescription);
    Case kind() const { return kind_; }
    const std::vector<std::string>& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }
    std::string localizedDescription() const override;
    std::string describe() const override;

private:
    Case kind_;
    std::vector<std::string> codingPath_;
    std::string debugDescription_;
};

// Reading a value or syntax tree from its JSON form failed: the decoder's error, with the coding path.
using foundation::DecodingError;

}  // namespace jinja
