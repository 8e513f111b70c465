#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Foundation/Environment.hpp"
#include "Platform/Foundation/Files.hpp"
#include "Platform/Foundation/UserDefaults.hpp"

namespace {

namespace fs = std::filesystem;
using foundation::FileError;

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "files-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path dir;
};

TEST_F(FilesTest, AtomicWriteReplacesTheFileAndLeavesNoTemporaryFiles) {
    const fs::path file = dir / "notes.md";
    foundation::writeFileAtomically(file, "first");
    EXPECT_EQ(foundation::readFile(file), "first");
    const std::string binary("a\0b\xFF", 4);
    foundation::writeFileAtomically(file, binary);
    EXPECT_EQ(foundation::readFile(file), binary);
    foundation::writeFileAtomically(file, "");
    EXPECT_EQ(foundation::readFile(file), "");
    // Replacing a file keeps its permissions.
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    foundation::writeFileAtomically(file, "private");
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(entries(), std::vector<std::string>{"notes.md"});

    // Writers racing on one path: the result is one whole version and no temporary file stays.
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] {
            for (int round = 0; round < 20; ++round)
                foundation::writeFileAtomically(file, std::string(1000 + i, static_cast<char>('a' + i)));
        });
    for (auto& t : writers) t.join();
    const std::string result = foundation::readFile(file);
    ASSERT_GE(result.size(), 1000u);
    EXPECT_EQ(result, std::string(result.size(), static_cast<char>('a' + (result.size() - 1000))));
    EXPECT_EQ(entries(), std::vector<std::string>{"notes.md"});
}

TEST_F(FilesTest, FailedWritesKeepTheOldFileAndCleanUp) {
    // A missing folder is not created; the error names the path and the reason.
    const fs::path orphan = dir / "missing" / "file.txt";
    try {
        foundation::writeFileAtomically(orphan, "x");
        ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(orphan.string()), std::string::npos) << message;
        EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
    }
    EXPECT_TRUE(entries().empty());

    // The target is a folder: the rename fails and the temporary file is removed.
    fs::create_directory(dir / "folder");
    EXPECT_THROW(foundation::writeFileAtomically(dir / "folder", "x"), FileError);
    EXPECT_EQ(entries(), std::vector<std::string>{"folder"});

    // A write that fails half way (file size limit) keeps the old contents whole.
    const fs::path file = dir / "keep.txt";
    foundation::writeFileAtomically(file, "old contents");
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(foundation::writeFileAtomically(file, std::string(4096, 'n')), FileError);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(foundation::readFile(file), "old contents");
    EXPECT_EQ(entries(), (std::vector<std::string>{"folder", "keep.txt"}));
}

TEST_F(FilesTest, NewFileWritesNeverReplaceAnExistingFile) {
    const fs::path file = dir / "note.md";
    EXPECT_TRUE(foundation::writeNewFileAtomically(file, "first"));
    EXPECT_FALSE(foundation::writeNewFileAtomically(file, "second"));
    EXPECT_EQ(foundation::readFile(file), "first");
    EXPECT_EQ(entries(), std::vector<std::string>{"note.md"});

    // Racing writers on one name: exactly one wins, whole.
    std::atomic<int> winners{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
        writers.emplace_back([&, i] {
            if (foundation::writeNewFileAtomically(dir / "race.md", std::string(100, static_cast<char>('a' + i)))) ++winners;
        });
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(winners.load(), 1);
    EXPECT_EQ(foundation::readFile(dir / "race.md").size(), 100u);
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_THROW(foundation::writeNewFileAtomically(dir / "missing" / "x.md", "x"), FileError);
}

TEST_F(FilesTest, UserDefaultsPersistDataAndSurviveADamagedFile) {
    const fs::path file = dir / "app" / "defaults.json";
    const std::string bytes("{\"k\":1}\0\xFF", 9);
    {
        foundation::FileUserDefaults defaults(file);
        EXPECT_EQ(defaults.data("quorvel_hotkey"), std::nullopt);
        defaults.setData("quorvel_hotkey", bytes);
        defaults.setData("other", "x");
        defaults.removeObject("other");
        EXPECT_EQ(defaults.data("quorvel_hotkey"), bytes);
    }
    EXPECT_EQ(foundation::FileUserDefaults(file).data("quorvel_hotkey"), bytes);
    EXPECT_EQ(foundation::FileUserDefaults(file).data("other"), std::nullopt);

    for (const char* damaged : {"{", "[1]", R"({"quorvel_hotkey": {"data": "zz"}})", ""}) {
        foundation::writeFileAtomically(file, damaged);
        foundation::FileUserDefaults defaults(file);
        EXPECT_EQ(defaults.data("quorvel_hotkey"), std::nullopt) << damaged;
        defaults.setData("quorvel_hotkey", "y");
        EXPECT_EQ(foundation::FileUserDefaults(file).data("quorvel_hotkey"), "y");
    }

    foundation::ScopedEnvironmentOverride environment({{"XDG_CONFIG_HOME", "/cfg"}, {"HOME", "/home/u"}});
    EXPECT_EQ(foundation::FileUserDefaults::standardFile("quorvel"), fs::path("/cfg/quorvel/defaults.json"));
    foundation::ScopedEnvironmentOverride withoutConfig(std::map<std::string, std::string>{{"HOME", "/home/u"}});
    EXPECT_EQ(foundation::FileUserDefaults::standardFile("quorvel"), fs::path("/home/u/.config/quorvel/defaults.json"));
}

TEST_F(FilesTest, ReadingMissingOrUnreadableFiles) {
    const fs::path missing = dir / "nothing.json";
    try {
        (void)foundation::readFile(missing);
        ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos);
    }
    EXPECT_EQ(foundation::readFileIfPresent(missing), std::nullopt);
    EXPECT_THROW((void)foundation::readFile(dir), FileError);
    foundation::writeFileAtomically(dir / "present", "yes");
    EXPECT_EQ(foundation::readFileIfPresent(dir / "present"), "yes");
}

TEST_F(FilesTest, ReadingAFIFOOrADeviceFailsAtOnceInsteadOfBlocking) {
    const fs::path fifo = dir / "model.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    try {
        (void)foundation::readFile(fifo);
        ADD_FAILURE() << "no error";
    } catch (const FileError& error) {
        EXPECT_NE(std::string(error.what()).find("not a regular file"), std::string::npos) << error.what();
    }
    EXPECT_EQ(foundation::readFileIfPresent(fifo), std::nullopt);
    EXPECT_EQ(foundation::readFileIfPresent("/dev/zero"), std::nullopt);
}

TEST(Files, HomeAndTildeExpansion) {
    {
        foundation::ScopedEnvironmentOverride env(std::map<std::string, std::string>{{"HOME", "/home/tester"}});
        EXPECT_EQ(foundation::homeDirectory(), fs::path("/home/tester"));
        const std::pair<const char*, const char*> cases[] = {
            {"~", "/home/tester"},         {"~/", "/home/tester/"},   {"~/a/b", "/home/tester/a/b"},
            {"~user/x", "~user/x"},        {"a/~", "a/~"},            {"/abs", "/abs"},
            {"", ""},
        };
        for (const auto& [input, expected] : cases) EXPECT_EQ(foundation::expandingTilde(input), expected) << input;
    }
    {
        foundation::ScopedEnvironmentOverride env(std::map<std::string, std::string>{{"HOME", "/home/slash/"}});
        EXPECT_EQ(foundation::expandingTilde("~/x"), "/home/slash/x");
    }
    {
        // Without HOME the password database answers.
        foundation::ScopedEnvironmentOverride env(std::map<std::string, std::string>{});
        EXPECT_FALSE(foundation::homeDirectory().empty());
    }
}

TEST(Files, SafeRelativePaths) {
    const std::pair<std::string, bool> cases[] = {
        {"model.bin", true},      {"a/b/c.json", true},   {"a/./b", true},      {"dir/", true},
        {"..hidden", true},       {"a/b..", true},        {"", false},          {"/etc/passwd", false},
        {"..", false},            {"../x", false},        {"a/../../x", false}, {"a/..", false},
        {".", false},             {"./", false},          {std::string("a\0b", 3), false},
    };
    for (const auto& [path, safe] : cases) EXPECT_EQ(foundation::isSafeRelativePath(path), safe) << path;
}

}  // namespace
