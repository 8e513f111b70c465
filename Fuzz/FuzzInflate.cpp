// Raw inflate over any bytes; deflate then inflate gives the input back.
#include <cstdlib>

#include "Platform/Foundation/Compression.hpp"
#include "Platform/Foundation/Error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        (void)foundation::inflateRaw(bytes);
    } catch (const foundation::RuntimeError&) {
    }
    if (foundation::inflateRaw(foundation::deflateRaw(bytes)) != bytes) std::abort();
    return 0;
}
