#include "Hub/SHA256.hpp"

#include <openssl/evp.h>

#include <new>

namespace hub {

struct SHA256::Context {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(context); }
};

SHA256::SHA256() : context_(std::make_unique<Context>()) {
    if (!context_->context) throw std::bad_alloc();
    reset();
}

SHA256::~SHA256() = default;

void SHA256::reset() { EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr); }

void SHA256::update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

void SHA256::update(const void* bytes, size_t count) {
    if (count > 0) EVP_DigestUpdate(context_->context, bytes, count);
}

std::string SHA256::hexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_->context, digest, &length);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

}  // namespace hub
