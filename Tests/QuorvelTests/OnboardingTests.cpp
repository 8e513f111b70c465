#include <gtest/gtest.h>

#include "PlatformFakes/FakeAppKit.hpp"
#include "PlatformFakes/FakeSpeech.hpp"
#include "PlatformFakes/FakeSystem.hpp"
#include "Quorvel/Onboarding.hpp"

namespace {

using privacy::AVAuthorizationStatus;
using speech::SFSpeechRecognizerAuthorizationStatus;

constexpr const char* micURL = "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone";
constexpr const char* speechURL = "x-apple.systempreferences:com.apple.preference.security?Privacy_SpeechRecognition";
constexpr const char* accessibilityURL = "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";

// Runs the sequence to its end; the permission answers arrive on other threads.
void runToEnd(quorvel::Onboarding& onboarding, foundation::ManualExecutor& executor) {
    bool done = false;
    onboarding.runIfNeeded([&] { done = true; });
    for (int i = 0; i < 500 && !done; ++i) {
        executor.drain();
        if (!done) executor.waitForPost(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(done);
}

class OnboardingTest : public ::testing::Test {
protected:
    void run() { runToEnd(onboarding, executor); }

    foundation::ManualExecutor executor;
    fakes::FakeAudioCaptureAuthorization microphone;
    fakes::FakeSpeechRecognition speech;
    fakes::FakeAccessibilityTrust accessibility;
    fakes::FakeAlerts alerts;
    fakes::FakeWorkspace workspace;
    fakes::FakeNotificationCenter notifications;
    quorvel::Onboarding onboarding{{microphone, speech, accessibility, alerts, workspace, notifications, executor}};
};

TEST_F(OnboardingTest, EverythingGrantedAtLaunchAsksNothingAndAnnouncesReadiness) {
    microphone.status = AVAuthorizationStatus::authorized;
    speech.status = SFSpeechRecognizerAuthorizationStatus::authorized;
    run();
    EXPECT_EQ(microphone.requestCount, 0);
    EXPECT_EQ(speech.requestCount(), 0);
    EXPECT_TRUE(alerts.shown.empty());
    ASSERT_EQ(notifications.delivered.size(), 1u);
    EXPECT_EQ(notifications.delivered[0].title, "Quorvel is ready");
    EXPECT_EQ(notifications.delivered[0].informativeText, "Press Option+Space to start dictating");
}

TEST_F(OnboardingTest, UndecidedPermissionsAreRequestedAndGrantsLeadToTheNotification) {
    run();
    EXPECT_EQ(microphone.requestCount, 1);
    EXPECT_EQ(speech.requestCount(), 1);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_EQ(notifications.delivered.size(), 1u);
}

TEST_F(OnboardingTest, EachRefusalIsExplainedAndTheSequenceGoesOn) {
    struct Case {
        bool grantMic;
        SFSpeechRecognizerAuthorizationStatus speechAnswer;
        bool trusted;
        std::vector<appkit::NSModalResponse> answers;
        std::vector<std::string> titles;
        std::vector<std::string> opened;
    };
    const auto denied = SFSpeechRecognizerAuthorizationStatus::denied;
    const auto granted = SFSpeechRecognizerAuthorizationStatus::authorized;
    const auto openSettings = appkit::NSAlertFirstButtonReturn, later = appkit::NSAlertSecondButtonReturn;
    const Case cases[] = {
        {false, granted, true, {openSettings}, {"Microphone Access Required"}, {micURL}},
        {false, granted, true, {later}, {"Microphone Access Required"}, {}},
        {true, denied, true, {openSettings}, {"Speech Recognition Required"}, {speechURL}},
        {true, SFSpeechRecognizerAuthorizationStatus::restricted, true, {later}, {"Speech Recognition Required"}, {}},
        {true, granted, false, {openSettings}, {"Accessibility Access Required"}, {accessibilityURL}},
        {false, denied, false, {later, openSettings, later},
         {"Microphone Access Required", "Speech Recognition Required", "Accessibility Access Required"}, {speechURL}},
    };
    for (const auto& c : cases) {
        fakes::FakeAudioCaptureAuthorization mic;
        mic.grant = c.grantMic;
        fakes::FakeSpeechRecognition recognizer;
        recognizer.answer = c.speechAnswer;
        fakes::FakeAccessibilityTrust trust;
        trust.trusted = c.trusted;
        fakes::FakeAlerts caseAlerts;
        for (auto answer : c.answers) caseAlerts.answer(answer);
        fakes::FakeWorkspace caseWorkspace;
        fakes::FakeNotificationCenter caseNotifications;
        quorvel::Onboarding caseOnboarding{{mic, recognizer, trust, caseAlerts, caseWorkspace, caseNotifications, executor}};
        runToEnd(caseOnboarding, executor);
        std::vector<std::string> titles;
        for (auto& alert : caseAlerts.shown) {
            titles.push_back(alert.messageText);
            EXPECT_EQ(alert.buttons, (std::vector<std::string>{"Open Settings", "Later"}));
            EXPECT_EQ(alert.alertStyle, appkit::NSAlertStyle::informational);
        }
        EXPECT_EQ(titles, c.titles);
        EXPECT_EQ(caseWorkspace.openedURLs, c.opened);
        // Opening the settings grants nothing by itself: no notification.
        EXPECT_TRUE(caseNotifications.delivered.empty());
    }
}

TEST_F(OnboardingTest, AlertTextsAreFixed) {
    microphone.grant = false;
    speech.answer = SFSpeechRecognizerAuthorizationStatus::denied;
    accessibility.trusted = false;
    run();
    ASSERT_EQ(alerts.shown.size(), 3u);
    EXPECT_EQ(alerts.shown[0].informativeText,
              "Quorvel needs microphone access to transcribe your speech.\n\nOpen System Settings > Privacy & Security > "
              "Microphone and enable Quorvel.");
    EXPECT_EQ(alerts.shown[1].informativeText,
              "Quorvel uses on-device speech recognition to convert your voice to text.\n\nOpen System Settings > Privacy "
              "& Security > Speech Recognition and enable Quorvel.");
    EXPECT_EQ(alerts.shown[2].informativeText,
              "Quorvel needs Accessibility access to paste text at your cursor position using Option+Space.\n\nSystem "
              "Settings will open. Add Quorvel to the Accessibility list and enable it.");
}

}  // namespace
