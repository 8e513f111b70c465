#include <gtest/gtest.h>

#include "BuiltinSupport.hpp"

namespace jinja {
namespace {

using testing::render;

// A tool-calling template in the im_start style: system prompt with a tool list, tool calls written as
// JSON, tool results folded into user turns and a generation prompt.
constexpr const char* toolCallingTemplate = R"({%- if tools %}
    {{- '<|im_start|>system\n' }}
    {%- if messages[0].role == 'system' %}
        {{- messages[0].content + '\n\n' }}
    {%- endif %}
    {{- "# Tools\n\nYou may call one or more functions to assist with the user query.\n\n<tools>" }}
    {%- for tool in tools %}
        {{- "\n" }}
        {{- tool | tojson }}
    {%- endfor %}
    {{- "\n</tools><|im_end|>\n" }}
{%- elif messages[0].role == 'system' %}
    {{- '<|im_start|>system\n' + messages[0].content + '<|im_end|>\n' }}
{%- endif %}
{%- for message in messages %}
    {%- if message.role == "user" or (message.role == "system" and not loop.first) %}
        {{- '<|im_start|>' + message.role + '\n' + message.content + '<|im_end|>\n' }}
    {%- elif message.role == "assistant" %}
        {{- '<|im_start|>assistant' }}
        {%- if message.content %}
            {{- '\n' + message.content }}
        {%- endif %}
        {%- for tool_call in message.tool_calls | default([]) %}
            {{- '\n<tool_call>\n{"name": "' + tool_call.function.name + '", "arguments": ' + tool_call.function.arguments | tojson + '}\n</tool_call>' }}
        {%- endfor %}
        {{- '<|im_end|>\n' }}
    {%- elif message.role == "tool" %}
        {%- if loop.first or messages[loop.index0 - 1].role != "tool" %}
            {{- '<|im_start|>user' }}
        {%- endif %}
        {{- '\n<tool_response>\n' + message.content + '\n</tool_response>' }}
        {%- if loop.last or messages[loop.index0 + 1].role != "tool" %}
            {{- '<|im_end|>\n' }}
        {%- endif %}
    {%- endif %}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<|im_start|>assistant\n' }}
{%- endif %})";

TEST(ChatTemplateTests, ToolCallingConversation) {
    const char* context = R"({
        "messages": [
            {"role": "system", "content": "You are helpful."},
            {"role": "user", "content": "What's the weather in Paris and Oslo?"},
            {"role": "assistant", "content": "", "tool_calls": [
                {"function": {"name": "get_weather", "arguments": {"city": "Paris"}}},
                {"function": {"name": "get_weather", "arguments": {"city": "Oslo", "unit": "°C"}}}]},
            {"role": "tool", "content": "{\"temp\": 18}"},
            {"role": "tool", "content": "{\"temp\": 4}"},
            {"role": "assistant", "content": "Paris: 18, Oslo: 4."}
        ],
        "tools": [{"type": "function", "function": {"name": "get_weather", "description": "Weather now/today",
                   "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}],
        "add_generation_prompt": true
    })";
    const char* expected =
        "<|im_start|>system\nYou are helpful.\n\n# Tools\n\nYou may call one or more functions to assist with the "
        "user query.\n\n<tools>\n"
        R"({"type":"function","function":{"name":"get_weather","description":"Weather now\/today",)"
        R"("parameters":{"type":"object","properties":{"city":{"type":"string"}},"required":["city"]}}})"
        "\n</tools><|im_end|>\n"
        "<|im_start|>user\nWhat's the weather in Paris and Oslo?<|im_end|>\n"
        "<|im_start|>assistant\n<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\":\"Paris\"}}\n"
        "</tool_call>\n<tool_call>\n{\"name\": \"get_weather\", \"arguments\": {\"city\":\"Oslo\",\"unit\":"
        "\"\\u00b0C\"}}\n</tool_call><|im_end|>\n"
        "<|im_start|>user\n<tool_response>\n{\"temp\": 18}\n</tool_response>\n<tool_response>\n{\"temp\": 4}\n"
        "</tool_response><|im_end|>\n"
        "<|im_start|>assistant\nParis: 18, Oslo: 4.<|im_end|>\n"
        "<|im_start|>assistant\n";
    EXPECT_EQ(render(toolCallingTemplate, context), expected);

    const char* plain = R"({"messages": [{"role": "system", "content": "S"}, {"role": "user", "content": "U"}]})";
    EXPECT_EQ(render(toolCallingTemplate, plain), "<|im_start|>system\nS<|im_end|>\n<|im_start|>user\nU<|im_end|>\n");
}

// A header-style template: a fixed date unless one is given, system prompt trimmed, reasoning removed
// from assistant turns before the last user turn, alternation enforced with raise_exception.
constexpr const char* headerTemplate = R"({{- bos_token }}
{%- if not date_string is defined %}
    {%- set date_string = "26 Jul 2024" %}
{%- endif %}
{%- if messages[0]['role'] == 'system' %}
    {%- set system_message = messages[0]['content'] | trim %}
    {%- set messages = messages[1:] %}
{%- else %}
    {%- set system_message = "" %}
{%- endif %}
{{- "<|start_header_id|>system<|end_header_id|>\n\n" }}
{{- "Today Date: " + date_string + "\n\n" }}
{{- system_message }}
{{- "<|eot_id|>" }}
{%- set ns = namespace(last_user=-1) %}
{%- for message in messages %}
    {%- if message.role == 'user' %}
        {%- set ns.last_user = loop.index0 %}
    {%- endif %}
{%- endfor %}
{%- for message in messages %}
    {%- if message.role not in ['user', 'assistant'] %}
        {{- raise_exception('Unsupported role: ' + message.role) }}
    {%- endif %}
    {%- if (message.role == 'user') != (loop.index0 % 2 == 0) %}
        {{- raise_exception('Conversation roles must alternate user/assistant/user/assistant/...') }}
    {%- endif %}
    {%- set content = message.content %}
    {%- if message.role == 'assistant' and '</think>' in content and loop.index0 < ns.last_user %}
        {%- set content = content.split('</think>')[-1].lstrip() %}
    {%- endif %}
    {{- '<|start_header_id|>' + message.role + '<|end_header_id|>\n\n' + content | trim + '<|eot_id|>' }}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<|start_header_id|>assistant<|end_header_id|>\n\n' }}
{%- endif %})";

TEST(ChatTemplateTests, HeaderConversationWithReasoning) {
    const char* context = R"({
        "bos_token": "<|begin_of_text|>",
        "messages": [
            {"role": "system", "content": "  Be brief.\n"},
            {"role": "user", "content": "Hi"},
            {"role": "assistant", "content": "<think>greet</think>\n\nHello!"},
            {"role": "user", "content": " Bye "},
            {"role": "assistant", "content": "<think>part</think> Goodbye."}
        ],
        "add_generation_prompt": false
    })";
    const char* expected =
        "<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\nToday Date: 26 Jul 2024\n\nBe brief.<|eot_id|>"
        "<|start_header_id|>user<|end_header_id|>\n\nHi<|eot_id|>"
        "<|start_header_id|>assistant<|end_header_id|>\n\nHello!<|eot_id|>"
        "<|start_header_id|>user<|end_header_id|>\n\nBye<|eot_id|>"
        "<|start_header_id|>assistant<|end_header_id|>\n\n<think>part</think> Goodbye.<|eot_id|>";
    EXPECT_EQ(render(headerTemplate, context), expected);

    const char* dated = R"({"bos_token": "", "date_string": "01 Jan 2025", "add_generation_prompt": true,
                            "messages": [{"role": "user", "content": "Q"}]})";
    EXPECT_EQ(render(headerTemplate, dated),
              "<|start_header_id|>system<|end_header_id|>\n\nToday Date: 01 Jan 2025\n\n<|eot_id|>"
              "<|start_header_id|>user<|end_header_id|>\n\nQ<|eot_id|>"
              "<|start_header_id|>assistant<|end_header_id|>\n\n");
}

TEST(ChatTemplateTests, TemplateErrorsReachTheCaller) {
    const char* twoUsers = R"({"messages": [{"role": "user", "content": "a"}, {"role": "user", "content": "b"}]})";
    EXPECT_EQ(render(headerTemplate, twoUsers),
              "exception: Conversation roles must alternate user/assistant/user/assistant/...");
    const char* tool = R"({"messages": [{"role": "tool", "content": "a"}]})";
    EXPECT_EQ(render(headerTemplate, tool), "exception: Unsupported role: tool");
}

}  // namespace
}  // namespace jinja
