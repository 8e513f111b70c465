#pragma once
// What a test of the app on a desktop needs: a virtual X server of its own, a microphone that plays a
// speech file through ALSA in real time, the app as a child process, keys typed through XTest and
// screenshots. Every piece stops what it started in its destructor, by process id.
#include <sys/types.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

typedef struct _XDisplay Display;

namespace desktoptest {

// The program's path when it is on PATH.
std::optional<std::filesystem::path> findProgram(const std::string& name);

// Xvfb on a display number it finds free (1280 × 800, 24 bits, no TCP).
class VirtualDisplay {
public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;
    bool isRunning() const { return pid_ > 0; }
    const std::string& name() const { return name_; }  // ":93"

private:
    pid_t pid_ = -1;
    std::string name_;
};

// Makes the ALSA default capture device of `home` (through its .asoundrc) read a FIFO that a thread
// feeds with the 16 kHz mono 16-bit samples of `wav` in real time, then silence; every new opening
// of the device hears the speech from its start.
class FedMicrophone {
public:
    FedMicrophone(const std::filesystem::path& home, const std::filesystem::path& wav);
    ~FedMicrophone();
    FedMicrophone(const FedMicrophone&) = delete;
    FedMicrophone& operator=(const FedMicrophone&) = delete;
    bool ready() const { return !samples_.empty(); }

private:
    void feed();
    std::filesystem::path fifo_;
    std::string samples_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The app as a child process with the given environment (nothing else inherited but PATH), standard
// output and error into `log`.
class AppProcess {
public:
    AppProcess(const std::filesystem::path& program, const std::map<std::string, std::string>& environment,
               const std::filesystem::path& log, const std::vector<std::string>& arguments = {});
    ~AppProcess();
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;

    // Waits until the log holds a line starting with `prefix`; while waiting, `idle` runs (for a GUI
    // loop of the test's own).
    bool waitForLine(const std::string& prefix, std::chrono::milliseconds timeout, const std::function<void()>& idle = {});
    std::string log() const;
    // SIGTERM, then the exit status once it has exited within `timeout`; nothing when it had to be killed.
    std::optional<int> terminate(std::chrono::milliseconds timeout) { return signal(SIGTERM, timeout); }
    // The same with another signal.
    std::optional<int> signal(int number, std::chrono::milliseconds timeout);
    // The exit status once it has exited by itself within `timeout` (128 + the signal when one ended it).
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::filesystem::path log_;
};

// A key with modifiers (keysym names: "Alt_L", "space"), pressed and released through XTest.
void pressKey(Display* display, const std::vector<std::string>& modifiers, const std::string& key);
// The root window as a PNG.
bool saveScreenshot(Display* display, const std::filesystem::path& png);

}  // namespace desktoptest
