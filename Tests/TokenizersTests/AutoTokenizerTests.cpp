#include <gtest/gtest.h>

#include <filesystem>

#include "Hub/Hub.hpp"
#include "HubServer/HubServer.hpp"
#include "ModelTestSupport.hpp"
#include "Tokenizers/BPETokenizer.hpp"
#include "Tokenizers/Tokenizer.hpp"
#include "Tokenizers/UnigramTokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::byteLevelDefinition;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

// A SentencePiece-style BPE as Llama tokenizers ship it: a normalizer that prepends U+2581 and replaces
// spaces, no pre-tokenizer, and a post-processor of another type than a template.
const char* llamaDefinition = R"({
    "added_tokens": [{"id": 0, "content": "<unk>", "special": true}, {"id": 1, "content": "<s>", "special": true},
                     {"id": 2, "content": "</s>", "special": true}],
    "normalizer": {"type": "Sequence", "normalizers": [{"type": "Prepend", "prepend": "▁"},
                   {"type": "Replace", "pattern": {"String": " "}, "content": "▁"}]},
    "pre_tokenizer": null,
    "post_processor": {"type": "ByteLevel"},
    "decoder": {"type": "Sequence", "decoders": [{"type": "Replace", "pattern": {"String": "▁"}, "content": " "},
                {"type": "Fuse"}, {"type": "Strip", "content": " ", "start": 1, "stop": 0}]},
    "model": {"type": "BPE", "vocab": {"<unk>": 0, "<s>": 1, "</s>": 2, "▁": 3, "a": 4, "b": 5, "▁a": 6, "▁b": 7,
                                       "ab": 8},
              "merges": ["▁ a", "▁ b", "a b"]}})";

std::shared_ptr<Tokenizer> llama(std::string_view configExtras) {
    return AutoTokenizer::from(json(R"({"tokenizer_class": "LlamaTokenizerFast", "bos_token": "<s>",
                                        "eos_token": "</s>", "unk_token": "<unk>")" +
                                    std::string(configExtras) + "}"),
                               json(llamaDefinition), true);
}

hub::Config section(const std::optional<hub::Config>& config) { return config.value_or(hub::Config()); }

}  // namespace

TEST(AutoTokenizer, ChoosesTheClass) {
    std::string data = byteLevelDefinition();
    auto fast = AutoTokenizer::from(json(R"({"tokenizer_class": "LlamaTokenizerFast"})"), json(data), true);
    auto* llamaTokenizer = dynamic_cast<LlamaPreTrainedTokenizer*>(fast.get());
    ASSERT_NE(llamaTokenizer, nullptr);
    EXPECT_TRUE(llamaTokenizer->isLegacy());
    EXPECT_NE(dynamic_cast<const BPETokenizer*>(&llamaTokenizer->model()), nullptr);

    auto t5 = AutoTokenizer::from(json(R"({"tokenizer_class": "T5Tokenizer"})"),
                                  json(R"({"model": {"vocab": [["<unk>", 0]], "unk_id": 0}})"), true);
    ASSERT_EQ(typeid(*t5), typeid(PreTrainedTokenizer));
    EXPECT_NE(dynamic_cast<const T5Tokenizer*>(&static_cast<PreTrainedTokenizer&>(*t5).model()), nullptr);

    auto gpt2 = AutoTokenizer::from(json(R"({"tokenizer_class": "GPT2Tokenizer"})"), json(data), true);
    EXPECT_EQ(typeid(*gpt2), typeid(PreTrainedTokenizer));
    EXPECT_EQ(gpt2->decode(gpt2->encode("Привет 👋")), "Привет 👋");

    try {
        AutoTokenizer::from(json("{}"), json(data), true);
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error, TokenizerError::missingTokenizerClassInConfig());
    }
}

TEST(AutoTokenizer, LlamaLegacyAndNot) {
    auto legacy = llama("");
    EXPECT_EQ(legacy->tokenize("a b"), (Tokens{"▁a", "▁b"}));
    // Legacy keeps the data's stages: the byte-level post-processor adds nothing.
    EXPECT_EQ(legacy->encode("a"), (std::vector<int64_t>{6}));

    auto modern = llama(R"(, "legacy": false, "add_bos_token": true)");
    // The normalizer is gone and a Metaspace pre-tokenizer ("first") took its place; a U+2581 in the text is
    // a space, and a lone U+2581 before a special token is dropped.
    EXPECT_EQ(modern->tokenize("a b"), (Tokens{"▁a", "▁b"}));
    EXPECT_EQ(modern->tokenize("a▁b"), (Tokens{"▁a", "▁b"}));
    EXPECT_EQ(modern->tokenize("<s>ab"), (Tokens{"<s>", "ab"}));
    EXPECT_EQ(modern->encode("a"), (std::vector<int64_t>{1, 6}));
    EXPECT_EQ(modern->encode("a", false), (std::vector<int64_t>{6}));
    EXPECT_EQ(modern->decode(modern->encode("a b"), true), "a b");
}

TEST(AutoTokenizer, LlamaPostProcessorUpdate) {
    auto update = [](std::string_view config, std::optional<std::string_view> processor) {
        return maybeUpdatePostProcessor(json(config), processor ? std::optional(json(*processor)) : std::nullopt);
    };
    // A template processor stays, whatever the flags say.
    EXPECT_FALSE(update(R"({"add_bos_token": true})",
                        std::string_view(R"({"type": "TemplateProcessing", "single": [], "pair": []})")));

    std::optional<hub::Config> both =
        update(R"({"add_bos_token": true, "add_eos_token": "true", "bos_token": {"content": "<s>"},
                   "eos_token": "</s>"})",
               std::string_view(R"({"type": "ByteLevel"})"));
    ASSERT_TRUE(both);
    EXPECT_EQ(section(both), json(R"({"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                   {"SpecialToken": {"id": "</s>", "type_id": 0}}],
        "pair": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                 {"SpecialToken": {"id": "</s>", "type_id": 0}}, {"SpecialToken": {"id": "<s>", "type_id": 1}},
                 {"Sequence": {"id": "B", "type_id": 1}}, {"SpecialToken": {"id": "</s>", "type_id": 1}}]})"));
    EXPECT_EQ(section(update("{}", std::nullopt)), json(R"({"type": "TemplateProcessing",
        "single": [{"Sequence": {"id": "A", "type_id": 0}}],
        "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}]})"));

    struct Mismatch {
        std::string config;
        std::string message;
    };
    for (const auto& c : std::vector<Mismatch>{
             {R"({"add_bos_token": true, "bos_token": null})", "add_bos_token is True but bos_token is nil"},
             {R"({"add_bos_token": true, "add_eos_token": true})", "add_bos_token is True but bos_token is nil"},
             {R"({"add_eos_token": true, "bos_token": "<s>"})", "add_eos_token is True but eos_token is nil"}}) {
        try {
            update(c.config, std::nullopt);
            ADD_FAILURE() << c.config;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error, TokenizerError::mismatchedConfig(c.message));
        }
    }
    // The same refusal ends a Llama tokenizer's construction.
    EXPECT_THROW(llama(R"(, "add_eos_token": true, "eos_token": null)"), TokenizerError);
}

// --- Loading from a folder and from a repository of the (loopback) hosting service.

namespace {

const char* llamaConfig = R"({"tokenizer_class": "LlamaTokenizerFast", "bos_token": "<s>", "eos_token": "</s>",
                              "unk_token": "<unk>", "legacy": false})";

}  // namespace

TEST(AutoTokenizer, FromModelFolder) {
    hubtest::TemporaryFolder folder;
    folder.write("tokenizer.json", llamaDefinition);
    folder.write("tokenizer_config.json", llamaConfig);
    folder.write("chat_template.jinja", "{{ messages[0].content }} b");
    hub::HubApi api({.downloadBase = folder.path() / "cache", .useOfflineMode = true});
    std::shared_ptr<Tokenizer> tokenizer = AutoTokenizer::fromModelFolder(folder.path(), api, true);
    // The class table is not consulted here: no Llama behaviour, whatever the class name.
    ASSERT_EQ(typeid(*tokenizer), typeid(PreTrainedTokenizer));
    EXPECT_TRUE(tokenizer->hasChatTemplate());
    Message message{{"role", std::string("user")}, {"content", std::string("a")}};
    EXPECT_EQ(tokenizer->applyChatTemplate({message}), (std::vector<int64_t>{6, 7}));

    hubtest::TemporaryFolder bare;
    bare.write("tokenizer.json", llamaDefinition);
    try {
        AutoTokenizer::fromModelFolder(bare.path(), api, true);
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error, TokenizerError::missingConfig());
    }
    // The loader's own errors pass through.
    hubtest::TemporaryFolder empty;
    EXPECT_THROW(AutoTokenizer::fromModelFolder(empty.path(), api, true), hub::Hub::HubClientError);
}

TEST(AutoTokenizer, FromRepository) {
    hubtest::TemporaryFolder repositories;
    repositories.write("owner/llama/tokenizer.json", llamaDefinition);
    repositories.write("owner/llama/tokenizer_config.json", llamaConfig);
    // A model whose tokenizer configuration names no class: its model type names it.
    repositories.write("owner/whisper/tokenizer.json", byteLevelDefinition({{"h", "i"}}));
    repositories.write("owner/whisper/tokenizer_config.json", R"({"clean_up_tokenization_spaces": false})");
    repositories.write("owner/whisper/config.json", R"({"model_type": "whisper"})");
    repositories.write("owner/untokenized/tokenizer.json", byteLevelDefinition());
    hubtest::HubServer server({.root = repositories.path()});
    hubtest::TemporaryFolder downloads;
    hub::HubApi api({.downloadBase = downloads.path(), .endpoint = server.baseURL(), .useOfflineMode = false});

    std::shared_ptr<Tokenizer> llamaTokenizer = AutoTokenizer::from(std::string("owner/llama"), api, true);
    ASSERT_NE(dynamic_cast<LlamaPreTrainedTokenizer*>(llamaTokenizer.get()), nullptr);
    EXPECT_EQ(llamaTokenizer->decode(llamaTokenizer->encode("a b ab"), true), "a b ab");
    EXPECT_TRUE(std::filesystem::exists(downloads.path() / "models" / "owner" / "llama" / "tokenizer.json"));

    std::shared_ptr<Tokenizer> whisper = AutoTokenizer::from(std::string("owner/whisper"), api, true);
    EXPECT_EQ(whisper->tokenize("hi hi"), (Tokens{"hi", "\u0120", "hi"}));
    EXPECT_EQ(whisper->decode(whisper->encode("Привет, hi!")), "Привет, hi!");

    try {
        AutoTokenizer::from(std::string("owner/untokenized"), api, true);
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error, TokenizerError::missingConfig());
    }
    try {
        AutoTokenizer::from(std::string("owner/absent"), api, true);
        FAIL();
    } catch (const TokenizerError& error) {
        FAIL() << "the hub client's error should pass through, not " << error.describe();
    } catch (const foundation::Error&) {
    }
}
