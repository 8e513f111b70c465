#include "DesktopTests/DesktopSession.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <cairo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace desktoptest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, const fs::path& output) {
    std::vector<char*> args, env;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The app and the X server end with the test process, even one a sanitizer or a timeout killed.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) _exit(127);
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
            close(out);
        }
        setpgid(0, 0);
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
    return pid;
}

// The exit status when the child ends within the timeout.
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!waitFor(pid, 3000ms)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

std::string inheritedPath() {
    const char* path = std::getenv("PATH");
    return std::string("PATH=") + (path ? path : "/usr/bin:/bin");
}

// A sanitized app under test reports with the suite's own options (suppressions, halting), not the
// sanitizer's defaults.
std::vector<std::string> inheritedSanitizerOptions() {
    std::vector<std::string> options;
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
        if (const char* value = std::getenv(name)) options.push_back(std::string(name) + "=" + value);
    return options;
}

// The samples of a 16-bit PCM WAV file (its "data" chunk).
std::string wavSamples(const fs::path& wav) {
    std::ifstream in(wav, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 12;
    while (bytes.size() >= 12 && at + 8 <= bytes.size()) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) return bytes.substr(at + 8, std::min<size_t>(size, bytes.size() - at - 8));
        at += 8 + size + (size & 1);
    }
    return {};
}

}  // namespace

std::optional<fs::path> findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return std::nullopt;
}

VirtualDisplay::VirtualDisplay() {
    auto xvfb = findProgram("Xvfb");
    if (!xvfb) return;
    // Xvfb picks a free display number itself and writes it to the pipe once it accepts clients, so
    // tests that start servers in parallel never share one.
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = spawn({xvfb->string(), "-displayfd", std::to_string(ready[1]), "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                 {inheritedPath()}, "/dev/null");
    close(ready[1]);
    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    // Generous: on a machine busy with other test programs the server can take many seconds to start.
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline && poll(&wait, 1, 100) >= 0) {
        char digits[16];
        if (!(wait.revents & (POLLIN | POLLHUP))) continue;
        const ssize_t got = read(ready[0], digits, sizeof digits);
        if (got <= 0) break;
        number.append(digits, static_cast<size_t>(got));
        if (number.find('\n') != std::string::npos) break;
    }
    close(ready[0]);
    while (!number.empty() && (number.back() == '\n' || number.back() == ' ')) number.pop_back();
    if (number.empty()) {
        stop(pid_);
        pid_ = -1;
        return;
    }
    name_ = ":" + number;
}

VirtualDisplay::~VirtualDisplay() { stop(pid_); }

FedMicrophone::FedMicrophone(const fs::path& home, const fs::path& wav) : fifo_(home / "microphone.fifo"), samples_(wavSamples(wav)) {
    if (samples_.empty()) return;
    mkfifo(fifo_.c_str(), 0600);
    std::ofstream(home / ".asoundrc") << "pcm.!default {\n  type asym\n  playback.pcm \"null\"\n  capture.pcm \"fed\"\n}\n"
                                         "pcm.fed {\n  type plug\n  slave { pcm \"fedfile\"; format S16_LE; rate 16000; channels 1 }\n}\n"
                                         "pcm.fedfile {\n  type file\n  slave.pcm \"null\"\n  file \"/dev/null\"\n"
                                         "  infile \"" << fifo_.string() << "\"\n  format \"raw\"\n}\n";
    // A reader that went away must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread([this] { feed(); });
}

FedMicrophone::~FedMicrophone() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void FedMicrophone::feed() {
    constexpr size_t chunk = 16000 * 2 / 50;  // 20 ms
    const std::string silence(chunk, '\0');
    while (!stop_) {
        // Opening without blocking fails until the device opens the other end.
        const int fd = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            std::this_thread::sleep_for(5ms);
            continue;
        }
        fcntl(fd, F_SETFL, 0);
        size_t offset = 0;
        auto next = std::chrono::steady_clock::now();
        while (!stop_) {
            const char* data = offset < samples_.size() ? samples_.data() + offset : silence.data();
            const size_t size = offset < samples_.size() ? std::min(chunk, samples_.size() - offset) : chunk;
            if (write(fd, data, size) < 0) break;  // the device was closed
            offset += size;
            next += std::chrono::microseconds(size * 1'000'000 / 32000);
            std::this_thread::sleep_until(next);
        }
        close(fd);
    }
}

AppProcess::AppProcess(const fs::path& program, const std::map<std::string, std::string>& environment, const fs::path& log,
                       const std::vector<std::string>& arguments)
    : log_(log) {
    std::vector<std::string> env{inheritedPath(), "NO_AT_BRIDGE=1"};
    for (auto& option : inheritedSanitizerOptions()) env.push_back(std::move(option));
    for (auto& [name, value] : environment) env.push_back(name + "=" + value);
    std::vector<std::string> argv{program.string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    pid_ = spawn(argv, env, log);
}

AppProcess::~AppProcess() { stop(pid_); }

std::string AppProcess::log() const {
    std::ifstream in(log_);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool AppProcess::waitForLine(const std::string& prefix, std::chrono::milliseconds timeout, const std::function<void()>& idle) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::stringstream lines(log());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind(prefix, 0) == 0) return true;
        if (idle) idle();
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::optional<int> AppProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    auto status = waitFor(pid_, timeout);
    if (status) pid_ = -1;
    return status;
}

std::optional<int> AppProcess::signal(int number, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    kill(pid_, number);
    auto status = waitFor(pid_, timeout);
    if (!status) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    return status;
}

void pressKey(Display* display, const std::vector<std::string>& modifiers, const std::string& key) {
    std::vector<KeyCode> held;
    for (auto& name : modifiers) {
        const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(name.c_str()));
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        held.push_back(code);
    }
    const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(key.c_str()));
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    for (auto it = held.rbegin(); it != held.rend(); ++it) XTestFakeKeyEvent(display, *it, False, CurrentTime);
    XSync(display, False);
}

bool saveScreenshot(Display* display, const fs::path& png) {
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    XGetWindowAttributes(display, root, &attributes);
    XImage* image = XGetImage(display, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image) return false;
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, attributes.width, attributes.height);
    unsigned char* pixels = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < attributes.height; ++y)
        for (int x = 0; x < attributes.width; ++x)
            reinterpret_cast<uint32_t*>(pixels + y * stride)[x] = static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFF;
    cairo_surface_mark_dirty(surface);
    const bool written = cairo_surface_write_to_png(surface, png.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
    XDestroyImage(image);
    return written;
}

}  // namespace desktoptest
