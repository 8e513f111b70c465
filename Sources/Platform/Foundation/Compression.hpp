#pragma once
#include <string>
#include <string_view>

namespace foundation {

// The platform's "zlib" compression: a raw DEFLATE stream (no header, no checksum), level 5.
std::string deflateRaw(std::string_view data);
// The inverse, for tests and tools; throws foundation::RuntimeError on a corrupt stream.
std::string inflateRaw(std::string_view data);

}  // namespace foundation
