#include <gtest/gtest.h>

#include "HubServer/HubServer.hpp"
#include "Hub/Hub.hpp"
#include "Hub/LanguageModelConfigurationFromHub.hpp"

using hub::Config;
using hub::HubApi;
using hub::LanguageModelConfigurationFromHub;
using hub::Hub::HubClientError;
using hubtest::HubServer;
using hubtest::TemporaryFolder;

namespace {

const char* tokenizerJSON = R"({"model": {"type": "BPE", "vocab": {"a": 0}}})";

// The error the load ended with, as the tokenizer definition's getter reports it.
HubClientError errorOf(const LanguageModelConfigurationFromHub& configuration) {
    try {
        configuration.tokenizerData();
    } catch (const HubClientError& error) {
        return error;
    }
    throw std::runtime_error("the load did not fail");
}

// A model folder and, beside it, a resource bundle with fallback configurations.
class ConfigurationLoader : public ::testing::Test {
protected:
    TemporaryFolder root;
    std::filesystem::path folder() const { return root.path() / "model"; }
    std::filesystem::path bundle() const { return root.path() / "bundle"; }

    void SetUp() override { std::filesystem::create_directories(bundle()); }
    void write(const std::string& name, const std::string& contents) const { root.write("model/" + name, contents); }
    void writeFallback(const std::string& name, const std::string& contents) const {
        root.write("bundle/" + name, contents);
    }
    LanguageModelConfigurationFromHub load() const {
        return LanguageModelConfigurationFromHub(folder(), HubApi(), bundle());
    }
};

TEST_F(ConfigurationLoader, OnlyTheTokenizerDefinition) {
    write("tokenizer.json", tokenizerJSON);
    writeFallback("bert_tokenizer_config.json", R"({"tokenizer_class": "BertTokenizer"})");
    auto configuration = load();
    EXPECT_EQ(configuration.tokenizerData()["model"]["type"].string(), "BPE");
    EXPECT_EQ(configuration.modelConfig(), std::nullopt);
    EXPECT_EQ(configuration.modelType(), std::nullopt);
    EXPECT_EQ(configuration.tokenizerConfig(), std::nullopt);
}

TEST_F(ConfigurationLoader, TheTokenizerDefinitionIsRequired) {
    write("config.json", R"({"model_type": "bert"})");
    write("tokenizer_config.json", R"({"tokenizer_class": "BertTokenizer"})");
    write("chat_template.jinja", "{{ x }}");
    auto configuration = load();
    HubClientError error = errorOf(configuration);
    EXPECT_EQ(error.errorCase(), HubClientError::Case::configurationMissing);
    EXPECT_EQ(error.localizedDescription(), "Required configuration file missing: tokenizer.json");
    // Every getter sees the same failure.
    EXPECT_THROW(configuration.modelConfig(), HubClientError);
    EXPECT_THROW(configuration.tokenizerConfig(), HubClientError);
    EXPECT_THROW(configuration.modelType(), HubClientError);
}

TEST_F(ConfigurationLoader, UnparsableAndUnreadableFiles) {
    write("tokenizer.json", tokenizerJSON);
    write("config.json", "{\"model_type\": ");
    HubClientError error = errorOf(load());
    EXPECT_EQ(error.errorCase(), HubClientError::Case::jsonSerialization);
    EXPECT_EQ(error.fileURL(), folder() / "config.json");
    EXPECT_TRUE(error.localizedDescription().starts_with("JSON parsing failed for file://" + folder().string() +
                                                         "/config.json: yyjson read failed (code "))
        << error.localizedDescription();
    EXPECT_TRUE(error.localizedDescription().ends_with(". If this is a private model, verify that BM_TOKEN is set."));

    // A "file" that exists but cannot be read.
    std::filesystem::remove(folder() / "config.json");
    std::filesystem::create_directories(folder() / "tokenizer_config.json");
    EXPECT_EQ(errorOf(load()).errorCase(), HubClientError::Case::fileSystemError);
}

TEST_F(ConfigurationLoader, ANamedTokenizerClassIsKeptUnchanged) {
    write("tokenizer.json", tokenizerJSON);
    write("config.json", R"({"model_type": "bert"})");
    write("tokenizer_config.json", R"({"tokenizer_class": "MyTokenizer", "do_lower_case": true})");
    writeFallback("bert_tokenizer_config.json", R"({"tokenizer_class": "BertTokenizer"})");
    auto configuration = load();
    EXPECT_EQ(configuration.modelType(), "bert");
    std::optional<Config> config = configuration.tokenizerConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->dictionary()->size(), 2u);
    EXPECT_EQ((*config)["tokenizerClass"].string(), "MyTokenizer");
}

TEST_F(ConfigurationLoader, ChatTemplates) {
    write("tokenizer.json", tokenizerJSON);
    write("tokenizer_config.json", R"({"tokenizer_class": "T", "chat_template": "old"})");
    write("chat_template.jinja", "{% for m in messages %}{{ m }}{% endfor %}");
    write("chat_template.json", "not json");  // never read while the .jinja file exists
    EXPECT_EQ((*load().tokenizerConfig())["chatTemplate"].string(), "{% for m in messages %}{{ m }}{% endfor %}");

    std::filesystem::remove(folder() / "chat_template.jinja");
    write("chat_template.json", R"({"chat_template": "from json"})");
    EXPECT_EQ((*load().tokenizerConfig())["chatTemplate"].string(), "from json");

    // Malformed, or a member that is not a string: no template, no error.
    for (const char* json : {"{", R"({"chat_template": 3})"}) {
        write("chat_template.json", json);
        EXPECT_EQ((*load().tokenizerConfig())["chatTemplate"].string(), "old") << json;
    }
}

TEST_F(ConfigurationLoader, AChatTemplateWithoutTokenizerConfigurationIsCompletedFromTheModelType) {
    write("tokenizer.json", tokenizerJSON);
    write("config.json", R"({"model_type": "whisper"})");
    write("chat_template.jinja", "T");
    std::optional<Config> config = load().tokenizerConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->description(), "{[chat_template: \"T\", tokenizer_class: \"WhisperTokenizer\"]}");
}

TEST_F(ConfigurationLoader, ClassNameMadeFromTheModelType) {
    write("tokenizer.json", tokenizerJSON);
    write("tokenizer_config.json", R"({"tokenizer_class": null, "do_lower_case": false})");
    const std::pair<const char*, const char*> cases[] = {
        {"whisper", "WhisperTokenizer"},
        {"xlm-roberta", "Xlm-RobertaTokenizer"},
        {"GPT2", "Gpt2Tokenizer"},
        {"some.type", "Some.typeTokenizer"},  // no fallback can exist for it; the name is still made
    };
    for (auto [type, className] : cases) {
        write("config.json", std::string(R"({"model_type": ")") + type + "\"}");
        std::optional<Config> config = load().tokenizerConfig();
        ASSERT_TRUE(config) << type;
        EXPECT_EQ((*config)["tokenizerClass"].string(), className);
        EXPECT_EQ((*config)["doLowerCase"].boolean(), false);
    }
    // Without a model type the loaded configuration comes back as it is.
    write("config.json", R"({"model_type": 3})");
    EXPECT_TRUE((*load().tokenizerConfig())["tokenizerClass"].isNull());
}

TEST_F(ConfigurationLoader, FallbackValuesWinAndLoadedKeysAreAdded) {
    write("tokenizer.json", tokenizerJSON);
    write("config.json", R"({"model_type": "bert"})");
    write("tokenizer_config.json", R"({"do_lower_case": false, "model_max_length": 512})");
    writeFallback("bert_tokenizer_config.json", R"({"tokenizer_class": "BertTokenizer", "do_lower_case": true})");
    std::optional<Config> config = load().tokenizerConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->description(),
              "{[do_lower_case: true, model_max_length: 512, tokenizer_class: \"BertTokenizer\"]}");
    // Booleans of the fallback stay booleans.
    EXPECT_EQ((*config)["doLowerCase"].kind(), Config::Kind::boolean);

    // No tokenizer configuration at all: the fallback alone.
    std::filesystem::remove(folder() / "tokenizer_config.json");
    EXPECT_EQ((*load().tokenizerConfig())["tokenizerClass"].string(), "BertTokenizer");
}

TEST_F(ConfigurationLoader, FallbackNamesStayInsideTheBundle) {
    // A file a model type could reach by climbing out of the bundle.
    root.write("evil_tokenizer_config.json", R"({"tokenizer_class": "Evil"})");
    for (const char* type : {"../evil", "a/b", "a b", "a.b", ""})
        EXPECT_EQ(LanguageModelConfigurationFromHub::fallbackTokenizerConfig(type, bundle()), std::nullopt) << type;
    writeFallback("m\xC3\xA9-x_2_tokenizer_config.json", R"({"a": 1})");
    EXPECT_TRUE(LanguageModelConfigurationFromHub::fallbackTokenizerConfig("m\xC3\xA9-x_2", bundle()));
}

TEST_F(ConfigurationLoader, BrokenFallbacksArePrintedNotThrown) {
    writeFallback("bad_tokenizer_config.json", "{");
    writeFallback("list_tokenizer_config.json", "[1]");
    testing::internal::CaptureStdout();
    EXPECT_EQ(LanguageModelConfigurationFromHub::fallbackTokenizerConfig("bad", bundle()), std::nullopt);
    EXPECT_EQ(LanguageModelConfigurationFromHub::fallbackTokenizerConfig("list", bundle()), std::nullopt);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Error loading fallback tokenizer config: "), std::string::npos);
    EXPECT_NE(printed.find("Error loading fallback tokenizer config: Parse error: Failed to parse fallback tokenizer config\n"),
              std::string::npos)
        << printed;
}

TEST_F(ConfigurationLoader, AMissingResourceBundleIsLoggedNotFatal) {
    testing::internal::CaptureStderr();
    auto located = LanguageModelConfigurationFromHub::locateResourceBundle(root.path() / "one", root.path() / "two");
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(located, std::nullopt);
    EXPECT_EQ(logged, "could not load resource bundle: from " + (root.path() / "one").string() + " or " +
                          (root.path() / "two").string() + "\n");
    EXPECT_EQ(LanguageModelConfigurationFromHub::locateResourceBundle(root.path() / "one", bundle()), bundle());
    // The module's own bundle is found in the source tree, so tests never see the line above.
    EXPECT_TRUE(LanguageModelConfigurationFromHub::resourceBundle());
}

// --- By repository, through the loopback stand-in of the hosting service.

class RepositoryConfigurationLoader : public ::testing::Test {
protected:
    TemporaryFolder repos;
    TemporaryFolder cache;
    HubApi api(const HubServer& server) const {
        return HubApi(HubApi::Params{.downloadBase = cache.path(), .bmToken = "", .endpoint = server.baseURL(),
                                     .useOfflineMode = false});
    }
};

// One server for all cases: stopping one takes as long as the client keeps its connection alive.
TEST_F(RepositoryConfigurationLoader, FetchesOnlyTheConfigurationFilesAndReportsFailures) {
    repos.write("owner/model/config.json", R"({"model_type": "whisper"})");
    repos.write("owner/model/tokenizer.json", tokenizerJSON);
    repos.write("owner/model/chat_template.jinja", "{{ m }}");
    repos.write("owner/model/model.bin", "weights");
    repos.write("owner/model/sub/config.json", "{}");
    repos.write("owner/untokenized/config.json", "{}");
    HubServer server{{.root = repos.path()}};

    LanguageModelConfigurationFromHub configuration("owner/model", "main", api(server));
    EXPECT_EQ(configuration.modelType(), "whisper");
    EXPECT_EQ(configuration.tokenizerData()["model"]["type"].string(), "BPE");
    std::optional<Config> config = configuration.tokenizerConfig();
    ASSERT_TRUE(config);
    EXPECT_EQ((*config)["chatTemplate"].string(), "{{ m }}");
    EXPECT_EQ((*config)["tokenizerClass"].string(), "WhisperTokenizer");

    std::filesystem::path local = cache.path() / "models" / "owner" / "model";
    EXPECT_TRUE(std::filesystem::exists(local / "tokenizer.json"));
    EXPECT_FALSE(std::filesystem::exists(local / "model.bin"));
    EXPECT_FALSE(std::filesystem::exists(local / "sub"));

    // Every getter sees the load's failure.
    LanguageModelConfigurationFromHub missing("owner/untokenized", "main", api(server));
    EXPECT_EQ(errorOf(missing).errorCase(), HubClientError::Case::configurationMissing);
    EXPECT_THROW(missing.tokenizerConfig(), HubClientError);

    // A listing the service refuses: its error passes unchanged.
    server.addFault({.kind = HubServer::Fault::Kind::status, .status = 404, .pathContains = "/api/"});
    LanguageModelConfigurationFromHub absent("owner/other", "main", api(server));
    EXPECT_EQ(errorOf(absent).errorCase(), HubClientError::Case::fileNotFound);
}

// The caller falls back to the hub when its local copy does not load; with the hub out of reach, the damaged
// file is what the caller must hear about.
TEST_F(RepositoryConfigurationLoader, ADamagedLocalTokenizerIsReportedWhenTheHubCannotBeReached) {
    cache.write("models/owner/model/tokenizer.json", "{\"model\": {\"type\": \"BP");
    const HubApi unreachable(HubApi::Params{.downloadBase = cache.path(), .bmToken = "",
                                            .endpoint = "http://127.0.0.1:1", .useOfflineMode = false});
    LanguageModelConfigurationFromHub configuration("owner/model", "main", unreachable);
    const HubClientError error = errorOf(configuration);
    EXPECT_EQ(error.errorCase(), HubClientError::Case::jsonSerialization) << error.describe();
    EXPECT_EQ(error.fileURL(), cache.path() / "models" / "owner" / "model" / "tokenizer.json");

    // Without a local copy the hub's failure stays the one reported.
    LanguageModelConfigurationFromHub absent("owner/other", "main", unreachable);
    EXPECT_EQ(errorOf(absent).errorCase(), HubClientError::Case::downloadError);
}

}  // namespace
