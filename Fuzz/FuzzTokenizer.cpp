// Tokenizer definitions: tokenizer_config.json and tokenizer.json build a tokenizer (any class the
// configuration names), which then encodes and decodes a text.
// Input: tokenizer_config.json, 0x1E, tokenizer.json, 0x1E, text.
#include "FuzzSupport.hpp"
#include "Hub/YYJSONParser.hpp"
#include "Tokenizers/Tokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto parts = fuzz::splitParts(data, size, 3);
    try {
        auto config = hub::YYJSONParser::parseToConfig(parts[0]);
        auto definition = hub::YYJSONParser::parseToConfig(parts[1]);
        auto tokenizer = tokenizers::AutoTokenizer::from(config, definition, false);
        auto ids = tokenizer->encode(parts[2]);
        (void)tokenizer->decode(ids);
        (void)tokenizer->decode(ids, true);
    } catch (const foundation::Error&) {
    }
    return 0;
}
