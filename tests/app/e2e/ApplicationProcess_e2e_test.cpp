// The real application process on the emulated instrument: it ends, with status 0, on a signal
// and when the window manager closes its window.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// Last: Xlib's macros would rename what the headers above declare.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Ending takes a moment and a hang takes forever: the deadline only tells the two apart, so it
// leaves room for sanitizers, a loaded machine and an emulated guest. Starting takes longer still.
constexpr auto kExitDeadline = 30s;
constexpr auto kStartDeadline = 120s;

// A child process that is killed if the test leaves it running.
class Child {
public:
    Child(std::vector<std::string> argv, const std::vector<std::string>& settings) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            bool overridden = false;
            for (const auto& s : settings)
                overridden |= entry.substr(0, entry.find('=') + 1) == s.substr(0, s.find('=') + 1);
            if (!overridden) env.push_back(entry);
        }
        env.insert(env.end(), settings.begin(), settings.end());
        std::vector<char*> args, envp;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        for (auto& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (::posix_spawn(&pid_, args[0], nullptr, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    }
    ~Child() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // The wait status once the process ended, within the time given.
    std::optional<int> waitForExit(Clock::duration limit) {
        for (const auto until = Clock::now() + limit; !status_;) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            if (Clock::now() > until) break;
            std::this_thread::sleep_for(10ms);
        }
        return status_;
    }
    // Whether the process has a handler installed for the signal.
    bool catches(int signal) const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigCgt:", 0) == 0)
                return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
        return false;
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Looks every 50 ms: looking is not free (a window search is a round of X requests), and on two
// emulated CPUs it would take time from the process being waited for.
template <class Condition> bool waitFor(Condition condition, Clock::duration limit) {
    for (const auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(50ms))
        if (condition()) return true;
    return condition();
}

const std::vector<std::string> kEmulated = {"SONABEL_MIDI_EMULATE=Toskar MK2", "SONABEL_LOG="};

TEST(ApplicationProcess, EndsWithStatusZeroOnTerminateAndInterrupt) {
    for (int signal : {SIGTERM, SIGINT}) {
        std::vector<std::string> settings = kEmulated;
        settings.push_back("QT_QPA_PLATFORM=offscreen");
        Child app({MALVO_UPDATER_PATH}, settings);
        ASSERT_GT(app.pid(), 0);
        ASSERT_TRUE(waitFor([&] { return app.catches(signal); }, kStartDeadline))
            << "no handler for " << signal;
        ::kill(app.pid(), signal);
        const auto status = app.waitForExit(kExitDeadline);
        ASSERT_TRUE(status) << "still running after signal " << signal;
        EXPECT_TRUE(WIFEXITED(*status))
            << "ended by signal " << (WIFSIGNALED(*status) ? WTERMSIG(*status) : 0);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
}

// The window of the given title among the viewable children of the root, or 0.
Window findWindow(Display* display, const std::string& titlePrefix) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) return 0;
    Window found = 0;
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable)
            continue;
        for (Atom property : {netName, Atom(XA_WM_NAME)}) {
            Atom type = 0;
            int format = 0;
            unsigned long items = 0, after = 0;
            unsigned char* value = nullptr;
            if (XGetWindowProperty(display, children[i], property, 0, 256, False, AnyPropertyType, &type,
                                   &format, &items, &after, &value) == Success &&
                value) {
                const std::string title(reinterpret_cast<char*>(value), items);
                XFree(value);
                if (title.rfind(titlePrefix, 0) == 0) found = children[i];
            }
        }
    }
    if (children) XFree(children);
    return found;
}

TEST(ApplicationProcess, EndsWithStatusZeroWhenTheWindowManagerClosesTheWindow) {
    if (::access("/usr/bin/Xvfb", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/Xvfb: scripts/install-deps installs xvfb";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    Child server({"/usr/bin/Xvfb", "-displayfd", std::to_string(ready[1]), "-nolisten", "tcp", "-screen", "0",
                  "1024x768x24"},
                 {});
    ::close(ready[1]);
    std::string number;
    pollfd wait{ready[0], POLLIN, 0};
    for (char c = 0; ::poll(&wait, 1, int(std::chrono::milliseconds(kStartDeadline).count())) == 1 &&
                     ::read(ready[0], &c, 1) == 1 && c != '\n';)
        number += c;
    ::close(ready[0]);
    if (number.empty()) GTEST_SKIP() << "Xvfb did not start";
    const std::string name = ":" + number;

    // Qt's X11 platform opens the session bus, and libdbus keeps a block to the end.
    const auto suppressions = testing::TempDir() + "malvo-lsan-" + std::to_string(::getpid()) + ".supp";
    std::ofstream(suppressions) << "leak:libdbus-1.so\n";
    std::vector<std::string> settings = kEmulated;
    settings.push_back("LSAN_OPTIONS=suppressions=" + suppressions);
    settings.push_back("QT_QPA_PLATFORM=xcb");
#if defined(__SANITIZE_THREAD__)
    // Qt's X11 platform runs threads of its own in libraries built without ThreadSanitizer, which
    // then reports their locking as races; the offscreen process test checks the application's.
    settings.push_back("TSAN_OPTIONS=report_bugs=0");
#endif
    settings.push_back("DISPLAY=" + name);
    Child app({MALVO_UPDATER_PATH}, settings);
    ASSERT_GT(app.pid(), 0);
    Display* display = XOpenDisplay(name.c_str());
    ASSERT_NE(display, nullptr);
    Window window = 0;
    EXPECT_TRUE(
        waitFor([&] { return (window = findWindow(display, "Malvo Updater")) != 0; }, kStartDeadline));
    if (window) {
        // What a window manager sends when the user closes the window.
        XEvent close = {};
        close.xclient.type = ClientMessage;
        close.xclient.window = window;
        close.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        close.xclient.format = 32;
        close.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
        close.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &close);
        XFlush(display);
        const auto status = app.waitForExit(kExitDeadline);
        ASSERT_TRUE(status) << "still running after the close";
        EXPECT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
    XCloseDisplay(display);
    ::unlink(suppressions.c_str());
    ::kill(server.pid(), SIGTERM);
    server.waitForExit(5s);
}

} // namespace
