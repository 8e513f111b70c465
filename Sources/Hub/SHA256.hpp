#pragma once
// A running SHA-256 digest (OpenSSL libcrypto), fed piece by piece so a file of any size is hashed
// without holding it.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace hub {

class SHA256 {
public:
    SHA256();
    ~SHA256();
    SHA256(const SHA256&) = delete;
    SHA256& operator=(const SHA256&) = delete;

    void update(std::string_view bytes);
    void update(const void* bytes, size_t count);
    // Starts over, as if nothing had been fed.
    void reset();
    // The digest of everything fed, as 64 lowercase hex digits; the value may not be fed afterwards.
    std::string hexDigest();

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace hub
