#include "Hub/YYJSONParser.hpp"

#include <yyjson.h>

#include <memory>

namespace hub::YYJSONParser {

ParseError::ParseError(Case errorCase, uint32_t code, std::string message, int64_t position)
    : case_(errorCase), code_(code), message_(std::move(message)), position_(position) {
    setWhat(describe());
}

ParseError ParseError::readFailed(uint32_t code, std::string message, int64_t position) {
    return ParseError(Case::readFailed, code, std::move(message), position);
}

ParseError ParseError::nullDocument() { return ParseError(Case::nullDocument, 0, "", 0); }

std::string ParseError::localizedDescription() const {
    if (case_ == Case::nullDocument) return "yyjson returned null document";
    return "yyjson read failed (code " + std::to_string(code_) + ") at position " + std::to_string(position_) +
           ": " + message_;
}

std::string ParseError::describe() const {
    if (case_ == Case::nullDocument) return "nullDocument";
    return "readFailed(code: " + std::to_string(code_) + ", message: " + foundation::debugQuoted(message_) +
           ", position: " + std::to_string(position_) + ")";
}

Config parseToConfig(std::string_view data) {
    if (data.empty()) throw ParseError::readFailed(0, "empty data", 0);
    yyjson_read_err error{};
    // The reader does not change the input without YYJSON_READ_INSITU.
    yyjson_doc* doc = yyjson_read_opts(const_cast<char*>(data.data()), data.size(), YYJSON_READ_ALLOW_INF_AND_NAN,
                                       nullptr, &error);
    if (doc == nullptr) {
        throw ParseError::readFailed(error.code, error.msg != nullptr ? error.msg : "unknown error",
                                     static_cast<int64_t>(error.pos));
    }
    std::unique_ptr<yyjson_doc, void (*)(yyjson_doc*)> owner(doc, yyjson_doc_free);
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (root == nullptr) throw ParseError::nullDocument();
    return Config(foundation::JSONValue(root));
}

}  // namespace hub::YYJSONParser
