#pragma once
// The common base of every error the system throws.
#include <exception>
#include <string>
#include <string_view>

namespace foundation {

class Error : public std::exception {
public:
    // What a user is shown (the per-case message).
    virtual std::string localizedDescription() const = 0;
    // The default textual form: `caseName("payload")`, `caseName(404)` or `caseName`.
    virtual std::string describe() const = 0;
    // Set once by the derived constructor to describe(); what() never computes anything.
    const char* what() const noexcept override { return what_.c_str(); }

protected:
    void setWhat(std::string text) { what_ = std::move(text); }

private:
    std::string what_;
};

// A string literal as the platform's debug printing shows it: quoted, with \" \\ \n \r \t \0 escaped
// and other control scalars as \u{X}.
std::string debugQuoted(std::string_view text);
// `name("payload")`.
std::string describeCase(std::string_view name, std::string_view payload);
// `name` for a case without payload.
std::string describeCase(std::string_view name);

// A plain error carrying a message, for failures of the platform layer itself (files, JSON, ...).
class RuntimeError : public Error {
public:
    explicit RuntimeError(std::string message) : message_(std::move(message)) { setWhat(message_); }
    std::string localizedDescription() const override { return message_; }
    std::string describe() const override { return message_; }

private:
    std::string message_;
};

// What a cancelled operation throws when it notices its stop request.
class CancellationError : public Error {
public:
    CancellationError() { setWhat("CancellationError()"); }
    std::string localizedDescription() const override { return "The operation couldn\u2019t be completed. (CancellationError)"; }
    std::string describe() const override { return "CancellationError()"; }
};

}  // namespace foundation
