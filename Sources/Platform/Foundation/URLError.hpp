#pragma once
// The platform's URL-loading error: a code in the platform's own numbering and the URL that failed.
#include <string>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

class URLError : public Error {
public:
    enum class Code : int {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        httpTooManyRedirects = -1007,
        resourceUnavailable = -1008,
        notConnectedToInternet = -1009,
        badServerResponse = -1011,
        cannotDecodeContentData = -1016,
        cannotParseResponse = -1017,
        dataLengthExceedsMaximum = -1103,
        secureConnectionFailed = -1200,
        serverCertificateUntrusted = -1202,
        cannotWriteToFile = -3003,
    };

    explicit URLError(Code code, std::string failingURL = {});

    Code code() const { return code_; }
    const std::string& failingURL() const { return failingURL_; }
    std::string localizedDescription() const override;
    // `timedOut("The request timed out.")`
    std::string describe() const override;

private:
    Code code_;
    std::string failingURL_;
};

}  // namespace foundation
