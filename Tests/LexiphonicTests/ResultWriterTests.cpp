#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include "Lexiphonic/Utilities/ResultWriter.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/UUID.hpp"

using namespace lexiphonic;
namespace fs = std::filesystem;

namespace {

class ResultWriterTests : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("lexiphonic writer " + foundation::UUID().uuidString());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string read(const std::string& name) { return foundation::readFile(dir / name); }

    fs::path dir;
};

WordTiming word(std::string text, float start, float end) { return WordTiming{std::move(text), {}, start, end, 1}; }

TranscriptionSegment segment(float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.words = std::move(words);
    return s;
}

TranscriptionResult result(std::vector<TranscriptionSegment> segments) {
    return TranscriptionResult("text", std::move(segments), "en", TranscriptionTimings());
}

}  // namespace

TEST(ResultWritingTests, FormatTime) {
    WriteSRT writer("/tmp");
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float seconds;
        bool hours;
        const char* marker;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0.5f, true, ",", "00:00:00,500"},
        {0.5f, false, ".", "00:00.500"},
        {3725.25f, true, ",", "01:02:05,250"},
        {3725.25f, false, ".", "01:02:05.250"},  // hours appear once there are any
        {1.9996f, false, ".", "00:01.999"},      // milliseconds are cut, not rounded
        {59.0f, false, ".", "00:59.000"},
        {360000.0f, true, ",", "100:00:00,000"},
        // Times with no clock reading fall back to zero in the same layout.
        {std::nanf(""), true, ",", "00:00:00,000"},
        {inf, false, ".", "00:00.000"},
        {-inf, true, ",", "00:00:00,000"},
        {3e38f, false, ".", "00:00.000"},
    };
    for (const auto& c : cases) EXPECT_EQ(writer.formatTime(c.seconds, c.hours, c.marker), c.expected) << c.seconds;

    EXPECT_EQ(writer.formatSegment(7, 0.5f, 1.25f, "hi"), "7\n00:00:00,500 --> 00:00:01,250\nhi\n\n");
    EXPECT_EQ(writer.formatTiming(0.5f, 61.0f, "hi"), "00:00.500 --> 01:01.000\nhi\n\n");
}

TEST(ResultWritingTests, HelpersUseTheAdoptersFormatTime) {
    struct Custom : WriteVTT {
        using WriteVTT::WriteVTT;
        std::string formatTime(float seconds, bool, const std::string&) const override {
            return "<" + std::to_string(static_cast<int>(seconds)) + ">";
        }
    };
    Custom writer("/tmp");
    EXPECT_EQ(writer.formatTiming(1, 2, "x"), "<1> --> <2>\nx\n\n");
    EXPECT_EQ(writer.formatSegment(1, 1, 2, "x"), "1\n<1> --> <2>\nx\n\n");
}

TEST_F(ResultWriterTests, SubRipAndWebVTTCues) {
    auto r = result({segment(0, 2, " three words", std::vector{word(" three", 0, 0.5f), word(" little", 0.5f, 1),
                                                              word(" words", 1, 2)}),
                     segment(2, 3.5f, " plain"), segment(3.5f, 4, " empty words", std::vector<WordTiming>{})});
    auto srt = WriteSRT(dir.string()).write(r, "out");
    ASSERT_TRUE(srt.isSuccess());
    EXPECT_EQ(read("out.srt"),
              "1\n00:00:00,000 --> 00:00:00,500\n three\n\n"
              "2\n00:00:00,500 --> 00:00:01,000\n little\n\n"
              "3\n00:00:01,000 --> 00:00:02,000\n words\n\n"
              "4\n00:00:02,000 --> 00:00:03,500\n plain\n\n"
              "5\n00:00:03,500 --> 00:00:04,000\n empty words\n\n");
    auto vtt = WriteVTT(dir.string()).write(r, "out");
    ASSERT_TRUE(vtt.isSuccess());
    EXPECT_EQ(read("out.vtt"),
              "WEBVTT\n\n"
              "00:00.000 --> 00:00.500\n three\n\n"
              "00:00.500 --> 00:01.000\n little\n\n"
              "00:01.000 --> 00:02.000\n words\n\n"
              "00:02.000 --> 00:03.500\n plain\n\n"
              "00:03.500 --> 00:04.000\n empty words\n\n");

    // The URL is the written file's, with the space in the folder name escaped.
    auto expectedPath = (dir / "out.vtt").string();
    EXPECT_EQ(vtt.url().rfind("file:///", 0), 0u);
    EXPECT_NE(vtt.url().find("lexiphonic%20writer%20"), std::string::npos);
    EXPECT_EQ(vtt.url().substr(vtt.url().size() - 8), "/out.vtt");
}

TEST_F(ResultWriterTests, EmptyResultAndJSON) {
    auto empty = result({});
    ASSERT_TRUE(WriteSRT(dir.string()).write(empty, "none").isSuccess());
    ASSERT_TRUE(WriteVTT(dir.string()).write(empty, "none").isSuccess());
    EXPECT_EQ(read("none.srt"), "");
    EXPECT_EQ(read("none.vtt"), "WEBVTT\n\n");

    auto json = WriteJSON(dir.string()).write(result({segment(0, 1, "a/b")}), "result");
    ASSERT_TRUE(json.isSuccess());
    auto text = read("result.json");
    EXPECT_EQ(text.rfind("{\n  \"text\" : \"text\",\n  \"segments\" : [\n    {\n", 0), 0u) << text;
    EXPECT_NE(text.find("\"text\" : \"a\\/b\""), std::string::npos);
    EXPECT_NE(text.find("\"seekTime\" : null\n}"), std::string::npos);
    auto back = TranscriptionResult::decode(foundation::JSONDocument::parse(text).root());
    EXPECT_EQ(back->segments().front().text, "a/b");
    // Nothing but the result is left in the folder: the file was moved into place whole.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
}

TEST_F(ResultWriterTests, FoldersAreNotCreated) {
    fs::create_directory(dir / "sub");
    auto nested = WriteSRT(dir.string()).write(result({segment(0, 1, "x")}), "sub/name");
    ASSERT_TRUE(nested.isSuccess());
    EXPECT_TRUE(fs::exists(dir / "sub" / "name.srt"));

    // A missing folder, or a missing subfolder named in the base name, fails with the file error.
    const auto missing = (dir / "missing").string();
    std::vector<std::pair<std::unique_ptr<ResultWriting>, std::string>> cases;
    cases.emplace_back(std::make_unique<WriteJSON>(missing), "x");
    cases.emplace_back(std::make_unique<WriteSRT>(missing), "x");
    cases.emplace_back(std::make_unique<WriteVTT>(dir.string()), "missing/x");
    for (const auto& [writer, name] : cases) {
        auto failed = writer->write(result({}), name);
        ASSERT_FALSE(failed.isSuccess()) << name;
        EXPECT_THROW(std::rethrow_exception(failed.error()), foundation::Error);
    }
    EXPECT_FALSE(fs::exists(dir / "missing"));
}
