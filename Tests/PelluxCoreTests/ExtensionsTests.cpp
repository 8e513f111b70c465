#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "PelluxCore/FileUtilities.hpp"
#include "PelluxCore/FoundationExtensions.hpp"
#include "Platform/Foundation/Files.hpp"
#include "TemporaryFolder.hpp"

namespace pellux {
namespace {

namespace fs = std::filesystem;

using pelluxtests::TemporaryFolder;

TEST(RoundedTest, HalvesAwayFromZeroAtAnyPlace) {
    struct Case {
        float value;
        int64_t places;
        float expected;
    };
    const Case cases[] = {
        {1.5f, 0, 2.0f},       {2.5f, 0, 3.0f},    {-1.5f, 0, -2.0f},   {0.125f, 2, 0.13f},
        {-0.125f, 2, -0.13f},  {1.23456f, 3, 1.235f}, {1250.0f, -2, 1300.0f}, {0.0f, 4, 0.0f},
    };
    for (const auto& c : cases) EXPECT_FLOAT_EQ(rounded(c.value, c.places), c.expected) << c.value << " @" << c.places;
    EXPECT_EQ(rounded(1.25f, 1), 1.3f);
}

TEST(ResolveAbsolutePathTest, TildeAbsoluteAndRelative) {
    const std::string home = foundation::homeDirectory().string();
    const std::string cwd = fs::current_path().string();
    EXPECT_EQ(resolveAbsolutePath("~/models/tiny"), home + "/models/tiny");
    EXPECT_EQ(resolveAbsolutePath("/opt/a/../b"), "/opt/a/../b");
    EXPECT_EQ(resolveAbsolutePath("name"), cwd + "/name");
    EXPECT_EQ(resolveAbsolutePath("../up/./here/"), cwd + "/../up/./here");
}

TEST(BatchedTest, ConsecutiveBatchesWithRemainder) {
    const std::vector<int> five = {1, 2, 3, 4, 5};
    EXPECT_EQ(batched(five, 2), (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
    EXPECT_EQ(batched(five, 5), (std::vector<std::vector<int>>{{1, 2, 3, 4, 5}}));
    EXPECT_EQ(batched(five, 9), (std::vector<std::vector<int>>{{1, 2, 3, 4, 5}}));
    EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
    EXPECT_THROW(batched(five, 0), foundation::RuntimeError);
}

TEST(OrderedSetTest, KeepsFirstOccurrences) {
    EXPECT_EQ(orderedSet(std::vector<std::string>{"b", "a", "b", "c", "a"}), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(orderedSet(std::vector<int>{3, 3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    // Precomposed and decomposed é are the same text.
    EXPECT_EQ(orderedSet(std::vector<std::string>{"caf\u00e9", "cafe\u0301", "cafe"}),
              (std::vector<std::string>{"caf\u00e9", "cafe"}));
}

// One token per space-separated word.
std::vector<int64_t> words(const std::string& text) {
    std::vector<int64_t> tokens;
    bool inWord = false;
    for (char c : text) {
        if (c == ' ' || c == '\n') {
            inWord = false;
        } else if (!inWord) {
            inWord = true;
            tokens.push_back(static_cast<int64_t>(tokens.size()));
        }
    }
    return tokens;
}

TEST(LastNaturalBoundaryTest, TriesSentenceThenClauseThenSpace) {
    struct Case {
        std::string text;
        int64_t minTokens;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        // The last sentence end leaves too few tokens; the later comma leaves enough.
        {"One. Two three four, five", 3, "One. Two three four,"},
        // Neither class gives enough: the prefix before the last space.
        {"Hi. Yo, there friend", 3, "Hi. Yo, there"},
        // Enough through the sentence end, even with a clause break later.
        {"one two three. four, five", 2, "one two three."},
        // A line feed as the sentence end is trimmed away.
        {"  one two\nthree", 1, "one two"},
        {"en\u2013dash rest", 1, "en\u2013"},
        {"abc", 0, std::nullopt},
        {"a b", 5, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, words), c.expected) << c.text;
}

TEST(LastNaturalBoundaryTest, MatchesWholeCharactersOnly) {
    // A full stop carrying a combining mark is another Character; a CR LF pair is not a line feed.
    EXPECT_EQ(lastNaturalBoundary("a b.\u0301 c", 1, words), "a b.\u0301");
    EXPECT_EQ(lastNaturalBoundary("one.\u0301 two", 1, words), "one.\u0301");
    EXPECT_EQ(lastNaturalBoundary("one\r\ntwo three", 1, words), "one\r\ntwo");
}

TEST(TrimmingFromEndTest, RemovesAtMostTheCountFromTheTrailingRun) {
    EXPECT_EQ(trimmingFromEnd("models//", "/", 1), "models/");
    EXPECT_EQ(trimmingFromEnd("models//", "/", 5), "models");
    EXPECT_EQ(trimmingFromEnd("a/b/", "/", 0), "a/b/");
    EXPECT_EQ(trimmingFromEnd("a/b/", "/", -2), "a/b/");
    EXPECT_EQ(trimmingFromEnd("///", "/", 10), "");
    EXPECT_EQ(trimmingFromEnd("x\U0001F1EB\U0001F1F7\U0001F1EB\U0001F1F7", "\U0001F1EB\U0001F1F7", 1),
              "x\U0001F1EB\U0001F1F7");
}

TEST(MatchingTest, StarCrossesSlashesAndDotsNeedNoSpecialMatch) {
    const std::vector<std::string> names = {"openai_whisper-tiny/AudioEncoder.mlmodelc", "TextDecoder.mlmodelc",
                                            ".hidden.mlmodelc", "config.json"};
    EXPECT_EQ(matching(names, "*.mlmodelc"),
              (std::vector<std::string>{"openai_whisper-tiny/AudioEncoder.mlmodelc", "TextDecoder.mlmodelc",
                                        ".hidden.mlmodelc"}));
    EXPECT_EQ(matching(names, "*tiny*"), (std::vector<std::string>{"openai_whisper-tiny/AudioEncoder.mlmodelc"}));
    EXPECT_TRUE(matching(names, "nothing?").empty());
}

TEST(ProcessInfoTest, KernelNamesMapToLinuxSources) {
    TemporaryFolder root;
    root.write("sys/class/dmi/id/product_name", "  Test Machine 9000\n");
    root.write("proc/sys/kernel/ostype", "Linux\n");
    std::string cpuinfo;
    for (int processor = 0; processor < 4; ++processor) {
        cpuinfo += "processor\t: " + std::to_string(processor) +
                   "\nvendor_id\t: GenuineTest\ncpu family\t: 6\nmodel name\t: Test CPU @ 3.00GHz\n"
                   "physical id\t: 0\ncore id\t\t: " + std::to_string(processor / 2) + "\n\n";
    }
    root.write("proc/cpuinfo", cpuinfo);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"hw.model", "Test Machine 9000"},
        {"machdep.cpu.brand_string", "Test CPU @ 3.00GHz"},
        {"machdep.cpu.vendor", "GenuineTest"},
        {"machdep.cpu.family", "6"},
        {"machdep.cpu.core_count", "2"},
        {"machdep.cpu.thread_count", "4"},
        {"kernel.ostype", "Linux"},
        {"kernel.missing", ""},
        {"machdep.cpu.unknown", ""},
        {"kernel/../../etc", ""},
        {"", ""},
    };
    for (const auto& [name, expected] : cases) {
        EXPECT_EQ(ProcessInfo::stringFromSysctl(name, root.path()), expected) << name;
    }
    // A machine without DMI data but with a device tree.
    TemporaryFolder board;
    board.write("proc/device-tree/model", std::string("Test Board Rev 1", 16) + std::string(1, '\0'));
    EXPECT_EQ(ProcessInfo::stringFromSysctl("hw.model", board.path()), "Test Board Rev 1");
    // The cached values are read once and stay the same.
    EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());
    EXPECT_FALSE(ProcessInfo::threads().empty());
}

// A small PDF with one text line per page; an empty string gives a page without text.
std::string makePDF(const std::vector<std::string>& pageTexts) {
    std::vector<std::string> objects;
    const size_t pageCount = pageTexts.size();
    std::string kids;
    for (size_t i = 0; i < pageCount; ++i) kids += std::to_string(4 + 2 * i) + " 0 R ";
    objects.push_back("<< /Type /Catalog /Pages 2 0 R >>");
    objects.push_back("<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pageCount) + " >>");
    objects.push_back("<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>");
    for (size_t i = 0; i < pageCount; ++i) {
        const std::string content =
            pageTexts[i].empty() ? std::string() : "BT /F1 12 Tf 72 712 Td (" + pageTexts[i] + ") Tj ET";
        objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                          "/Contents " + std::to_string(5 + 2 * i) + " 0 R >>");
        objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
    }
    std::string pdf = "%PDF-1.4\n";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (size_t offset : offsets) {
        std::string number = std::to_string(offset);
        pdf += std::string(10 - number.size(), '0') + number + " 00000 n \n";
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

TEST(ReadTextContentTest, PlainTextUTF8ThenLatin1) {
    TemporaryFolder folder;
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("empty.txt", "")), std::nullopt);
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("utf8.txt", "caf\u00e9 \U0001F600")), "caf\u00e9 \U0001F600");
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("latin1.txt", "caf\xe9 \xa3")), "caf\u00e9 \u00a3");
    EXPECT_EQ(FileUtilities::readTextContent(folder.path() / "missing.txt"), std::nullopt);
    EXPECT_EQ(FileUtilities::readTextContent(folder.path()), std::nullopt);
    // Only the extension chooses the PDF reader.
    const std::string pdf = makePDF({"Hello"});
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("document.txt", pdf)), pdf);
}

TEST(ReadTextContentTest, PDFPagesJoinedSkippingEmptyOnes) {
    TemporaryFolder folder;
    const auto text = FileUtilities::readTextContent(folder.write("Report.PDF", makePDF({"First page", "", "Third page"})));
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, "First page\nThird page");
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("blank.pdf", makePDF({""}))), std::nullopt);
    EXPECT_EQ(FileUtilities::readTextContent(folder.write("broken.pdf", "%PDF-1.4\nnot really a document")),
              std::nullopt);
}

}  // namespace
}  // namespace pellux
