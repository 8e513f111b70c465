#include <gtest/gtest.h>

#include "ModelTestSupport.hpp"
#include "Tokenizers/PostProcessor.hpp"
#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::json;
using Tokens = std::vector<std::string>;

namespace {

std::unique_ptr<PostProcessor> build(std::string_view definition) {
    return PostProcessorFactory::fromConfig(json(definition));
}

const std::string templateDefinition = R"({"type": "TemplateProcessing",
    "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
               {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
    "pair": [{"SpecialToken": {"id": "[CLS]"}}, {"Sequence": {"id": "A"}}, {"SpecialToken": {"id": "[SEP]"}},
             {"Sequence": {"id": "B", "type_id": 1}}, {"Sequence": {"id": "C"}}, {"Other": {"id": "x"}},
             {"SpecialToken": {"id": 5}}, {"SpecialToken": {"id": "[SEP]", "type_id": 1}}]})";

const std::string roberta =
    R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})";

}  // namespace

TEST(PostProcessor, MissingOrUntypedSectionsGiveNone) {
    EXPECT_EQ(PostProcessorFactory::fromConfig(std::nullopt), nullptr);
    EXPECT_EQ(PostProcessorFactory::fromConfig(json("null")), nullptr);
    EXPECT_EQ(build(R"({"single": []})"), nullptr);
}

TEST(PostProcessor, RejectedDefinitions) {
    struct Case {
        std::string definition;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"type": "Foo"})", "Unsupported PostProcessor type: Foo"},
             {R"({"type": ""})", "Unsupported PostProcessor type: "},
             {R"({"type": "TemplateProcessing"})", "Missing `single` processor configuration"},
             {R"({"type": "TemplateProcessing", "pair": []})", "Missing `single` processor configuration"},
             {R"({"type": "TemplateProcessing", "single": []})", "Missing `pair` processor configuration"},
             {R"({"type": "BertProcessing"})", "Missing `sep` processor configuration"},
             {R"({"type": "BertProcessing", "sep": [2, "</s>"], "cls": ["<s>", 0]})",
              "Missing `sep` processor configuration"},
             {R"({"type": "RobertaProcessing", "sep": ["</s>", 2]})", "Missing `cls` processor configuration"},
             {R"({"type": "Sequence"})", "Missing `processors` configuration"},
             {R"({"type": "Sequence", "processors": [{"type": "Nope"}]})", "Unsupported PostProcessor type: Nope"},
         }) {
        try {
            build(c.definition);
            ADD_FAILURE() << c.definition;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidDefinition);
            EXPECT_EQ(error.localizedDescription(), c.message);
        }
    }
}

TEST(PostProcessor, Template) {
    auto processor = build(templateDefinition);
    EXPECT_EQ(processor->postProcess({"a", "b"}, std::nullopt, true), (Tokens{"[CLS]", "a", "b", "[SEP]"}));
    EXPECT_EQ(processor->postProcess({"a", "b"}, std::nullopt, false), (Tokens{"a", "b"}));
    // The pair template: unknown sequence ids, unknown items and non-string ids add nothing.
    EXPECT_EQ(processor->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"[CLS]", "a", "[SEP]", "b", "[SEP]"}));
    EXPECT_EQ(processor->postProcess({"a"}, Tokens{}, true), (Tokens{"[CLS]", "a", "[SEP]", "[SEP]"}));
    EXPECT_EQ((*processor)({"a"}), (Tokens{"[CLS]", "a", "[SEP]"}));
    // A single template that names B while no B is given appends nothing for it.
    auto namesB = build(R"({"type": "TemplateProcessing", "single": [{"Sequence": {"id": "B"}}, {"Sequence": {"id": "A"}}],
                            "pair": []})");
    EXPECT_EQ(namesB->postProcess({"x"}, std::nullopt, true), Tokens{"x"});
}

TEST(PostProcessor, ByteLevelAndBert) {
    auto byteLevel = build(R"({"type": "ByteLevel", "trim_offsets": true})");
    EXPECT_EQ(byteLevel->postProcess({"a"}, Tokens{"b"}, true), Tokens{"a"});
    auto bert = build(R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})");
    EXPECT_EQ(bert->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"[CLS]", "a", "[SEP]", "b", "[SEP]"}));
    EXPECT_EQ(bert->postProcess({"a"}, Tokens{}, true), (Tokens{"[CLS]", "a", "[SEP]"}));
    EXPECT_EQ(bert->postProcess({"a"}, Tokens{"b"}, false), (Tokens{"a", "b"}));
}

TEST(PostProcessor, Roberta) {
    auto processor = build(roberta);
    EXPECT_EQ(processor->postProcess({"a"}, std::nullopt, false), (Tokens{"<s>", "a", "</s>"}));
    EXPECT_EQ(processor->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"<s>", "a", "</s>", "</s>", "b", "</s>"}));
    EXPECT_EQ(processor->postProcess({"a"}, Tokens{}, true), (Tokens{"<s>", "a", "</s>"}));
    // Runs of white space at either end keep one Character; a token of white space only loses all of it.
    EXPECT_EQ(processor->postProcess({"   x", " y", "z  ", "\u3000\u3000w\t", "  ", "   "}, std::nullopt, true),
              (Tokens{"<s>", " x", " y", "z ", "\u3000w\t", "", "", "</s>"}));
    auto spacesAndTabs = build(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0],
                                   "add_prefix_space": false})");
    EXPECT_EQ(spacesAndTabs->postProcess({" \t\u00A0x \n", "\u2003y"}, std::nullopt, true),
              (Tokens{"<s>", "x \n", "y", "</s>"}));
    auto untrimmed = build(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0],
                               "trim_offset": false})");
    EXPECT_EQ(untrimmed->postProcess({"   x"}, std::nullopt, true), (Tokens{"<s>", "   x", "</s>"}));
    auto plural = build(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0], "trim_offsets": false})");
    EXPECT_EQ(plural->postProcess({"   x"}, std::nullopt, true), (Tokens{"<s>", " x", "</s>"}));
}

TEST(PostProcessor, Sequence) {
    auto empty = build(R"({"type": "Sequence", "processors": []})");
    EXPECT_EQ(empty->postProcess({"a"}, Tokens{"b"}, true), Tokens{"a"});
    // The later processors never see B.
    auto sequence = build(R"({"type": "Sequence", "processors": [null, {"type": "ByteLevel"}, )" +
                          templateDefinition + "]}");
    EXPECT_EQ(sequence->postProcess({"a"}, Tokens{"b"}, true), (Tokens{"[CLS]", "a", "[SEP]"}));
}
