// The app as a user runs it, on a virtual X server: a tiny model served by the loopback hub under the
// variant the app asks for, the microphone playing the synthesised speech through PortAudio and ALSA, two presses of
// the hotkey, the text pasted into a window of this test, the transcript on disk, SIGTERM.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <fstream>

#include "DesktopTests/DesktopSession.hpp"
#include "DesktopTests/DesktopTestSupport.hpp"
#include "HubServer/HubServer.hpp"
#include "Platform/CoreML/Whisper/TestModelGenerator.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using desktoptest::spinFor;
using desktoptest::spinUntil;

// A sanitized app runs slower; the waits for its answers stretch with it, the speech it hears does not.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string textOf(GtkTextView* view) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(view);
    GtkTextIter start, end;
    gtk_text_buffer_get_bounds(buffer, &start, &end);
    gchar* text = gtk_text_buffer_get_text(buffer, &start, &end, FALSE);
    std::string result(text);
    g_free(text);
    return result;
}

TEST(DesktopSmoke, TwoHotkeyPressesPasteTheTextSaveTheTranscriptAndSigtermEndsTheApp) {
    if (!fs::exists(QUORVEL_SPEECH)) GTEST_SKIP() << "the build made no speech clip (espeak-ng and sox are missing)";
    REQUIRE_DESKTOP();
#if defined(__SANITIZE_THREAD__)
    // Instrumented, the app takes about a minute per dictation: beyond the test's time limit. Its
    // threads are checked by the app's own tests under TSan.
    GTEST_SKIP() << "a whole dictation under ThreadSanitizer outlasts the test's time limit";
#endif
    const std::string displayName = desktoptest::desktopSession()->name();

    hubtest::TemporaryFolder repos, home;
    coreml::whisper::TestModelOptions model;
    model.seed = 26;
    model.steeredTextTokens = 8;  // says a short text whatever it hears, as a real model would
    coreml::whisper::writeTestModel(repos.path() / "pelluxinc/lexiphonic-coreml/openai_whisper-large-v3-turbo", model);
    hubtest::HubServer server({.root = repos.path(), .lifetime = std::chrono::seconds(90 * kSlowdown)});
    desktoptest::FedMicrophone microphone(home.path(), QUORVEL_SPEECH);
    ASSERT_TRUE(microphone.ready());

    // The window the text is pasted into, focused.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* view = gtk_text_view_new();
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_window_set_default_size(GTK_WINDOW(window), 400, 200);
    gtk_widget_show_all(window);
    ASSERT_TRUE(spinUntil([&] { return gtk_widget_get_mapped(window); }));
    gdk_window_focus(gtk_widget_get_window(window), GDK_CURRENT_TIME);
    gtk_widget_grab_focus(view);

    desktoptest::AppProcess app(QUORVEL_APP,
                                {{"DISPLAY", displayName},
                                 {"HOME", home.path().string()},
                                 {"BM_ENDPOINT", server.baseURL()},
                                 {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent"}},
                                home.path() / "app.log");
    const auto idle = [] { g_main_context_iteration(nullptr, FALSE); };
    ASSERT_TRUE(app.waitForLine("[Quorvel] Ready.", 10s * kSlowdown, idle)) << app.log();

    const fs::path dictations = home.path() / "Transcripts" / "dictations";
    const auto transcript = [&]() -> std::optional<fs::path> {
        std::error_code ignored;
        for (auto& entry : fs::directory_iterator(dictations, ignored))
            if (entry.path().extension() == ".md") return entry.path();
        return std::nullopt;
    };
    const auto pastedAndSaved = [&] { return !textOf(GTK_TEXT_VIEW(view)).empty() && transcript(); };

    Display* typist = XOpenDisplay(displayName.c_str());
    ASSERT_TRUE(typist);
    desktoptest::pressKey(typist, {"Alt_L"}, "space");
    spinFor(3000ms);  // "The quiet river carried seven paper boats..."
    desktoptest::pressKey(typist, {"Alt_L"}, "space");
    // The first dictation also downloads and loads the model.
    const bool done = spinUntil(pastedAndSaved, 30000ms * kSlowdown);
    XCloseDisplay(typist);
    ASSERT_TRUE(done) << "pasted: \"" << textOf(GTK_TEXT_VIEW(view)) << "\", transcript "
                      << (transcript() ? "saved" : "not saved") << "\n" << app.log();
    spinFor(200ms);  // the whole text has arrived

    const std::string pasted = textOf(GTK_TEXT_VIEW(view));
    const std::string saved = readFile(*transcript());
    const auto body = saved.find("---\n\n");
    ASSERT_NE(body, std::string::npos) << saved;
    EXPECT_EQ(saved.substr(body + 5), pasted);
    EXPECT_NE(app.log().find("[Quorvel] Lexiphonic model loaded."), std::string::npos) << app.log();

    EXPECT_EQ(app.terminate(5s * kSlowdown), 0) << app.log();
    gtk_widget_destroy(window);
}

}  // namespace
