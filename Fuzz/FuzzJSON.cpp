// The JSON reader over any bytes, and the writer's raw path: whatever it accepts must read back.
#include <cstdlib>

#include "Platform/Foundation/JSON.hpp"

namespace {

using foundation::JSONValue;

void walk(const JSONValue& v, int depth) {
    if (depth > 64) return;
    switch (v.type()) {
        case foundation::JSONType::null:
        case foundation::JSONType::boolean: break;
        case foundation::JSONType::integer:
        case foundation::JSONType::number:
            (void)v.asDouble();
            try {
                (void)v.asInt64();
            } catch (const foundation::JSONError&) {
            }
            try {
                (void)v.asUInt64();
            } catch (const foundation::JSONError&) {
            }
            break;
        case foundation::JSONType::string: (void)v.asStringView(); break;
        case foundation::JSONType::array:
            for (const auto& item : v.items()) walk(item, depth + 1);
            if (v.size() > 0) (void)v[v.size() - 1];
            break;
        case foundation::JSONType::object:
            for (const auto& [key, item] : v.members()) {
                walk(item, depth + 1);
                if (!v.member(key).exists()) std::abort();
            }
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        (void)foundation::JSONDocument::parse(text, {.allowInfAndNaN = true});
    } catch (const foundation::JSONError&) {
    }
    try {
        walk(foundation::JSONDocument::parse(text).root(), 0);
    } catch (const foundation::JSONError&) {
    }
    // Whatever the writer takes as a raw fragment must come out as JSON its own reader accepts.
    for (bool pretty : {false, true}) {
        std::string written;
        try {
            foundation::JSONWriter writer(foundation::JSONWriter::Options{.pretty = pretty});
            writer.raw(text);
            written = writer.str();
        } catch (const foundation::JSONError&) {
            continue;
        }
        try {
            (void)foundation::JSONDocument::parse(written);
        } catch (const foundation::JSONError&) {
            std::abort();
        }
    }
    return 0;
}
