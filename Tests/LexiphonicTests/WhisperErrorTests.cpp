#include <gtest/gtest.h>

#include "Lexiphonic/Utilities/WhisperError.hpp"
#include "LogCapture.hpp"

using namespace lexiphonic;
using lexiphonic::testing::LogCapture;

TEST(WhisperErrorTests, EqualityCodesAndTextualForm) {
    EXPECT_EQ(WhisperError::modelsUnavailable("gone"), WhisperError::modelsUnavailable("gone"));
    EXPECT_FALSE(WhisperError::modelsUnavailable("gone") == WhisperError::transcriptionFailed("gone"));
    EXPECT_FALSE(WhisperError::modelsUnavailable("gone") == WhisperError::modelsUnavailable("Gone"));

    EXPECT_EQ(WhisperError::tokenizerUnavailable("").code(), 0);
    EXPECT_EQ(WhisperError::loadAudioFailed("any").code(), 6);
    EXPECT_EQ(WhisperError::initializationError("").code(), 11);
    EXPECT_EQ(WhisperError::errorDomain, "Lexiphonic.WhisperError");

    auto error = WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    EXPECT_EQ(error.describe(), "tokenizerUnavailable(\"Tokenizer is unavailable\")");
    EXPECT_STREQ(error.what(), "tokenizerUnavailable(\"Tokenizer is unavailable\")");
    EXPECT_EQ(WhisperError::decodingFailed("").localizedDescription(), "");
}

TEST(WhisperErrorTests, EveryDescriptionReadIsLogged) {
    auto error = WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
    {
        LogCapture capture(pellux::Logging::LogLevel::error);
        EXPECT_EQ(error.errorDescription(), "Unable to determine kvCacheEmbedDim");
        EXPECT_EQ(error.localizedDescription(), "Unable to determine kvCacheEmbedDim");
        EXPECT_EQ(capture.messages, std::vector<std::string>(2, "Unable to determine kvCacheEmbedDim"));
        (void)error.what();  // the textual form logs nothing
        EXPECT_EQ(capture.messages.size(), 2u);
    }
    LogCapture silent(pellux::Logging::LogLevel::none);
    error.localizedDescription();
    EXPECT_TRUE(silent.messages.empty());
}
