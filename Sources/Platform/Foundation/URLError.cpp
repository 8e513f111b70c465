#include "Platform/Foundation/URLError.hpp"

namespace foundation {

namespace {

struct CodeText {
    URLError::Code code;
    const char* name;
    const char* message;
};

constexpr CodeText texts[] = {
    {URLError::Code::unknown, "unknown", "An unknown error occurred."},
    {URLError::Code::cancelled, "cancelled", "cancelled"},
    {URLError::Code::badURL, "badURL", "unsupported URL"},
    {URLError::Code::timedOut, "timedOut", "The request timed out."},
    {URLError::Code::unsupportedURL, "unsupportedURL", "unsupported URL"},
    {URLError::Code::cannotFindHost, "cannotFindHost", "A server with the specified hostname could not be found."},
    {URLError::Code::cannotConnectToHost, "cannotConnectToHost", "Could not connect to the server."},
    {URLError::Code::networkConnectionLost, "networkConnectionLost", "The network connection was lost."},
    {URLError::Code::httpTooManyRedirects, "httpTooManyRedirects", "too many HTTP redirects"},
    {URLError::Code::resourceUnavailable, "resourceUnavailable", "The requested resource is unavailable."},
    {URLError::Code::notConnectedToInternet, "notConnectedToInternet", "The Internet connection appears to be offline."},
    {URLError::Code::badServerResponse, "badServerResponse", "The server returned a bad response."},
    {URLError::Code::cannotDecodeContentData, "cannotDecodeContentData", "The response could not be decoded."},
    {URLError::Code::cannotParseResponse, "cannotParseResponse", "The response could not be parsed."},
    {URLError::Code::dataLengthExceedsMaximum, "dataLengthExceedsMaximum", "The resource exceeds the maximum size."},
    {URLError::Code::secureConnectionFailed, "secureConnectionFailed",
     "An SSL error has occurred and a secure connection to the server cannot be made."},
    {URLError::Code::serverCertificateUntrusted, "serverCertificateUntrusted",
     "The certificate for this server is invalid."},
    {URLError::Code::cannotWriteToFile, "cannotWriteToFile", "The file could not be written."},
};

const CodeText& textFor(URLError::Code code) {
    for (const CodeText& entry : texts)
        if (entry.code == code) return entry;
    return texts[0];
}

}  // namespace

URLError::URLError(Code code, std::string failingURL) : code_(code), failingURL_(std::move(failingURL)) {
    setWhat(describe());
}

std::string URLError::localizedDescription() const { return textFor(code_).message; }

std::string URLError::describe() const { return describeCase(textFor(code_).name, textFor(code_).message); }

}  // namespace foundation
