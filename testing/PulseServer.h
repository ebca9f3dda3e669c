#pragma once
// A PulseAudio server of the caller's own, for the tests and benchmarks that need a real sound
// server: reachable only through a socket in a temporary folder, a null sink as the default sink and
// its monitor as the default source. Or PipeWire serving the same protocol (pipewire-pulse), with
// its session manager and a session bus of its own. Stopped by their pids when the object goes.
#include "testing/Eventually.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pulsetest {

// Runs a program with extra environment and its output in `log`; -1 when it cannot start.
inline pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, const std::string& log) {
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (auto& a : args)
        argv.push_back(a.data());
    for (auto& e : env)
        envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

inline bool succeeds(const std::vector<std::string>& args, const std::vector<std::string>& env,
                     const std::string& log) {
    const pid_t pid = spawn(args, env, log);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class PulseServer {
public:
    // `name` tells apart the folders of processes that run at once.
    enum class Kind { pulseaudio, pipewire };

    explicit PulseServer(const std::string& name = "pulse", Kind kind = Kind::pulseaudio)
        : folder(std::filesystem::temp_directory_path() /
                 ("sonabel-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(folder);
        const std::string dir = folder.string(), log = dir + "/server.log";
        std::vector<std::string> env{"XDG_RUNTIME_DIR=" + dir, "PULSE_RUNTIME_PATH=" + dir, "HOME=" + dir,
                                     "XDG_CONFIG_HOME=" + dir + "/config"};
        const auto start = [&](std::vector<std::string> args) {
            const pid_t pid = spawn(args, env, log);
            if (pid < 0)
                whyNot = args[0] + " could not be started (is its package installed?)";
            else
                pids_.push_back(pid);
            return pid > 0;
        };
        if (kind == Kind::pulseaudio) {
            if (!start({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native", "-L",
                        "module-null-sink sink_name=sonabel_null"}))
                return;
        } else {
            // The session manager, which links streams to sinks, wants a session bus.
            const std::string bus = "unix:path=" + dir + "/bus";
            if (!start({"dbus-daemon", "--session", "--nofork", "--address=" + bus})) return;
            env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus);
            if (!waitFor([&] { return std::filesystem::exists(folder / "bus"); }, "dbus-daemon", log) ||
                !start({"pipewire"}) ||
                !waitFor([&] { return std::filesystem::exists(folder / "pipewire-0"); }, "pipewire", log) ||
                !start({"wireplumber"}) || !start({"pipewire-pulse"}))
                return;
        }
        env.push_back("PULSE_SERVER=" + server());
        env_ = env;
        if (!waitFor([&] { return succeeds({"pactl", "info"}, env, log); }, "the server", log)) return;
        if (kind == Kind::pipewire &&
            !succeeds({"pactl", "load-module", "module-null-sink", "sink_name=sonabel_null"}, env, log))
            whyNot = "pactl could not make a null sink";
        // PipeWire makes the sink a moment after it answers.
        else if (!waitFor(
                     [&] {
                         return succeeds({"pactl", "set-default-sink", "sonabel_null"}, env, log) &&
                                succeeds({"pactl", "set-default-source", "sonabel_null.monitor"}, env, log);
                     },
                     "the null sink", log))
            whyNot = "pactl could not select the null sink and its monitor";
    }
    ~PulseServer() { stop(); }
    // Ends the processes and removes the folder; the destructor does it too.
    void stop() {
        for (auto it = pids_.rbegin(); it != pids_.rend(); ++it)
            if (*it > 0 && kill(*it, SIGTERM) == 0) waitpid(*it, nullptr, 0);
        pids_.clear();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string server() const { return "unix:" + (folder / "native").string(); }

    // One more null sink; RtAudio lists it by its description.
    bool addSink(const std::string& name, const std::string& description) {
        return run({"pactl", "load-module", "module-null-sink", "sink_name=" + name,
                    "sink_properties=device.description=" + description});
    }
    // Suspends a sink, as the server does when its device goes idle or away, or resumes it.
    bool suspendSink(const std::string& name, bool suspended) {
        return run({"pactl", "suspend-sink", name, suspended ? "1" : "0"});
    }
    // PipeWire makes a sink a moment after it answers.
    bool setDefaults(const std::string& sink, const std::string& source) {
        return waitFor(
            [&] {
                return run({"pactl", "set-default-sink", sink}) &&
                       run({"pactl", "set-default-source", source});
            },
            "the sink " + sink, (folder / "server.log").string());
    }

    const std::filesystem::path folder;
    std::string whyNot; // empty while the server runs

private:
    // Polls `ready` until the deadline or until one of the processes ends.
    template <typename Ready> bool waitFor(Ready ready, const std::string& what, const std::string& log) {
        const auto deadline = std::chrono::steady_clock::now() + testwait::kDeadline;
        while (!ready()) {
            for (pid_t& pid : pids_)
                if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
                    pid = -1; // reaped: never signalled again
                    whyNot = what + " did not come up; see " + log;
                    return false;
                }
            if (std::chrono::steady_clock::now() > deadline) {
                whyNot = what + " did not come up; see " + log;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    bool run(const std::vector<std::string>& args) const {
        return succeeds(args, env_, (folder / "server.log").string());
    }

    std::vector<pid_t> pids_;
    std::vector<std::string> env_;
};

} // namespace pulsetest
