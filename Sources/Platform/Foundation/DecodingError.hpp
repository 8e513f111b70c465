#pragma once
// The decoder's error, shared by every module that reads encoded records: what went wrong, where (the coding
// path, when the reader keeps one) and a description for developers.
#include <string>
#include <vector>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

class DecodingError : public Error {
public:
    enum class Case { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

    // From a reader that keeps no coding path.
    DecodingError(Case kind, std::string debugDescription);
    DecodingError(Case kind, std::vector<std::string> codingPath, std::string debugDescription);

    Case kind() const { return kind_; }
    // Empty when the reader keeps no path.
    const std::vector<std::string>& codingPath() const { return codingPath_; }
    const std::string& debugDescription() const { return debugDescription_; }
    // The decoder's message for users: missing data or data in the wrong format.
    std::string localizedDescription() const override;
    // `kind(codingPath: [a.b], "description")`, or `kind("description")` without a coding path.
    std::string describe() const override;

private:
    Case kind_;
    bool hasCodingPath_;
    std::vector<std::string> codingPath_;
    std::string debugDescription_;
};

}  // namespace foundation
