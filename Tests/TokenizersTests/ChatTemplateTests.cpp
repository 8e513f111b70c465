#include <gtest/gtest.h>

#include <thread>

#include "Jinja/Error.hpp"
#include "ModelTestSupport.hpp"
#include "Tokenizers/Tokenizer.hpp"

using namespace tokenizers;
using tokenizers::testing::byteLevelDefinition;
using tokenizers::testing::json;
using tokenizers::testing::jsonString;

namespace {

// A conversation template in the style of today's chat models: a system prompt, multi-part content, tool
// descriptions and tool calls, a refusal of unknown roles and the generation prompt.
const char* conversationTemplate = R"({{- bos_token -}}
{%- if tools -%}<tools>{% for tool in tools %}{{ tool | tojson }}{% endfor %}</tools>
{% endif -%}
{%- for message in messages -%}
{%- if message.role not in ['system', 'user', 'assistant', 'tool'] -%}
{{ raise_exception('Unknown role: ' + message.role) }}
{%- endif -%}
<|{{ message.role }}|>
{%- if message.content is string %}{{ message.content }}
{%- else %}{% for part in message.content %}{% if part.type == 'text' %}{{ part.text }}{% endif %}{% endfor %}
{%- endif -%}
{%- if message.tool_calls is defined -%}
{% for tc in message.tool_calls %}<call>{{ tc.function.name }}({{ tc.function.arguments | tojson }})</call>{% endfor %}
{%- endif -%}
{{ eos_token }}
{% endfor -%}
{%- if add_generation_prompt %}<|assistant|>{% endif -%})";

// Every byte is a token and decoding gives the text back, so a rendered template can be read from its ids.
std::shared_ptr<PreTrainedTokenizer> tokenizer(const std::string& configExtras = "") {
    std::string config = R"({"tokenizer_class": "GPT2Tokenizer", "clean_up_tokenization_spaces": false,
        "bos_token": {"content": "<s>", "special": true}, "eos_token": "</s>")" +
                         (configExtras.empty() ? "" : ", " + configExtras) + "}";
    return std::make_shared<PreTrainedTokenizer>(json(config), json(byteLevelDefinition()), true);
}

std::string rendered(const PreTrainedTokenizer& t, const std::vector<int64_t>& ids) { return t.decode(ids); }

Message message(std::string role, std::any content) {
    Message m;
    m.set("role", std::move(role));
    m.set("content", std::move(content));
    return m;
}

}  // namespace

TEST(ChatTemplate, RendersAConversation) {
    auto t = tokenizer("\"chat_template\": " + jsonString(conversationTemplate));
    std::vector<std::any> parts = {std::any(Message{{"type", std::string("text")}, {"text", std::string("Hi ")}}),
                                   std::any(Message{{"type", std::string("image")}}),
                                   std::any(Message{{"type", std::string("text")}, {"text", std::string("там")}})};
    Message call{{"function", std::any(Message{{"name", std::string("weather")},
                                               {"arguments", std::any(Message{{"city", std::string("Київ")}})}})}};
    Message assistant = message("assistant", std::string("Checking."));
    assistant.set("tool_calls", std::vector<std::any>{std::any(call)});
    std::vector<Message> messages = {message("system", std::string("Be brief.")), message("user", parts), assistant,
                                     message("tool", std::string("+5°C"))};
    std::vector<ToolSpec> tools = {ToolSpec{{"name", std::string("weather")}}};

    EXPECT_EQ(rendered(*t, t->applyChatTemplate(messages, tools)),
              "<s><tools>{\"name\":\"weather\"}</tools>\n"
              "<|system|>Be brief.</s>\n<|user|>Hi там</s>\n"
              "<|assistant|>Checking.<call>weather({\"city\":\"\\u041a\\u0438\\u0457\\u0432\"})</call></s>\n"
              "<|tool|>+5°C</s>\n<|assistant|>");
    EXPECT_EQ(rendered(*t, t->applyChatTemplate({message("user", std::string("x"))}, std::nullopt, false, false,
                                                std::nullopt, std::nullopt)),
              "<s><|user|>x</s>\n");
    try {
        t->applyChatTemplate({message("robot", std::string("x"))});
        FAIL();
    } catch (const jinja::TemplateException& error) {
        EXPECT_EQ(error.message(), "Unknown role: robot");
    }
}

TEST(ChatTemplate, ChoosingTheTemplate) {
    std::vector<Message> messages = {message("user", std::string("q"))};
    std::vector<ToolSpec> tools = {ToolSpec{{"name", std::string("f")}}};
    auto named = tokenizer(R"("chat_template": [{"name": "default", "template": "D"},
        {"name": "tool_use", "template": "T"}, {"name": 3, "template": "X"}, {"template": "Y"}])");
    EXPECT_EQ(rendered(*named, named->applyChatTemplate(messages)), "D");
    EXPECT_EQ(rendered(*named, named->applyChatTemplate(messages, tools)), "T");
    EXPECT_EQ(rendered(*named, named->applyChatTemplate(messages, std::vector<ToolSpec>{})), "D");
    EXPECT_EQ(rendered(*named, named->applyChatTemplate(messages, ChatTemplateArgument::name("tool_use"))), "T");
    EXPECT_EQ(rendered(*named, named->applyChatTemplate(messages, std::string("L{{ messages[0].content }}"))), "Lq");
    try {
        named->applyChatTemplate(messages, ChatTemplateArgument::name("missing"));
        FAIL();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.localizedDescription(),
                  "Chat template error: No chat template named \"missing\" was found in the tokenizer config");
    }

    auto single = tokenizer(R"("chat_template": "S")");
    EXPECT_EQ(rendered(*single, single->applyChatTemplate(messages, ChatTemplateArgument::name("anything"))), "S");

    for (const std::string extras : {"", R"("chat_template": null)", R"("chat_template": 5)",
                                     R"("chat_template": [{"name": "tool_use", "template": "T"}])"}) {
        auto without = tokenizer(extras);
        try {
            without->applyChatTemplate(messages);
            ADD_FAILURE() << extras;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error, TokenizerError::missingChatTemplate()) << extras;
        }
    }
    // Compile errors are the template engine's.
    EXPECT_THROW(single->applyChatTemplate(messages, std::string("{% if %}")), jinja::JinjaError);
}

TEST(ChatTemplate, Variables) {
    auto t = tokenizer(R"("chat_template": "{{ bos_token }}|{{ eos_token }}|{{ additional_special_tokens | join(',') }}|{{ messages | length }}|{{ extra }}",
        "additional_special_tokens": ["<a>", 7, "<b>"], "pad_token": null)");
    std::vector<Message> messages = {message("user", std::string("q"))};
    Message context{{"bos_token", std::string("ignored")}, {"extra", int64_t{42}}};
    EXPECT_EQ(rendered(*t, t->applyChatTemplate(messages, std::nullopt, context)), "<s>|</s>|<a>,<b>|1|42");
    // The additional context may replace the messages.
    Message replacing{{"messages", std::vector<std::any>{std::any(1), std::any(2), std::any(3)}}};
    EXPECT_EQ(rendered(*t, t->applyChatTemplate(messages, std::nullopt, replacing)), "<s>|</s>|<a>,<b>|3|");
    // A number is no token text: the template engine refuses it.
    auto numeric = tokenizer(R"("chat_template": "x", "unk_token": 5)");
    EXPECT_THROW(numeric->applyChatTemplate(messages), jinja::JinjaError);
}

TEST(ChatTemplate, Truncation) {
    std::vector<Message> messages = {message("user", std::string("0123456789"))};
    auto t = tokenizer(R"("chat_template": "{{ messages[0].content }}", "model_max_length": 5)");
    auto count = [&](bool truncation, std::optional<int64_t> maxLength) {
        return t->applyChatTemplate(messages, std::nullopt, true, truncation, maxLength, std::nullopt).size();
    };
    EXPECT_EQ(count(true, 10), 5u);
    EXPECT_EQ(count(true, 3), 3u);
    EXPECT_EQ(count(true, std::nullopt), 5u);
    EXPECT_EQ(count(false, 3), 10u);
    EXPECT_EQ(count(true, -2), 0u);
    auto unbounded = tokenizer(R"("chat_template": "{{ messages[0].content }}", "model_max_length": 1e30)");
    EXPECT_EQ(unbounded->applyChatTemplate(messages, std::nullopt, true, true, std::nullopt, std::nullopt).size(), 10u);
}

TEST(ChatTemplate, CompiledOnceAndSharedBetweenThreads) {
    auto t = tokenizer("\"chat_template\": " + jsonString(conversationTemplate));
    std::vector<Message> messages = {message("user", std::string("hello"))};
    std::vector<int64_t> expected = t->applyChatTemplate(messages);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 6; ++k) {
        threads.emplace_back([&] {
            for (int round = 0; round < 20; ++round) {
                if (t->applyChatTemplate(messages) != expected ||
                    t->applyChatTemplate(messages, std::string("{{ messages[0].content }}")).size() != 5) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(t->compiledChatTemplateCount(), 2u);
}
