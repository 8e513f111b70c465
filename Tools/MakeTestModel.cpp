// lexiphonic-make-test-model: writes a tiny Whisper model folder with seeded random weights and a
// matching tiny tokenizer.
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: lexiphonic-make-test-model OUTPUT_FOLDER [--d-model N] [--encoder-layers N]\n"
                 "       [--decoder-layers N] [--heads N] [--mels N] [--vocab 51864|51865|51866] [--seed N]\n"
                 "       [--no-alignment-heads] [--no-tokenizer]\n");
}

bool parseInt(std::string_view text, long long& out) {
    auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
    coreml::whisper::TestModelOptions options;
    auto& c = options.config;
    std::string output;
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto number = [&](long long& v) {
            if (i + 1 >= argc || !parseInt(argv[i + 1], v)) {
                std::fprintf(stderr, "%s needs a number\n", argv[i]);
                std::exit(2);
            }
            ++i;
        };
        long long v = 0;
        if (a == "--d-model") { number(v); c.width = static_cast<int>(v); }
        else if (a == "--encoder-layers") { number(v); c.encoderLayers = static_cast<int>(v); }
        else if (a == "--decoder-layers") { number(v); c.decoderLayers = static_cast<int>(v); }
        else if (a == "--heads") { number(v); c.encoderHeads = c.decoderHeads = static_cast<int>(v); }
        else if (a == "--mels") { number(v); c.melCount = static_cast<int>(v); }
        else if (a == "--vocab") { number(v); c.vocabularySize = static_cast<int>(v); }
        else if (a == "--seed") { number(v); options.seed = static_cast<uint64_t>(v); }
        else if (a == "--no-alignment-heads") c.alignmentHeads.clear();
        else if (a == "--no-tokenizer") options.writeTokenizer = false;
        else if (a == "-h" || a == "--help") { usage(); return 0; }
        else if (!a.empty() && a[0] != '-' && output.empty()) output = a;
        else { usage(); return 2; }
    }
    if (output.empty()) {
        usage();
        return 2;
    }
    // Keep the default alignment heads inside a smaller decoder.
    std::erase_if(c.alignmentHeads, [&](auto p) { return p.first >= c.decoderLayers || p.second >= c.decoderHeads; });
    try {
        coreml::whisper::writeTestModel(output, options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lexiphonic-make-test-model: %s\n", e.what());
        return 1;
    }
    std::printf("Wrote a test model (d_model %d, %d+%d layers, %d heads, %d mels, vocabulary %d) to %s\n", c.width,
                c.encoderLayers, c.decoderLayers, c.encoderHeads, c.melCount, c.vocabularySize, output.c_str());
    return 0;
}
