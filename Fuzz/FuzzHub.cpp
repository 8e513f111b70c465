// The hub client's readers: configuration JSON (config.json, tokenizer files) and file listings.
#include "Hub/HubApi.hpp"
#include "Hub/YYJSONParser.hpp"
#include "Platform/Foundation/JSON.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        auto config = hub::YYJSONParser::parseToConfig(text);
        (void)config.description();
    } catch (const foundation::Error&) {
    }
    try {
        auto document = foundation::JSONDocument::parse(text);
        (void)hub::HubApi::SiblingsResponse::decode(document.root());
    } catch (const foundation::Error&) {
    }
    return 0;
}
