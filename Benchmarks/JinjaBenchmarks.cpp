// Render speed of the template engine on chat templates written in the style of real ones (system
// prompt handling, role checks that raise, tool definitions through tojson, a generation prompt, trim
// on every message), each compiled once and rendered over conversations of 2, 26 and 200 messages;
// a plain loop for the cost of one loop step; and one template rendered from several threads at once.
//
// Run: JinjaBenchmarks [--benchmark_filter=...]
//      JinjaBenchmarks --export=cases.json   writes every template with its contexts, so that
//                                            jinja_reference.py renders exactly the same work.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "Jinja/Template.hpp"
#include "Jinja/Value.hpp"
#include "Platform/Foundation/JSON.hpp"

namespace {

using jinja::Template;
using jinja::Value;
using jinja::ValueArray;

// An im_start-style template with tool calling: tools listed as JSON in the system turn, tool calls
// written as JSON, consecutive tool results folded into one user turn, any other role rejected.
constexpr const char* toolCallingTemplate = R"({%- if tools %}
    {{- '<|im_start|>system\n' }}
    {%- if messages[0]['role'] == 'system' %}
        {{- messages[0]['content'] | trim + '\n\n' }}
    {%- else %}
        {{- 'You are a helpful assistant.\n\n' }}
    {%- endif %}
    {{- "# Tools\n\nYou may call one or more functions to assist with the user query.\n\nYou are provided with function signatures within <tools></tools> XML tags:\n<tools>" }}
    {%- for tool in tools %}
        {{- "\n" }}
        {{- tool | tojson }}
    {%- endfor %}
    {{- "\n</tools>\n\nFor each function call, return a json object with function name and arguments within <tool_call></tool_call> XML tags.<|im_end|>\n" }}
{%- elif messages[0]['role'] == 'system' %}
    {{- '<|im_start|>system\n' + messages[0]['content'] | trim + '<|im_end|>\n' }}
{%- endif %}
{%- for message in messages %}
    {%- if message.role == "user" or (message.role == "system" and not loop.first) %}
        {{- '<|im_start|>' + message.role + '\n' + message.content | trim + '<|im_end|>\n' }}
    {%- elif message.role == "assistant" %}
        {{- '<|im_start|>' + message.role }}
        {%- if message.content %}
            {{- '\n' + message.content | trim }}
        {%- endif %}
        {%- for tool_call in message.tool_calls | default([]) %}
            {%- if tool_call.function is defined %}
                {%- set tool_call = tool_call.function %}
            {%- endif %}
            {{- '\n<tool_call>\n{"name": "' + tool_call.name + '", "arguments": ' + tool_call.arguments | tojson + '}\n</tool_call>' }}
        {%- endfor %}
        {{- '<|im_end|>\n' }}
    {%- elif message.role == "tool" %}
        {%- if loop.first or (messages[loop.index0 - 1].role != "tool") %}
            {{- '<|im_start|>user' }}
        {%- endif %}
        {{- '\n<tool_response>\n' + message.content | trim + '\n</tool_response>' }}
        {%- if loop.last or (messages[loop.index0 + 1].role != "tool") %}
            {{- '<|im_end|>\n' }}
        {%- endif %}
    {%- elif message.role != "system" %}
        {{- raise_exception('Unexpected message role: ' + message.role) }}
    {%- endif %}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<|im_start|>assistant\n' }}
{%- endif %})";

// An instruction-bracket template that folds the system prompt into the first user turn and raises
// when the roles do not alternate.
constexpr const char* alternatingTemplate = R"({%- if messages[0]['role'] == 'system' %}
    {%- set system_message = messages[0]['content'] | trim %}
    {%- set loop_messages = messages[1:] %}
{%- else %}
    {%- set system_message = '' %}
    {%- set loop_messages = messages %}
{%- endif %}
{{- bos_token }}
{%- for message in loop_messages %}
    {%- if (message['role'] == 'user') != (loop.index0 % 2 == 0) %}
        {{- raise_exception('Conversation roles must alternate user/assistant/user/assistant/...') }}
    {%- endif %}
    {%- if loop.first and system_message != '' %}
        {%- set content = '<<SYS>>\n' + system_message + '\n<</SYS>>\n\n' + message['content'] | trim %}
    {%- else %}
        {%- set content = message['content'] | trim %}
    {%- endif %}
    {%- if message['role'] == 'user' %}
        {{- '[INST] ' + content + ' [/INST]' }}
    {%- elif message['role'] == 'assistant' %}
        {{- ' ' + content + ' ' + eos_token }}
    {%- endif %}
{%- endfor %})";

// A header-style template: dated system turn listing the tools as indented JSON, single tool calls
// written as JSON, tool results as their own turns.
constexpr const char* headerTemplate = R"({{- bos_token }}
{%- if not tools is defined %}
    {%- set tools = none %}
{%- endif %}
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
{%- if tools is not none %}
    {{- "Environment: ipython\n" }}
{%- endif %}
{{- "Cutting Knowledge Date: December 2023\n" }}
{{- "Today Date: " + date_string + "\n\n" }}
{%- if tools is not none %}
    {{- "You have access to the following functions. To call a function, respond with JSON for a function call.\n\n" }}
    {%- for t in tools %}
        {{- t | tojson(indent=4) }}
        {{- "\n\n" }}
    {%- endfor %}
{%- endif %}
{{- system_message }}
{{- "<|eot_id|>" }}
{%- for message in messages %}
    {%- if not (message.role == 'ipython' or message.role == 'tool' or 'tool_calls' in message) %}
        {{- '<|start_header_id|>' + message['role'] + '<|end_header_id|>\n\n' + message['content'] | trim + '<|eot_id|>' }}
    {%- elif 'tool_calls' in message %}
        {%- if not message.tool_calls | length == 1 %}
            {{- raise_exception("This model only supports single tool-calls at once!") }}
        {%- endif %}
        {%- set tool_call = message.tool_calls[0].function %}
        {{- '<|start_header_id|>assistant<|end_header_id|>\n\n' }}
        {{- '{"name": "' + tool_call.name + '", "parameters": ' + tool_call.arguments | tojson + '}' }}
        {{- "<|eot_id|>" }}
    {%- else %}
        {{- "<|start_header_id|>ipython<|end_header_id|>\n\n" }}
        {%- if message.content is mapping %}
            {{- message.content | tojson }}
        {%- else %}
            {{- message.content | trim }}
        {%- endif %}
        {{- "<|eot_id|>" }}
    {%- endif %}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<|start_header_id|>assistant<|end_header_id|>\n\n' }}
{%- endif %})";

// A turn-marker template: the system prompt prefixed to the first user turn, the assistant called
// "model", content either text or a list of image and text parts, alternation enforced.
constexpr const char* turnTemplate = R"({{- bos_token }}
{%- if messages[0]['role'] == 'system' %}
    {%- set first_user_prefix = messages[0]['content'] | trim + '\n\n' %}
    {%- set loop_messages = messages[1:] %}
{%- else %}
    {%- set first_user_prefix = "" %}
    {%- set loop_messages = messages %}
{%- endif %}
{%- for message in loop_messages %}
    {%- if (message['role'] == 'user') != (loop.index0 % 2 == 0) %}
        {{- raise_exception("Conversation roles must alternate user/assistant/user/assistant/...") }}
    {%- endif %}
    {%- if message['role'] == 'assistant' %}
        {%- set role = "model" %}
    {%- else %}
        {%- set role = message['role'] %}
    {%- endif %}
    {{- '<start_of_turn>' + role + '\n' + (first_user_prefix if loop.first else "") }}
    {%- if message['content'] is string %}
        {{- message['content'] | trim }}
    {%- elif message['content'] is iterable %}
        {%- for item in message['content'] %}
            {%- if item['type'] == 'image' %}
                {{- '<start_of_image>' }}
            {%- elif item['type'] == 'text' %}
                {{- item['text'] | trim }}
            {%- endif %}
        {%- endfor %}
    {%- else %}
        {{- raise_exception("Invalid content type") }}
    {%- endif %}
    {{- '<end_of_turn>\n' }}
{%- endfor %}
{%- if add_generation_prompt %}
    {{- '<start_of_turn>model\n' }}
{%- endif %})";

// The bare cost of a loop step and a member read.
constexpr const char* plainLoopTemplate = R"({%- for message in messages %}{{ message.content }}{% endfor %})";

// Message texts of the lengths chat turns have, some with surrounding white space and a few with
// non-ASCII letters, symbols or emoji (also at their ends).
const std::vector<std::string>& texts() {
    static const std::vector<std::string> pool = {
        "What's the weather like in Paris today?",
        "  Could you summarise the following paragraph for me? The committee met on Tuesday to discuss the "
        "budget for the coming year. After a long debate, members agreed to increase spending on public "
        "transport by ten percent while reducing administrative costs.\n",
        "Sure! Here is a short summary: the committee agreed to spend more on public transport and less on "
        "administration next year.",
        "\nThanks. Now translate it into French, please.",
        "Le comité a convenu d'augmenter les dépenses de transport public de dix pour cent et de réduire les "
        "coûts administratifs l'année prochaine. ",
        "Write a Python function that returns the n-th Fibonacci number iteratively.",
        "```python\ndef fibonacci(n):\n    a, b = 0, 1\n    for _ in range(n):\n        a, b = b, a + b\n    "
        "return a\n```\nThis runs in linear time and constant memory.\n\n",
        "How warm is it in Oslo? I heard it is around 4 °C right now.",
        "It is 4 °C and cloudy in Oslo at the moment, with light rain expected in the evening. 🌧",
        "\t Explain the difference between a process and a thread in two sentences. ",
        "A process has its own address space and resources; a thread is a unit of execution inside a "
        "process that shares the process's memory with the other threads of that process.",
        "東京の天気はどうですか？",
    };
    return pool;
}

const std::string& text(size_t i) { return texts()[i % texts().size()]; }

Value message(const char* role, const std::string& content) {
    return Value::object({{"role", Value(role)}, {"content", Value(content)}});
}

Value toolDefinition(const char* name, const char* description, std::vector<std::pair<std::string, const char*>> properties) {
    jinja::ValueObject props;
    ValueArray required;
    for (const auto& [property, type] : properties) {
        props.set(property, Value::object({{"type", Value(type)}, {"description", Value("The " + property + ".")}}));
        required.emplace_back(property);
    }
    Value parameters = Value::object(
        {{"type", Value("object")}, {"properties", Value(std::move(props))}, {"required", Value(std::move(required))}});
    Value function = Value::object(
        {{"name", Value(name)}, {"description", Value(description)}, {"parameters", std::move(parameters)}});
    return Value::object({{"type", Value("function")}, {"function", std::move(function)}});
}

Value tools() {
    return Value(ValueArray{
        toolDefinition("get_current_weather", "Get the current weather in a given location.",
                       {{"location", "string"}, {"unit", "string"}}),
        toolDefinition("search_web", "Search the web and return the top results.", {{"query", "string"}, {"count", "integer"}}),
        toolDefinition("run_python", "Run a short Python program in a sandbox and return its output.", {{"code", "string"}}),
    });
}

Value toolCall(size_t i) {
    Value arguments = i % 2 == 0 ? Value::object({{"location", Value("Paris, France")}, {"unit", Value("celsius")}})
                                 : Value::object({{"query", Value("public transport budget " + std::to_string(i))},
                                                  {"count", Value(5)}});
    Value function = Value::object(
        {{"name", Value(i % 2 == 0 ? "get_current_weather" : "search_web")}, {"arguments", std::move(arguments)}});
    return Value::object({{"type", Value("function")}, {"function", std::move(function)}});
}

Value assistantWithToolCall(size_t i) {
    return Value::object({{"role", Value("assistant")}, {"content", Value("")}, {"tool_calls", Value(ValueArray{toolCall(i)})}});
}

// System prompt, then user / assistant calling a tool / tool result / assistant answer, repeated.
ValueArray toolConversation(size_t count) {
    ValueArray messages{message("system", "  You are a careful assistant with access to tools. Answer briefly.\n")};
    for (size_t i = 0; messages.size() < count; ++i) {
        switch (i % 4) {
            case 0: messages.push_back(message("user", text(i))); break;
            case 1: messages.push_back(assistantWithToolCall(i)); break;
            case 2: messages.push_back(message("tool", "{\"temperature\": 18, \"conditions\": \"sunny\"}\n")); break;
            case 3: messages.push_back(message("assistant", text(i))); break;
        }
    }
    return messages;
}

// System prompt, then strictly alternating user and assistant turns.
ValueArray alternatingConversation(size_t count, bool withImages) {
    ValueArray messages{message("system", "\nYou are a friendly assistant. Keep answers short and accurate. ")};
    for (size_t i = 0; messages.size() < count; ++i) {
        if (i % 2 == 1) {
            messages.push_back(message("assistant", text(i)));
        } else if (withImages && i % 6 == 2) {
            Value parts(ValueArray{Value::object({{"type", Value("image")}}),
                                   Value::object({{"type", Value("text")}, {"text", Value(text(i))}})});
            messages.push_back(Value::object({{"role", Value("user")}, {"content", std::move(parts)}}));
        } else {
            messages.push_back(message("user", text(i)));
        }
    }
    return messages;
}

struct Case {
    const char* name;
    const char* source;
    Template::Context (*context)(size_t messages);
};

Template::Context toolCallingContext(size_t count) {
    return {{"messages", Value(toolConversation(count))}, {"tools", tools()}, {"add_generation_prompt", Value(true)}};
}

Template::Context alternatingContext(size_t count) {
    return {{"messages", Value(alternatingConversation(count, false))},
            {"bos_token", Value("<s>")},
            {"eos_token", Value("</s>")}};
}

Template::Context headerContext(size_t count) {
    return {{"messages", Value(toolConversation(count))},
            {"tools", tools()},
            {"bos_token", Value("<|begin_of_text|>")},
            {"add_generation_prompt", Value(true)}};
}

Template::Context turnContext(size_t count) {
    return {{"messages", Value(alternatingConversation(count, true))},
            {"bos_token", Value("<bos>")},
            {"add_generation_prompt", Value(true)}};
}

Template::Context plainLoopContext(size_t count) {
    ValueArray messages;
    for (size_t i = 0; i < count; ++i) messages.push_back(message(i % 2 ? "assistant" : "user", text(i)));
    return {{"messages", Value(std::move(messages))}};
}

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"toolcall", toolCallingTemplate, toolCallingContext},
        {"alternating", alternatingTemplate, alternatingContext},
        {"header", headerTemplate, headerContext},
        {"turns", turnTemplate, turnContext},
        {"plainloop", plainLoopTemplate, plainLoopContext},
    };
    return all;
}

constexpr size_t messageCounts[] = {2, 26, 200};

void renderBenchmark(benchmark::State& state, const Case& c, size_t count) {
    const Template compiled(c.source);
    const Template::Context context = c.context(count);
    size_t bytes = compiled.render(context).size();
    for (auto _ : state) benchmark::DoNotOptimize(compiled.render(context));
    state.counters["messages"] = static_cast<double>(count);
    state.counters["output_bytes"] = static_cast<double>(bytes);
    state.counters["ns_per_message"] =
        benchmark::Counter(static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Several threads render one compiled template, each with a context of its own (as callers build one
// per request) or all with one shared context; renders per second should grow with the thread count.
const Template& threadedTemplate() {
    static const Template compiled(toolCallingTemplate);
    return compiled;
}

void threadedBenchmark(benchmark::State& state) {
    const Template::Context context = toolCallingContext(26);
    for (auto _ : state) benchmark::DoNotOptimize(threadedTemplate().render(context));
    state.SetItemsProcessed(state.iterations());
}

void sharedContextBenchmark(benchmark::State& state) {
    static const Template::Context context = toolCallingContext(26);
    for (auto _ : state) benchmark::DoNotOptimize(threadedTemplate().render(context));
    state.SetItemsProcessed(state.iterations());
}

// Writes {"cases": [{"template", "source", "messages", "context"}, ...]}.
int exportCases(const char* path) {
    foundation::JSONWriter writer(foundation::JSONWriter::Options{.pretty = false, .sortedKeys = false, .escapeSlashes = false});
    writer.beginObject().key("cases").beginArray();
    for (const auto& c : cases()) {
        for (size_t count : messageCounts) {
            writer.beginObject().field("template", c.name).field("source", c.source);
            writer.field("messages", static_cast<int64_t>(count)).key("context").beginObject();
            for (const auto& [name, value] : c.context(count)) {
                writer.key(name);
                value.encode(writer);
            }
            writer.endObject().endObject();
        }
    }
    writer.endArray().endObject();
    std::ofstream file(path, std::ios::binary);
    file << writer.str();
    return file ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument.starts_with("--export=")) return exportCases(argv[i] + std::strlen("--export="));
    }
    for (const auto& c : cases()) {
        for (size_t count : messageCounts) {
            std::string name = std::string("Render/") + c.name + "/" + std::to_string(count);
            benchmark::RegisterBenchmark(name.c_str(), [&c, count](benchmark::State& state) { renderBenchmark(state, c, count); })
                ->Unit(benchmark::kMicrosecond);
        }
    }
    benchmark::RegisterBenchmark("RenderThreads/toolcall/26", threadedBenchmark)
        ->ThreadRange(1, 8)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("RenderThreadsSharedContext/toolcall/26", sharedContextBenchmark)
        ->ThreadRange(1, 8)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
