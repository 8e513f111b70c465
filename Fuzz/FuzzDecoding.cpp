// The engine's decoders of stored records: decoding options and the result types, each tried on the
// same JSON document. Each either decodes or throws its decoding error.
#include <cstdlib>

#include "Lexiphonic/Core/DecodingOptions.hpp"
#include "Lexiphonic/Core/Models/ModelSupport.hpp"
#include "Lexiphonic/Core/Models/TranscriptionResult.hpp"
#include "Lexiphonic/Core/Models/TranscriptionTimings.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace {

template <class Decode>
void attempt(Decode decode) {
    try {
        decode();
    } catch (const foundation::Error&) {
    } catch (const std::exception&) {
        std::abort();  // anything but a decoding error is a fault of the decoder
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    foundation::JSONDocument document;
    try {
        document = foundation::JSONDocument::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const foundation::JSONError&) {
        return 0;
    }
    const auto root = document.root();
    using namespace lexiphonic;
    attempt([&] { (void)DecodingOptions::decode(root); });
    attempt([&] { (void)TranscriptionResult::decode(root); });
    attempt([&] { (void)TranscriptionResultStruct::decode(root); });
    attempt([&] { (void)TranscriptionSegment::decode(root); });
    attempt([&] { (void)WordTiming::decode(root); });
    attempt([&] { (void)TranscriptionTimings::decode(root); });
    attempt([&] { (void)ModelSupportConfig::decode(root); });
    return 0;
}
