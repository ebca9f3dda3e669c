// RtAudio's PulseAudio streams on a server of the test's own: the threads a stream starts, and the
// scheduling each gets.
#include "platform/audio/devices/RtAudioDriver.h"
#include "testing/PulseServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <set>
#include <string>

// The PulseAudio client library keeps a few blocks for the life of the process, and its threads
// share memory through synchronisation the (uninstrumented) library does not show the race detector.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libpulse.so\n";
}
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulse\n";
}

using namespace platform;

namespace {

struct Thread {
    std::string name;
    int policy = -1;
    int priority = -1;
};

std::map<pid_t, Thread> threads() {
    std::map<pid_t, Thread> found;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = pid_t(std::stol(task.path().filename().string()));
        Thread thread;
        std::ifstream(task.path() / "comm") >> thread.name;
        thread.policy = sched_getscheduler(tid);
        sched_param parameter{};
        if (sched_getparam(tid, &parameter) == 0) thread.priority = parameter.sched_priority;
        found[tid] = thread;
    }
    return found;
}

std::map<pid_t, Thread> startedSince(const std::map<pid_t, Thread>& before) {
    std::map<pid_t, Thread> started;
    for (const auto& [tid, thread] : threads())
        if (!before.count(tid)) started[tid] = thread;
    return started;
}

int silence(void* output, void*, unsigned frames, double, RtAudioStreamStatus, void*) {
    std::fill_n(static_cast<float*>(output), 2 * frames, 0.0f);
    return 0;
}

} // namespace

TEST(RtAudioDriver, OnPulseAudioTheClientLibrarysThreadsOfAStreamAskedRealTimeRunWithItsCallbackAndNoOthers) {
    pulsetest::PulseServer pulse("rt-threads");
    if (!pulse.whyNot.empty()) GTEST_SKIP() << pulse.whyNot;
    setenv("PULSE_SERVER", pulse.server().c_str(), 1);
    auto driver = RtAudioDriver::make(RtAudio::LINUX_PULSE);
    if (!driver->grantsRealtime(10)) GTEST_SKIP() << "the system grants no real-time scheduling here";
    const auto devices = driver->devices();
    unsigned device = 0;
    while (device < devices.size() && devices[device].outputChannels < 2)
        ++device;
    ASSERT_LT(device, devices.size()) << "RtAudio lists no output on the test's server";

    int policy = -1;
    sched_param opener{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &opener), 0);
    struct Case {
        const char* name;
        bool realtime;
        int policy, priority;
    };
    // Opened in this order and kept open: each case's threads are those its open started, and the
    // later real-time stream leaves the earlier one's alone.
    const Case cases[] = {
        {"asked for nothing", false, policy, opener.sched_priority},
        {"asked for real time", true, SCHED_RR, 10},
        {"asked for nothing after it", false, policy, opener.sched_priority},
    };
    std::vector<std::unique_ptr<RtAudioDriver::Stream>> streams;
    std::vector<std::map<pid_t, Thread>> started;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RtAudio::StreamParameters output;
        output.deviceId = device;
        output.nChannels = 2;
        RtAudioDriver::Request request;
        request.output = &output;
        request.sampleRate = 44100;
        request.frames = 512;
        request.callback = &silence;
        request.options.numberOfBuffers = 2;
        if (c.realtime) {
            request.options.flags = RTAUDIO_SCHEDULE_REALTIME;
            request.options.priority = 10;
        }
        const auto before = threads();
        streams.push_back(driver->open(request));
        started.push_back(startedSince(before));
        int policyAfter = -1;
        sched_param openerAfter{};
        ASSERT_EQ(pthread_getschedparam(pthread_self(), &policyAfter, &openerAfter), 0);
        EXPECT_EQ(policyAfter, policy);
        EXPECT_EQ(openerAfter.sched_priority, opener.sched_priority);
    }
    const auto now = threads();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].name);
        std::set<std::string> names;
        for (const auto& [tid, thread] : started[i]) {
            names.insert(thread.name);
            ASSERT_TRUE(now.count(tid)) << thread.name;
            EXPECT_EQ(now.at(tid).policy, cases[i].policy) << thread.name;
            EXPECT_EQ(now.at(tid).priority, cases[i].priority) << thread.name;
        }
        // The client library's own, which moves the stream's data; and RtAudio's, which runs the
        // callback under the process's name.
        EXPECT_TRUE(names.count("threaded-ml"));
        EXPECT_GE(started[i].size(), 2u);
    }
    streams.clear();
    unsetenv("PULSE_SERVER");
}
