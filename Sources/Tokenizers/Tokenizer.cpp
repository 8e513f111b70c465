#include "Tokenizers/Tokenizer.hpp"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <typeinfo>

#include "Hub/LanguageModelConfigurationFromHub.hpp"
#include "Jinja/Template.hpp"
#include "Tokenizers/AddedTokenMatcher.hpp"
#include "Tokenizers/BPETokenizer.hpp"
#include "Tokenizers/BertTokenizer.hpp"
#include "Tokenizers/ConfigReading.hpp"
#include "Tokenizers/Decoder.hpp"
#include "Tokenizers/Normalizer.hpp"
#include "Tokenizers/PostProcessor.hpp"
#include "Tokenizers/PreTokenizer.hpp"
#include "Tokenizers/UnigramTokenizer.hpp"
#include "Tokenizers/Vocabulary.hpp"

namespace tokenizers {

TokenizerError::TokenizerError(Case errorCase, std::string payload) : case_(errorCase), payload_(std::move(payload)) {
    setWhat(describe());
}

std::string TokenizerError::localizedDescription() const {
    switch (case_) {
        case Case::unsupportedTokenizer: return "The tokenizer type '" + payload_ + "' is not supported.";
        case Case::chatTemplate: return "Chat template error: " + payload_;
        case Case::tooLong: return "Input is too long: " + payload_;
        case Case::mismatchedConfig: return "Tokenizer configuration mismatch: " + payload_;
        case Case::missingConfig: return "Tokenizer configuration is missing.";
        case Case::missingTokenizerClassInConfig: return "The tokenizer class is not specified in the configuration.";
        case Case::missingVocab: return "Vocabulary file is missing from the tokenizer configuration.";
        case Case::malformedVocab: return "The vocabulary file is malformed or corrupted.";
        case Case::missingChatTemplate:
            return "This tokenizer does not have a chat template, and no template was passed.";
        case Case::invalidDefinition:
        case Case::undecodableToken: return payload_;
    }
    return payload_;
}

std::string TokenizerError::describe() const {
    switch (case_) {
        case Case::missingConfig:
        case Case::missingTokenizerClassInConfig:
        case Case::missingVocab:
        case Case::malformedVocab:
        case Case::missingChatTemplate: return foundation::describeCase(caseName(case_));
        default: return foundation::describeCase(caseName(case_), payload_);
    }
}

std::string_view TokenizerError::caseName(Case errorCase) {
    switch (errorCase) {
        case Case::unsupportedTokenizer: return "unsupportedTokenizer";
        case Case::chatTemplate: return "chatTemplate";
        case Case::tooLong: return "tooLong";
        case Case::mismatchedConfig: return "mismatchedConfig";
        case Case::missingConfig: return "missingConfig";
        case Case::missingTokenizerClassInConfig: return "missingTokenizerClassInConfig";
        case Case::missingVocab: return "missingVocab";
        case Case::malformedVocab: return "malformedVocab";
        case Case::missingChatTemplate: return "missingChatTemplate";
        case Case::invalidDefinition: return "invalidDefinition";
        case Case::undecodableToken: return "undecodableToken";
    }
    return "invalidDefinition";
}

namespace {
thread_local int sectionDepth = 0;
}  // namespace

SectionNesting::SectionNesting(std::string_view stage) {
    if (sectionDepth >= limit) {
        throw TokenizerError::invalidDefinition(std::string(stage) + " sections nested too deeply");
    }
    ++sectionDepth;
}

SectionNesting::~SectionNesting() { --sectionDepth; }

std::string ChatTemplateArgument::description() const {
    return foundation::describeCase(case_ == Case::literal ? "literal" : "name", value_);
}

namespace {

template <class Convert, class In>
auto mapped(const std::vector<In>& items, Convert convert) {
    std::vector<decltype(convert(items.front()))> out;
    out.reserve(items.size());
    for (const auto& item : items) {
        out.push_back(convert(item));
    }
    return out;
}

}  // namespace

std::vector<std::optional<int64_t>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped(tokens, [this](const std::string& token) { return convertTokenToId(token); });
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int64_t>& ids) const {
    return mapped(ids, [this](int64_t id) { return convertIdToToken(id); });
}

std::vector<std::optional<int64_t>> TokenizingModel::convertTokensToIds(const std::vector<std::string>& tokens) const {
    return mapped(tokens, [this](const std::string& token) { return convertTokenToId(token); });
}

std::vector<std::optional<std::string>> TokenizingModel::convertIdsToTokens(const std::vector<int64_t>& ids) const {
    return mapped(ids, [this](int64_t id) { return convertIdToToken(id); });
}

// ---------------------------------------------------------------------------------------------------------
// PreTrainedTokenizer

namespace text = foundation::text;

namespace {

std::string withoutFast(std::string_view name) { return text::replacingAll(name, "Fast", ""); }

// The model's tokens of recently seen pieces, per thread: text repeats its words, and tokenizing a piece costs
// far more than finding it here. Direct-mapped (one hash, one comparison, no lock); each tokenizer marks its
// entries with an owner number that no other tokenizer ever gets, so a new tokenizer never sees old entries.
class PieceCache {
public:
    static constexpr size_t maxPieceBytes = 48;

    static uint64_t newOwner() {
        static std::atomic<uint64_t> next{1};
        return next.fetch_add(1, std::memory_order_relaxed);
    }

    static PieceCache& forThread() {
        thread_local PieceCache cache;
        return cache;
    }

    // A piece's tokens and their ids (none for a token the vocabulary cannot name).
    struct PieceTokens {
        std::vector<std::string> tokens;
        std::vector<std::optional<int64_t>> ids;
    };

    const PieceTokens* find(uint64_t owner, uint64_t hash, std::string_view piece) const {
        const Entry& entry = entries_[hash & (slots - 1)];
        return entry.owner == owner && entry.piece == piece ? &entry.value : nullptr;
    }

    PieceTokens& store(uint64_t owner, uint64_t hash, std::string_view piece, PieceTokens value) {
        Entry& entry = entries_[hash & (slots - 1)];
        entry.owner = owner;
        entry.piece.assign(piece);
        entry.value = std::move(value);
        return entry.value;
    }

private:
    static constexpr size_t slots = 16384;
    struct Entry {
        uint64_t owner = 0;
        std::string piece;
        PieceTokens value;
    };
    std::vector<Entry> entries_ = std::vector<Entry>(slots);
};

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                         bool strict)
    : cacheOwner_(PieceCache::newOwner()) {
    AddedTokens addedTokenIds;
    std::vector<AddedTokenPattern> patterns;
    if (const hub::Config::Array* entries = tokenizerData["addedTokens"].array()) {
        for (const hub::Config& entry : *entries) {
            std::optional<std::string> content = entry["content"].string();
            if (!content) {
                continue;
            }
            patterns.push_back({*content, entry["lstrip"].boolean(false), entry["rstrip"].boolean(false)});
            if (std::optional<int64_t> id = entry["id"].integer()) {
                addedTokenIds[*content] = *id;
                if (entry["special"].boolean(false)) {
                    specialTokens_[*content] = *id;
                }
            }
        }
    }
    addedTokenMatcher_ = std::make_unique<AddedTokenMatcher>(std::move(patterns));
    for (const auto& [content, id] : addedTokenIds) {
        addedTokens_.insert(content);
    }
    for (const auto& [content, id] : specialTokens_) {
        specialTokenIds_.insert(id);
    }

    preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["preTokenizer"]);
    normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
    postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["postProcessor"]);
    decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"], addedTokens_);
    // The byte-level post-processor gives back the tokens of one sequence unchanged.
    postProcessorKeepsTokens_ = dynamic_cast<const ByteLevelPostProcessor*>(postProcessor_.get()) != nullptr;

    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean(true);
    tokenizerConfig_ = tokenizerConfig;

    std::optional<std::string> tokenizerClass = tokenizerConfig["tokenizerClass"].string();
    if (!tokenizerClass) {
        throw TokenizerError::missingTokenizerClassInConfig();
    }
    std::string name = withoutFast(*tokenizerClass);
    const auto& known = TokenizerModel::knownTokenizers();
    auto found = known.find(name);
    PreTrainedTokenizerModelFactory makeModel;
    if (found != known.end()) {
        makeModel = found->second;
    } else if (strict) {
        throw TokenizerError::unsupportedTokenizer(name);
    } else {
        std::cout << "Warning: Tokenizer model class " << name
                  << " is not registered, falling back to a standard BPE implementation." << std::endl;
        makeModel = preTrainedTokenizerModelFactory<BPETokenizer>();
    }
    model_ = makeModel(tokenizerConfig, tokenizerData, addedTokenIds);
}

PreTrainedTokenizer::~PreTrainedTokenizer() = default;

std::optional<std::string> PreTrainedTokenizer::bosToken() const { return model_->bosToken(); }
std::optional<int64_t> PreTrainedTokenizer::bosTokenId() const { return model_->bosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::eosToken() const { return model_->eosToken(); }
std::optional<int64_t> PreTrainedTokenizer::eosTokenId() const { return model_->eosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::unknownToken() const { return model_->unknownToken(); }
std::optional<int64_t> PreTrainedTokenizer::unknownTokenId() const { return model_->unknownTokenId(); }
bool PreTrainedTokenizer::fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

std::optional<int64_t> PreTrainedTokenizer::convertTokenToId(std::string_view token) const {
    return model_->convertTokenToId(token);
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int64_t id) const {
    return model_->convertIdToToken(id);
}

// --- Pipeline steps

std::vector<std::string> PreTrainedTokenizer::preTokenize(std::string_view text, PreTokenizerOptions options) const {
    if (!preTokenizer_) {
        return {std::string(text)};
    }
    std::vector<std::string> pieces;
    pieces.reserve(text.size() / 4 + 1);  // prose has a piece every five bytes or so
    preTokenizer_->appendPreTokens(pieces, text, options);
    return pieces;
}

std::string PreTrainedTokenizer::normalize(std::string_view text) const {
    return normalizer_ ? normalizer_->normalize(text) : std::string(text);
}

std::vector<std::string> PreTrainedTokenizer::postProcess(const std::vector<std::string>& tokens,
                                                          bool addSpecialTokens) const {
    return postProcessor_ ? postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens) : tokens;
}

std::vector<std::string> PreTrainedTokenizer::decodeTokens(const std::vector<std::string>& tokens) const {
    return decoder_ ? decoder_->decode(tokens) : tokens;
}

std::string PreTrainedTokenizer::cleanUp(std::string_view input) const {
    if (!cleanUpTokenizationSpaces_) {
        return std::string(input);
    }
    static const std::pair<std::string_view, std::string_view> replacements[] = {
        {" .", "."},   {" ?", "?"},     {" !", "!"},     {" ,", ","},     {" ' ", "'"},
        {" n't", "n't"}, {" 'm", "'m"}, {" 's", "'s"}, {" 've", "'ve"}, {" 're", "'re"},
    };
    std::string out(input);
    for (const auto& [target, replacement] : replacements) {
        if (out.find(target) != std::string::npos) {
            out = text::replacingAll(out, target, replacement);
        }
    }
    return out;
}

std::vector<std::string> PreTrainedTokenizer::fuseUnknown(const std::vector<std::string>& tokens) const {
    std::optional<int64_t> unknownId = model_->unknownTokenId();
    std::vector<std::string> out;
    out.reserve(tokens.size());
    bool previousUnknown = false;
    for (const std::string& token : tokens) {
        bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!(unknown && previousUnknown)) {
            out.push_back(token);
        }
        previousUnknown = unknown;
    }
    return out;
}

// --- Encoding and decoding

void PreTrainedTokenizer::splitAtAddedTokens(std::string_view input,
                                             std::vector<std::pair<std::string_view, bool>>& sections) const {
    addedTokenMatcher_->split(input, sections);
}

std::vector<std::string> PreTrainedTokenizer::tokenize(std::string_view input) const {
    std::vector<std::string> tokens;
    tokenizeInto(input, &tokens, nullptr);
    return tokens;
}

// The pipeline behind tokenize, which also gives the tokens' ids when asked: encoding then needs no token
// strings. Ids are asked for only when no fusing of unknown tokens takes place.
void PreTrainedTokenizer::tokenizeInto(std::string_view input, std::vector<std::string>* tokens,
                                       std::vector<int64_t>* ids) const {
    std::vector<std::pair<std::string_view, bool>> sections;
    splitAtAddedTokens(input, sections);
    if (tokens) {
        tokens->reserve(input.size() / 4 + 1);
    }
    if (ids) {
        ids->reserve(input.size() / 4 + 1);
    }
    auto appendId = [&](const std::string& token, std::optional<int64_t> id) {
        if (!id) {
            throw TokenizerError::invalidDefinition("The token \"" + token +
                                                    "\" is not in the vocabulary, which has no unknown token");
        }
        ids->push_back(*id);
    };
    std::vector<std::string> sectionTokens;
    bool fuse = model_->fuseUnknownTokens();
    PieceCache& cache = PieceCache::forThread();
    PieceCache::PieceTokens uncached;
    for (size_t index = 0; index < sections.size(); ++index) {
        std::string_view section = sections[index].first;
        // The empty text is no added token, even when a definition has one with empty content.
        if (!section.empty() && addedTokens_.contains(std::string(section))) {
            if (tokens) {
                tokens->emplace_back(section);
            }
            if (ids) {
                appendId(std::string(section), model_->convertTokenToId(section));
            }
            continue;
        }
        PreTokenizerOptions options;
        if (index == 0) {
            options.insert(PreTokenizerOption::firstSection);
        }
        // Unknown tokens fuse within a section only, so a fusing model gathers each section apart.
        std::vector<std::string>* target = fuse && tokens ? &sectionTokens : tokens;
        sectionTokens.clear();
        for (const std::string& piece : preTokenize(normalize(section), options)) {
            const PieceCache::PieceTokens* pieceTokens = nullptr;
            uint64_t hash = hashBytes(piece);
            if (piece.size() <= PieceCache::maxPieceBytes) {
                pieceTokens = cache.find(cacheOwner_, hash, piece);
            }
            if (!pieceTokens) {
                uncached.tokens = model_->tokenize(piece);
                uncached.ids.clear();
                for (const std::string& token : uncached.tokens) {
                    uncached.ids.push_back(model_->convertTokenToId(token));
                }
                pieceTokens = piece.size() <= PieceCache::maxPieceBytes
                                  ? &cache.store(cacheOwner_, hash, piece, std::move(uncached))
                                  : &uncached;
            }
            if (target) {
                target->insert(target->end(), pieceTokens->tokens.begin(), pieceTokens->tokens.end());
            }
            if (ids) {
                for (size_t k = 0; k < pieceTokens->ids.size(); ++k) {
                    appendId(pieceTokens->tokens[k], pieceTokens->ids[k]);
                }
            }
        }
        if (fuse && tokens) {
            std::vector<std::string> fused = fuseUnknown(sectionTokens);
            std::move(fused.begin(), fused.end(), std::back_inserter(*tokens));
        }
    }
}

std::vector<int64_t> PreTrainedTokenizer::encode(std::string_view text) const { return encode(text, true); }

std::vector<int64_t> PreTrainedTokenizer::encode(std::string_view input, bool addSpecialTokens) const {
    std::vector<int64_t> ids;
    // This class's own pipeline with a post-processor that leaves the tokens as they are (or none): the ids
    // come straight from the pipeline. Subclasses may tokenize otherwise and take the general road.
    if (typeid(*this) == typeid(PreTrainedTokenizer) && !model_->fuseUnknownTokens() &&
        (!postProcessor_ || postProcessorKeepsTokens_)) {
        tokenizeInto(input, nullptr, &ids);
        return ids;
    }
    std::vector<std::string> tokens = postProcess(tokenize(input), addSpecialTokens);
    ids.reserve(tokens.size());
    for (const std::string& token : tokens) {
        std::optional<int64_t> id = model_->convertTokenToId(token);
        if (!id) {
            throw TokenizerError::invalidDefinition("The token \"" + token +
                                                    "\" is not in the vocabulary, which has no unknown token");
        }
        ids.push_back(*id);
    }
    return ids;
}

std::string PreTrainedTokenizer::decode(const std::vector<int64_t>& ids, bool skipSpecialTokens) const {
    std::vector<std::string> tokens;
    tokens.reserve(ids.size());
    for (int64_t id : ids) {
        if (skipSpecialTokens && specialTokenIds_.contains(id)) {
            continue;
        }
        if (std::optional<std::string> token = model_->convertIdToToken(id)) {
            tokens.push_back(std::move(*token));
        }
    }
    std::vector<std::string> decoded = decodeTokens(tokens);
    size_t size = 0;
    for (const std::string& piece : decoded) {
        size += piece.size();
    }
    std::string joined;
    joined.reserve(size);
    for (const std::string& piece : decoded) {
        joined += piece;
    }
    return cleanUp(joined);
}

// --- Chat templates

namespace {

// The tokenizer-configuration keys copied into every chat template's variables.
const std::vector<std::string>& specialTokenAttributes() {
    static const std::vector<std::string> keys = {"bos_token", "eos_token", "unk_token", "sep_token",
                                                  "pad_token", "cls_token", "mask_token", "additional_special_tokens"};
    return keys;
}

}  // namespace

bool PreTrainedTokenizer::hasChatTemplate() const { return !tokenizerConfig_["chatTemplate"].isNull(); }

size_t PreTrainedTokenizer::compiledChatTemplateCount() const {
    std::lock_guard lock(cacheLock_);
    return compiledChatTemplateCache_.size();
}

// Compiling is the costly step, so it runs outside the lock: two callers with the same new template may both
// compile it, and the first to store it wins.
std::shared_ptr<const jinja::Template> PreTrainedTokenizer::compiledTemplate(const std::string& source) const {
    {
        std::lock_guard lock(cacheLock_);
        auto found = compiledChatTemplateCache_.find(source);
        if (found != compiledChatTemplateCache_.end()) {
            return found->second;
        }
    }
    auto compiled = std::make_shared<const jinja::Template>(source, jinja::Template::Options{});
    std::lock_guard lock(cacheLock_);
    return compiledChatTemplateCache_.try_emplace(source, std::move(compiled)).first->second;
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages) const {
    return applyChatTemplate(messages, std::nullopt, true, false, std::nullopt, std::nullopt, std::nullopt);
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const std::optional<std::vector<ToolSpec>>& tools) const {
    return applyChatTemplate(messages, std::nullopt, true, false, std::nullopt, tools, std::nullopt);
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const std::optional<std::vector<ToolSpec>>& tools,
                                                            const std::optional<Message>& additionalContext) const {
    return applyChatTemplate(messages, std::nullopt, true, false, std::nullopt, tools, additionalContext);
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const ChatTemplateArgument& chatTemplate) const {
    return applyChatTemplate(messages, chatTemplate, true, false, std::nullopt, std::nullopt, std::nullopt);
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const std::string& chatTemplate) const {
    return applyChatTemplate(messages, ChatTemplateArgument::literal(chatTemplate));
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const std::optional<ChatTemplateArgument>& chatTemplate,
                                                            bool addGenerationPrompt, bool truncation,
                                                            std::optional<int64_t> maxLength,
                                                            const std::optional<std::vector<ToolSpec>>& tools) const {
    return applyChatTemplate(messages, chatTemplate, addGenerationPrompt, truncation, maxLength, tools, std::nullopt);
}

std::vector<int64_t> PreTrainedTokenizer::applyChatTemplate(const std::vector<Message>& messages,
                                                            const std::optional<ChatTemplateArgument>& chatTemplate,
                                                            bool addGenerationPrompt, bool truncation,
                                                            std::optional<int64_t> maxLength,
                                                            const std::optional<std::vector<ToolSpec>>& tools,
                                                            const std::optional<Message>& additionalContext) const {
    std::string source;
    if (chatTemplate && chatTemplate->kind() == ChatTemplateArgument::Case::literal) {
        source = chatTemplate->value();
    } else {
        hub::Config configured = tokenizerConfig_["chatTemplate"];
        if (std::optional<std::string> single = configured.string()) {
            source = *single;
        } else if (const hub::Config::Array* entries = configured.array()) {
            // Named templates; a name given twice keeps its last template.
            std::unordered_map<std::string, std::string> named;
            for (const hub::Config& entry : *entries) {
                std::optional<std::string> name = entry["name"].string();
                std::optional<std::string> body = entry["template"].string();
                if (name && body) {
                    named[*name] = *body;
                }
            }
            if (chatTemplate) {
                auto found = named.find(chatTemplate->value());
                if (found == named.end()) {
                    throw TokenizerError::chatTemplate("No chat template named \"" + chatTemplate->value() +
                                                       "\" was found in the tokenizer config");
                }
                source = found->second;
            } else if (auto toolUse = named.find("tool_use"); tools && !tools->empty() && toolUse != named.end()) {
                source = toolUse->second;
            } else if (auto fallback = named.find("default"); fallback != named.end()) {
                source = fallback->second;
            } else {
                throw TokenizerError::missingChatTemplate();
            }
        } else {
            throw TokenizerError::missingChatTemplate();
        }
    }
    std::shared_ptr<const jinja::Template> compiled = compiledTemplate(source);

    jinja::Template::Context context;
    jinja::ValueArray messageValues;
    messageValues.reserve(messages.size());
    for (const Message& message : messages) {
        messageValues.push_back(jinja::Value::fromAny(std::any(message)));
    }
    context.set("messages", jinja::Value(std::move(messageValues)));
    context.set("add_generation_prompt", jinja::Value(addGenerationPrompt));
    if (tools) {
        jinja::ValueArray toolValues;
        for (const ToolSpec& tool : *tools) {
            toolValues.push_back(jinja::Value::fromAny(std::any(tool)));
        }
        context.set("tools", jinja::Value(std::move(toolValues)));
    }
    if (additionalContext) {
        for (const auto& [key, value] : *additionalContext) {
            context.set(key, jinja::Value::fromAny(value));
        }
    }
    if (const hub::Config::Dictionary* entries = tokenizerConfig_.dictionary()) {
        for (const std::string& key : specialTokenAttributes()) {
            auto found = entries->find(hub::BinaryDistinctString(key));
            if (found == entries->end() || found->second.isNull()) {
                continue;
            }
            const hub::Config& value = found->second;
            if (std::optional<std::string> textValue = value.string()) {
                context.set(key, jinja::Value(*textValue));
            } else if (value.isArray()) {
                jinja::ValueArray items;
                for (const std::string& item : value.get<std::vector<std::string>>().value_or(std::vector<std::string>{})) {
                    items.emplace_back(item);
                }
                context.set(key, jinja::Value(std::move(items)));
            } else if (value.isDictionary()) {
                if (std::optional<std::string> content = value["content"].string()) {
                    context.set(key, jinja::Value(*content));
                }
            } else {
                // Numbers and the like are no token text: the template engine refuses them.
                context.set(key, jinja::Value::fromAny(std::any(value)));
            }
        }
    }

    std::vector<int64_t> ids = encode(compiled->render(context), false);
    if (truncation) {
        int64_t limit = maxLength.value_or(static_cast<int64_t>(ids.size()));
        if (std::optional<int64_t> modelMaxLength = tokenizerConfig_["modelMaxLength"].integer()) {
            limit = std::min(limit, *modelMaxLength);
        }
        // A negative limit keeps nothing.
        limit = std::max<int64_t>(limit, 0);
        if (static_cast<int64_t>(ids.size()) > limit) {
            ids.resize(static_cast<size_t>(limit));
        }
    }
    return ids;
}

// --- Model and class tables

const std::unordered_map<std::string, PreTrainedTokenizerModelFactory>& TokenizerModel::knownTokenizers() {
    static const std::unordered_map<std::string, PreTrainedTokenizerModelFactory> table = [] {
        auto bpe = preTrainedTokenizerModelFactory<BPETokenizer>();
        auto unigram = preTrainedTokenizerModelFactory<UnigramTokenizer>();
        return std::unordered_map<std::string, PreTrainedTokenizerModelFactory>{
            {"BertTokenizer", preTrainedTokenizerModelFactory<BertTokenizer>()},
            {"CodeGenTokenizer", bpe},
            {"CodeLlamaTokenizer", bpe},
            {"CohereTokenizer", bpe},
            {"FalconTokenizer", bpe},
            {"GemmaTokenizer", bpe},
            {"GPT2Tokenizer", bpe},
            {"LlamaTokenizer", bpe},
            {"RobertaTokenizer", bpe},
            {"T5Tokenizer", preTrainedTokenizerModelFactory<T5Tokenizer>()},
            {"TokenizersBackend", bpe},
            {"PreTrainedTokenizer", bpe},
            {"Qwen2Tokenizer", bpe},
            {"WhisperTokenizer", bpe},
            {"XLMRobertaTokenizer", unigram},
            {"Xlm-RobertaTokenizer", unigram},
        };
    }();
    return table;
}

namespace {

hub::Config llamaTokenizerData(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData) {
    hub::Config data = tokenizerData.isDictionary() ? tokenizerData : hub::Config(hub::Config::Dictionary{});
    if (!tokenizerConfig["legacy"].boolean(true)) {
        data.mutableDictionary()->erase(hub::BinaryDistinctString("normalizer"));
        data.set("pre_tokenizer", hub::Config(hub::Config::Pairs{{"type", "Metaspace"},
                                                                 {"replacement", "\u2581"},
                                                                 {"add_prefix_space", true},
                                                                 {"prepend_scheme", "first"}}));
    }
    if (std::optional<hub::Config> processor = maybeUpdatePostProcessor(tokenizerConfig, tokenizerData["postProcessor"])) {
        data.set("post_processor", std::move(*processor));
    }
    return data;
}

}  // namespace

LlamaPreTrainedTokenizer::LlamaPreTrainedTokenizer(const hub::Config& tokenizerConfig,
                                                   const hub::Config& tokenizerData, bool strict)
    : PreTrainedTokenizer(tokenizerConfig, llamaTokenizerData(tokenizerConfig, tokenizerData), strict),
      isLegacy_(tokenizerConfig["legacy"].boolean(true)) {}

std::vector<std::string> LlamaPreTrainedTokenizer::tokenize(std::string_view input) const {
    if (isLegacy_ || input.empty()) {
        return PreTrainedTokenizer::tokenize(input);
    }
    std::vector<std::string> tokens =
        PreTrainedTokenizer::tokenize("\u2581" + text::replacingAll(input, "\u2581", " "));
    if (tokens.size() >= 2 && tokens[0] == "\u2581" && specialTokens().contains(tokens[1])) {
        tokens.erase(tokens.begin());
    }
    return tokens;
}

std::optional<hub::Config> maybeUpdatePostProcessor(const hub::Config& tokenizerConfig,
                                                    const std::optional<hub::Config>& processorConfig) {
    if (PostProcessorFactory::fromConfig(processorConfig) &&
        (*processorConfig)["type"].string() == std::optional<std::string>("TemplateProcessing")) {
        return std::nullopt;
    }
    bool addBos = tokenizerConfig["addBosToken"].boolean(false);
    std::optional<std::string> bos = tokenContent(tokenizerConfig["bosToken"]);
    if (addBos && !bos) {
        throw TokenizerError::mismatchedConfig("add_bos_token is True but bos_token is nil");
    }
    bool addEos = tokenizerConfig["addEosToken"].boolean(false);
    std::optional<std::string> eos = tokenContent(tokenizerConfig["eosToken"]);
    if (addEos && !eos) {
        throw TokenizerError::mismatchedConfig("add_eos_token is True but eos_token is nil");
    }
    auto item = [](const char* kind, const std::string& id, int typeId) {
        return hub::Config(hub::Config::Pairs{{kind, hub::Config(hub::Config::Pairs{{"id", id}, {"type_id", typeId}})}});
    };
    hub::Config::Array single;
    if (addBos) single.push_back(item("SpecialToken", *bos, 0));
    single.push_back(item("Sequence", "A", 0));
    if (addEos) single.push_back(item("SpecialToken", *eos, 0));
    hub::Config::Array pair = single;
    if (addBos) pair.push_back(item("SpecialToken", *bos, 1));
    pair.push_back(item("Sequence", "B", 1));
    if (addEos) pair.push_back(item("SpecialToken", *eos, 1));
    return hub::Config(hub::Config::Pairs{
        {"type", "TemplateProcessing"}, {"single", hub::Config(std::move(single))}, {"pair", hub::Config(std::move(pair))}});
}

const std::unordered_map<std::string, PreTrainedTokenizerFactory>& PreTrainedTokenizerClasses::tokenizerClasses() {
    static const std::unordered_map<std::string, PreTrainedTokenizerFactory> table = {
        {"LlamaTokenizer",
         [](const hub::Config& config, const hub::Config& data, bool strict) -> std::shared_ptr<PreTrainedTokenizer> {
             return std::make_shared<LlamaPreTrainedTokenizer>(config, data, strict);
         }},
    };
    return table;
}

std::shared_ptr<Tokenizer> AutoTokenizer::from(const hub::Config& tokenizerConfig, const hub::Config& tokenizerData,
                                               bool strict) {
    if (std::optional<std::string> tokenizerClass = tokenizerConfig["tokenizerClass"].string()) {
        const auto& classes = PreTrainedTokenizerClasses::tokenizerClasses();
        auto found = classes.find(withoutFast(*tokenizerClass));
        if (found != classes.end()) {
            return found->second(tokenizerConfig, tokenizerData, strict);
        }
    }
    return std::make_shared<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
}

namespace {

std::shared_ptr<Tokenizer> fromConfigurations(const hub::LanguageModelConfigurationFromHub& configuration,
                                              bool strict, bool consultClasses) {
    std::optional<hub::Config> tokenizerConfig = configuration.tokenizerConfig();
    if (!tokenizerConfig) {
        throw TokenizerError::missingConfig();
    }
    hub::Config tokenizerData = configuration.tokenizerData();
    if (consultClasses) {
        return AutoTokenizer::from(*tokenizerConfig, tokenizerData, strict);
    }
    return std::make_shared<PreTrainedTokenizer>(*tokenizerConfig, tokenizerData, strict);
}

}  // namespace

std::shared_ptr<Tokenizer> AutoTokenizer::from(const std::string& pretrained, const hub::HubApi& hubApi, bool strict) {
    return fromConfigurations(hub::LanguageModelConfigurationFromHub(pretrained, "main", hubApi), strict, true);
}

std::shared_ptr<Tokenizer> AutoTokenizer::fromModelFolder(const std::filesystem::path& modelFolder,
                                                          const hub::HubApi& hubApi, bool strict) {
    return fromConfigurations(hub::LanguageModelConfigurationFromHub(modelFolder, hubApi), strict, false);
}

}  // namespace tokenizers
