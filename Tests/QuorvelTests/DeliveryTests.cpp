#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "Platform/Foundation/Files.hpp"
#include "PlatformFakes/FakeAppKit.hpp"
#include "PlatformFakes/FakeQuartz.hpp"
#include "Quorvel/Injector.hpp"
#include "Quorvel/Storage.hpp"
#include "TemporaryHome.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class InjectorTest : public ::testing::Test {
protected:
    foundation::ManualExecutor executor;
    fakes::FakePasteboard pasteboard;
    fakes::FakeEventServices events;
    quorvel::Injector injector{pasteboard, events, executor};
};

TEST_F(InjectorTest, PastesWithCommandVAndRestoresThePreviousTextAfterATenthOfASecond) {
    pasteboard.setString("abc", appkit::NSPasteboardTypeString);
    injector.inject("Привет, мир");
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "Привет, мир");
    ASSERT_EQ(events.posted.size(), 2u);
    EXPECT_EQ(events.posted[0].tap, quartz::CGEventTapLocation::hidEventTap);
    EXPECT_EQ(events.posted[0].event, (quartz::CGEvent{quartz::CGEventType::keyDown, 9, 0x100000}));
    EXPECT_EQ(events.posted[1].event, (quartz::CGEvent{quartz::CGEventType::keyUp, 9, 0}));

    executor.advance(99ms);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "Привет, мир");
    executor.advance(1ms);
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "abc");
    EXPECT_EQ(pasteboard.pasteboardItems().size(), 1u);
}

TEST_F(InjectorTest, EveryItemAndTypeThePasteboardHeldComesBack) {
    // An image and a file list the user copied, with no text among them: nothing may be lost.
    appkit::NSPasteboardItem image{{{"public.png", std::string("\x89PNG\r\n\x1a\n\0\1", 10)}, {"public.tiff", "II*"}}};
    appkit::NSPasteboardItem file{{{"public.file-url", "file:///home/u/a.txt"}, {appkit::NSPasteboardTypeString, "a.txt"}}};
    pasteboard.writeObjects({image, file});
    injector.inject("text");
    executor.advance(100ms);
    EXPECT_EQ(pasteboard.pasteboardItems(), (std::vector<appkit::NSPasteboardItem>{image, file}));

    // An empty pasteboard stays empty after the restore.
    pasteboard.clearContents();
    injector.inject("text");
    executor.advance(100ms);
    EXPECT_TRUE(pasteboard.pasteboardItems().empty());
}

TEST_F(InjectorTest, WithoutKeyboardEventsTheTextStaysOnThePasteboard) {
    pasteboard.setString("abc", appkit::NSPasteboardTypeString);
    events.failEventCreation = true;
    injector.inject("dictated");
    executor.advance(1s);
    EXPECT_TRUE(events.posted.empty());
    EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "dictated");
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

// An X selection hands the text over only when the window asks for it: the restore waits for that,
// or for restorePatience, and leaves alone what another application put there meanwhile.
TEST_F(InjectorTest, OnAPasteboardServedOnRequestTheRestoreWaitsForTheReader) {
    using appkit::NSPasteboardDelivery;
    const auto held = [&] { return pasteboard.string(appkit::NSPasteboardTypeString); };

    // A busy window asks after a second: the text is there for it, and "abc" comes back next look.
    pasteboard.setString("abc", appkit::NSPasteboardTypeString);
    injector.inject("dictated");
    pasteboard.reported = NSPasteboardDelivery::waiting;
    executor.advance(1s);
    EXPECT_EQ(held(), "dictated");
    pasteboard.reported = NSPasteboardDelivery::read;
    executor.advance(100ms);
    EXPECT_EQ(held(), "abc");
    EXPECT_EQ(executor.pendingTimers(), 0u);

    // No window ever asks: "abc" comes back after the patience, not before.
    injector.inject("dictated");
    pasteboard.reported = NSPasteboardDelivery::waiting;
    executor.advance(quorvel::Injector::restorePatience - 1ms);
    EXPECT_EQ(held(), "dictated");
    executor.advance(1ms);
    EXPECT_EQ(held(), "abc");

    // The user copies something else before any window asked: that copy stays.
    injector.inject("dictated");
    pasteboard.reported = NSPasteboardDelivery::waiting;
    executor.advance(300ms);
    pasteboard.clearContents();
    pasteboard.setString("copied meanwhile", appkit::NSPasteboardTypeString);
    pasteboard.reported = NSPasteboardDelivery::replaced;
    executor.advance(quorvel::Injector::restorePatience);
    EXPECT_EQ(held(), "copied meanwhile");
    EXPECT_EQ(executor.pendingTimers(), 0u);

    // A second dictation while the first still waits: what comes back in the end is the user's own
    // text, not the first dictation.
    pasteboard.clearContents();
    pasteboard.setString("abc", appkit::NSPasteboardTypeString);
    pasteboard.reported = NSPasteboardDelivery::waiting;
    injector.inject("first");
    executor.advance(500ms);
    injector.inject("second");
    EXPECT_EQ(held(), "second");
    pasteboard.reported = NSPasteboardDelivery::read;
    executor.advance(100ms);
    EXPECT_EQ(held(), "abc");
    EXPECT_EQ(pasteboard.pasteboardItems().size(), 1u);
}

// Pasting into whichever window is in front: its class picks the keystroke it pastes with.
TEST_F(InjectorTest, TheKeystrokeIsTheOneTheFocusedWindowPastesWith) {
    fakes::FakeWorkspace workspace;
    fakes::FakePasteboard primary;
    quorvel::Injector aware(pasteboard, events, executor, &workspace, &primary);
    struct Case {
        std::optional<std::string> windowClass;
        quartz::CGKeyCode key;
        quartz::CGEventFlags flags;
        bool primaryCarriesText;
    };
    const Case cases[] = {
        {"Gedit", 9, 0x100000, false},                // GTK and Qt text fields: Control+V
        {"DesktopTests", 9, 0x100000, false},
        {std::nullopt, 9, 0x100000, false},
        {"XTerm", 114, 0x20000, true},                // Shift+Insert pastes PRIMARY
        {"URxvt", 114, 0x20000, true},
        {"st-256color", 114, 0x20000, true},
        {"Gnome-terminal-server", 9, 0x120000, false},  // Control+Shift+V
        {"konsole", 9, 0x120000, false},
        {"kitty", 9, 0x120000, false},
        {"Alacritty", 9, 0x120000, false},
        {"Xfce4-terminal", 9, 0x120000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.windowClass.value_or("no window"));
        workspace.frontmostApplication = c.windowClass;
        pasteboard.setString("clip", appkit::NSPasteboardTypeString);
        primary.setString("selected", appkit::NSPasteboardTypeString);
        events.posted.clear();
        aware.inject("dictated");
        ASSERT_EQ(events.posted.size(), 2u);
        EXPECT_EQ(events.posted[0].event, (quartz::CGEvent{quartz::CGEventType::keyDown, c.key, c.flags}));
        EXPECT_EQ(events.posted[1].event, (quartz::CGEvent{quartz::CGEventType::keyUp, c.key, 0}));
        EXPECT_EQ(pasteboard.string(appkit::NSPasteboardTypeString), "dictated");
        EXPECT_EQ(primary.string(appkit::NSPasteboardTypeString), c.primaryCarriesText ? "dictated" : "selected");
        // Both come back as they were.
        executor.advance(100ms);
        EXPECT_EQ(pasteboard.pasteboardItems(), (std::vector<appkit::NSPasteboardItem>{{{{appkit::NSPasteboardTypeString, "clip"}}}}));
        EXPECT_EQ(primary.pasteboardItems(), (std::vector<appkit::NSPasteboardItem>{{{{appkit::NSPasteboardTypeString, "selected"}}}}));
        pasteboard.clearContents();
        primary.clearContents();
    }
}

class StorageTest : public ::testing::Test {
protected:
    std::vector<std::string> dictationFiles() const { return quorveltests::fileNames(home.path() / "Transcripts" / "dictations"); }
    // The name is local time (whatever the zone of the test run), the header UTC.
    std::string localStem() const { return foundation::formatDate(clock->now(), "yyyy-MM-dd_HH-mm-ss"); }

    quorveltests::TemporaryHome home;
    // 2024-07-01 12:34:56.700 UTC.
    std::shared_ptr<foundation::FixedClock> clock =
        std::make_shared<foundation::FixedClock>(foundation::dateFromTimeIntervalSince1970(1719837296.7));
};

TEST_F(StorageTest, MakesTheFolderTreeAndWritesAMarkdownFileNamedByLocalTimeWithAUTCHeader) {
    quorvel::TranscriptStorage storage(home.path(), clock);
    EXPECT_EQ(storage.baseDir(), home.path() / "Transcripts");
    for (const char* folder : {"dictations", "calls", "calls/audio"}) EXPECT_TRUE(fs::is_directory(storage.baseDir() / folder));

    auto path = storage.saveDictation("first line\nsecond line", std::string("TextEdit"));
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, storage.baseDir() / "dictations" / (localStem() + ".md"));
    EXPECT_EQ(foundation::readFile(*path),
              "---\ntype: dictation\ndate: 2024-07-01T12:34:56Z\nsource_app: TextEdit\n---\n\nfirst line\nsecond line");

    clock->set(foundation::dateFromTimeIntervalSince1970(1719837400));
    path = storage.saveDictation("x", std::nullopt);
    ASSERT_TRUE(path);
    EXPECT_NE(foundation::readFile(*path).find("\nsource_app: unknown\n"), std::string::npos);
    // Existing folders are fine.
    quorvel::TranscriptStorage again(home.path(), clock);
    EXPECT_EQ(dictationFiles().size(), 2u);
}

TEST_F(StorageTest, TranscriptsOfTheSameSecondNeverReplaceEachOther) {
    quorvel::TranscriptStorage storage(home.path(), clock);
    for (const char* text : {"one", "two", "three"}) ASSERT_TRUE(storage.saveDictation(text, std::nullopt));
    const std::string stem = localStem();
    EXPECT_EQ(dictationFiles(), (std::vector<std::string>{stem + ".md", stem + "_2.md", stem + "_3.md"}));
    auto dir = storage.dictationsDir();
    EXPECT_TRUE(foundation::readFile(dir / (stem + ".md")).ends_with("\n\none"));
    EXPECT_TRUE(foundation::readFile(dir / (stem + "_3.md")).ends_with("\n\nthree"));
}

TEST_F(StorageTest, AFolderThatCannotBeMadeOrWrittenIsSilentlySkipped) {
    // "Transcripts" is a file: no folder can be made under it.
    foundation::writeFileAtomically(home.path() / "Transcripts", "in the way");
    quorvel::TranscriptStorage storage(home.path(), clock);
    EXPECT_EQ(storage.saveDictation("lost", std::nullopt), std::nullopt);
}

}  // namespace
