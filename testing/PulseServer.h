#pragma once
// A PulseAudio server of the caller's own, for the tests and benchmarks that need a real sound
// server: reachable only through a socket in a temporary folder, a null sink as the default sink and
// its monitor as the default source. Stopped by its pid when the object goes.
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
    explicit PulseServer(const std::string& name = "pulse")
        : folder(std::filesystem::temp_directory_path() /
                 ("sonabel-" + name + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(folder);
        const std::string dir = folder.string(), log = dir + "/server.log";
        std::vector<std::string> env{"XDG_RUNTIME_DIR=" + dir, "PULSE_RUNTIME_PATH=" + dir, "HOME=" + dir};
        pid_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "-L",
                      "module-native-protocol-unix auth-anonymous=1 socket=" + dir + "/native", "-L",
                      "module-null-sink sink_name=sonabel_null"},
                     env, log);
        if (pid_ < 0) {
            whyNot = "pulseaudio could not be started (is the pulseaudio package installed?)";
            return;
        }
        env.push_back("PULSE_SERVER=" + server());
        const auto deadline = std::chrono::steady_clock::now() + testwait::kDeadline;
        while (!succeeds({"pactl", "info"}, env, log)) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
                whyNot = "pulseaudio did not come up; see " + log;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!succeeds({"pactl", "set-default-sink", "sonabel_null"}, env, log) ||
            !succeeds({"pactl", "set-default-source", "sonabel_null.monitor"}, env, log))
            whyNot = "pactl could not select the null sink and its monitor";
    }
    ~PulseServer() {
        if (pid_ > 0 && kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::string server() const { return "unix:" + (folder / "native").string(); }

    const std::filesystem::path folder;
    std::string whyNot; // empty while the server runs

private:
    pid_t pid_ = -1;
};

} // namespace pulsetest
