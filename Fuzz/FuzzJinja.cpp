// The template engine: a template (with its line options) rendered against a JSON context.
// Input: options byte, template, 0x1E, context JSON object.
#include "FuzzSupport.hpp"
#include "Jinja/Error.hpp"
#include "Jinja/Template.hpp"
#include "Platform/Foundation/JSON.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    jinja::Template::Options options{.lstripBlocks = (data[0] & 1) != 0, .trimBlocks = (data[0] & 2) != 0};
    auto parts = fuzz::splitParts(data + 1, size - 1, 2);
    jinja::Template::Context context;
    if (!parts[1].empty()) {
        try {
            auto document = foundation::JSONDocument::parse(parts[1]);
            if (document.root().isObject())
                for (const auto& [key, value] : document.root().members()) context.set(key, jinja::Value::decode(value));
        } catch (const foundation::Error&) {
        }
    }
    try {
        jinja::Template compiled(parts[0], options);
        (void)compiled.render(context);
    } catch (const foundation::Error&) {
        // JinjaError, TemplateException, ControlFlow and the writer's errors: all reported, none fatal.
    }
    return 0;
}
