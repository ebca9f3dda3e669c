#include "testing/lifecycle/EngineLifecycle.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/AudioSourceNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/audio/AudioUnitSampler.h"
#include "platform/audio/devices/FakeAudioDeviceBackend.h"
#include "platform/audio/devices/FakeRtAudioDriver.h"
#include "platform/audio/devices/RtAudioDeviceBackend.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/Node.h"
#include "sonabel/taps/MultiChannelInputNodeTap.h"
#include "sonabel/taps/NodeRecorder.h"
#include "testing/lifecycle/RenderThreadCounts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace lifecycle {

namespace {

using namespace platform;

constexpr double kRates[] = {32000, 44100, 48000};
constexpr std::uint32_t kPeriods[] = {64, 256, 512, 1024, 4096, 8192};
constexpr std::uint32_t kRecorderBlocks[] = {256, 512, 1024, 2048};
// Far beyond what a loaded machine needs: a tap thread that hangs this long is a finding.
constexpr auto kDeadline = std::chrono::seconds(30);
// How long a stop made while the tap thread is held waits before the thread goes on: a stop that
// waits for the blocks on their way sees them arrive; one that does not has closed its files by then.
constexpr auto kLateRelease = std::chrono::milliseconds(10);
// The recorders' own wait for a take's last blocks at a stop, and one that a held tap thread outlasts:
// such a stop leaves the take's files for the tap thread to finish.
constexpr auto kTakeEndWait = std::chrono::nanoseconds(std::chrono::seconds(2));
constexpr auto kShortTakeEndWait = std::chrono::nanoseconds(std::chrono::milliseconds(1));
// Scheduled buffers: a frame's sample names its buffer (by serial) and its index in it.
constexpr std::uint32_t kBufferFrames = 1024;
constexpr std::uint32_t kMaxBuffers = 16000;
// Captured frames and a generator's node time are named modulo this, in samples a 24-bit file keeps.
constexpr std::int64_t kNamedFrames = std::int64_t(1) << 22;
constexpr std::int64_t kMaxCaptured = kNamedFrames - 1;
constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();

// A sample naming n: exact in float and in a 24-bit file.
float fileSample(std::int64_t n) {
    return float(n % kNamedFrames + 1) / 8388608.0f;
}
float bufferSample(std::int64_t n) {
    return float(n + 1) / 16777216.0f;
}
// What a sample names: -1 for silence, -2 for a sample that names nothing.
std::int64_t named(float v, double scale) {
    if (v == 0.0f) return -1;
    const double scaled = double(v) * scale;
    const double rounded = std::nearbyint(scaled);
    if (std::fabs(scaled - rounded) > 1e-3 || rounded < 1) return -2;
    return std::int64_t(rounded) - 1;
}

// The bytes, read from the front; zeros once they run out.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t below(std::uint32_t n) {
        std::uint32_t v = byte();
        if (n > 256) v = v << 8 | byte();
        return n ? v % n : 0;
    }
    bool flag() { return byte() & 1; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Keeps the first broken rule; every thread may report one.
class Findings {
public:
    void fail(const std::string& what) {
        std::lock_guard lock(mutex_);
        if (!first_) first_ = what;
    }
    std::optional<std::string> first() const {
        std::lock_guard lock(mutex_);
        return first_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<std::string> first_;
};

// Holds the engine's tap thread, as a slow disk would: every tap block and completion of the model
// waits here while it is held. The driving thread itself (completions of dropped buffers run on it)
// never waits.
class Gate {
public:
    Gate(Findings& findings) : findings_(findings), owner_(std::this_thread::get_id()) {}
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool held() const {
        std::lock_guard lock(mutex_);
        return held_;
    }
    void pass() {
        if (std::this_thread::get_id() == owner_) return;
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kDeadline, [&] { return !held_; }))
            findings_.fail("the tap thread was held past the deadline");
    }

private:
    Findings& findings_;
    const std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
};

// A platform node as the framework's recorders take it.
class Wrapped : public sonabel::Node {
public:
    explicit Wrapped(std::shared_ptr<AudioNode> node) : node_(std::move(node)) {}
    std::vector<std::shared_ptr<sonabel::Node>> connections() const override { return {}; }
    std::shared_ptr<AudioNode> avAudioNode() const override { return node_; }

private:
    std::shared_ptr<AudioNode> node_;
};

// What players were given and what their taps saw of it; the tap thread and the driving thread
// share it under `mutex`.
struct PlayedFrames {
    std::mutex mutex;
    // By serial: the player it was scheduled on and its frames.
    std::vector<int> owner;
    std::vector<std::uint32_t> frames;
    std::vector<std::uint32_t> first; // a file segment's starting frame; 0 for a buffer
    std::vector<bool> loops;
    std::vector<std::int64_t> previous; // the serial scheduled before it on its player
    // By player: buffers scheduled before its last stop, and the node time (on tap `stopTap`) from which
    // none of them may sound.
    std::int64_t stoppedBelow[2] = {0, 0};
    std::int64_t stopTap[2] = {-1, -1};
    std::int64_t stopFloor[2] = {0, 0};
    // By serial: the last index seen, and the node time of index 0 as the tap (`anchorTap`) saw it.
    std::vector<std::int64_t> lastIndex;
    std::vector<std::int64_t> anchor;
    std::vector<int> anchorTap;
    // By tap installation: after the last frame it saw, and the last sample heard (serial, index, time).
    std::vector<std::int64_t> tapEnd;
    std::vector<std::array<std::int64_t, 3>> heard;
    // By tap installation: whether the player's time runs on one time line all through it (not while a
    // graph change races the cycles, which may start it afresh before the tap is replaced).
    std::vector<bool> timed;
    // By player: the latest serial heard.
    std::int64_t lastSerial[2] = {-1, -1};
    // By serial, without the lock: how often its completion ran.
    std::unique_ptr<std::atomic<int>[]> runs = std::make_unique<std::atomic<int>[]>(kMaxBuffers);
    // Without the lock: the job the tap callbacks last ran on.
    std::atomic<std::uint64_t> tapJob{0};
};

// One capture ring: the names of the frames fed to it, and what became of them.
struct RingLog {
    std::shared_ptr<AudioRingBuffer> ring;
    std::int64_t accepted = 0;
    std::int64_t dropped = 0;
    std::int64_t firstName = 0;
    std::int64_t endName = 0;  // after the last name fed
    std::int64_t consumed = 0; // read or discarded
    std::int64_t rendered = 0; // read, or given out as silence for want of frames
    std::vector<std::pair<std::int64_t, std::int64_t>> stored; // runs of names: the first, how many
};

struct MultiTake {
    std::vector<std::pair<std::string, std::int32_t>> files; // and the device channel each records
    std::int64_t first; // the first name it may hold: read after its record()
    std::int64_t last;  // and the last, read before its stop
    std::int64_t begin; // input frames rendered before record()
    std::int64_t end;   // and before stop()
    std::uint32_t block;
};

struct RecorderTake {
    std::shared_ptr<sonabel::NodeRecorder> recorder;
    std::string path;
    bool clean;              // no graph change while it recorded: the node's time ran on
    std::int64_t lastRender; // the start of the generator's last render before the stop
};

struct Watched {
    std::string name;
    std::shared_ptr<AudioNode> node;
    std::int64_t last = kNone;
    std::int64_t stale = kNone;
};

// A sine heard after a sample-rate converter: any three frames in a row satisfy
// y[t+1] + y[t-1] = 2 cos(w) y[t], whatever its phase, and a source frame skipped or repeated breaks
// that by far more than the converter's own error.
constexpr double kToneHz = 1000;
constexpr double kToneLevel = 0.5;
// A bus of the main mixer no operation of the model names or reaches through its next free bus.
constexpr std::uint32_t kProbeBus = 16;
// Frames after a break that are not judged: a converter started afresh fades in from silence, off
// the sine by more than the tolerance for up to 22 frames.
constexpr std::int64_t kProbeWarmUp = 64;
// Between the converter's own error (up to 1.6e-5 at every pair of rates) and what a frame skipped or
// repeated gives (4.6e-3 or more in the frames around it, wherever it falls in the tone's cycle).
constexpr double kProbeTolerance = 2.5e-4;

// What one installation of the probe's tap heard: its blocks arrive in order, one at a time.
struct ProbeHeard {
    explicit ProbeHeard(bool judged) : judged(judged) {}
    std::mutex mutex;
    const bool judged;         // false for one installed while cycles ran beside a graph change
    std::int64_t from = kNone; // the first frame judged: its first block's start, after the warm-up
    std::int64_t end = kNone;  // after the last frame heard
    std::int64_t inRow = 0;    // frames heard one after another up to `end`
    double before[2] = {0, 0}; // the last two of them, the latest first
};

class Run {
public:
    Run(const std::uint8_t* data, std::size_t size) : in_(data, size), gate_(findings_) {}

    std::optional<std::string> go() {
        setUp();
        while (!in_.done() && !findings_.first()) {
            ++step_;
            operate();
            checkStep();
        }
        if (!findings_.first()) tearDown();
        // The tap thread's findings get the account here.
        const auto found = findings_.first();
        if (found && found->rfind("step ", 0) != 0)
            return "step " + std::to_string(step_) + ": " + *found + trace();
        return found;
    }

    ~Run() {
        gate_.release();
        LogSink::setCurrent(previousSink_);
        AudioDeviceBackend::setCurrent(previousDevices_);
        sonabel::NodeRecorder::setTemporaryDirectory(std::nullopt);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

private:
    void fail(const std::string& what) {
        findings_.fail("step " + std::to_string(step_) + ": " + what + trace());
    }
    void note(std::string operation) {
        if (operations_.size() < 2000) operations_.push_back(std::move(operation));
    }
    // The operations so far and the last lines logged, for the account of a broken rule.
    std::string trace() const {
        std::string out = " (after";
        for (const auto& operation : operations_)
            out.append(" ").append(operation).append(",");
        out.back() = ')';
        const auto lines = log_->lines();
        out.append(" [last logged:");
        for (std::size_t i = lines.size() > 4 ? lines.size() - 4 : 0; i < lines.size(); ++i)
            out.append(" ").append(lines[i]).append(";");
        out.append("]");
        return out;
    }

    void setUp() {
        static std::atomic<int> runs{0};
        dir_ = std::filesystem::temp_directory_path() /
               ("sonabel-lifecycle-" + std::to_string(::getpid()) + "-" + std::to_string(runs.fetch_add(1)));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        previousSink_ = LogSink::setCurrent(log_);
        previousDevices_ = AudioDeviceBackend::setCurrent(fake_);
        sonabel::NodeRecorder::setTemporaryDirectory(dir_.string());
        sonabel::Settings::setWaitBeforeRecorderStop(false);

        outRate_ = kRates[in_.below(3)];
        inRate_ = kRates[in_.below(3)];
        inChannels_ = 1 + in_.below(2);
        const std::uint32_t periodChoice = in_.below(4);
        period_ = kPeriods[periodChoice];
        applyDeviceFormats();
        engine_ = AudioEngine::make();
        engine_->setIOBackend(fake_->makeIO());
        mixer_ = engine_->mainMixerNode();
        input_ = engine_->inputNode();
        submix_ = AudioMixerNode::make();
        engine_->attach(submix_);
        engine_->connect(submix_, mixer_, mixer_->outputFormat(0));
        for (int p = 0; p < 2; ++p) {
            players_[p] = AudioPlayerNode::make();
            engine_->attach(players_[p]);
            engine_->connect(players_[p], mixer_, AudioFormat::standard(kRates[in_.below(3)], 2));
            players_[p]->play();
        }
        generator_ = AudioSourceNode::make([](bool&, const AudioTime& time, std::uint32_t frames,
                                              float* const* out, std::uint32_t channels) {
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    out[c][i] = fileSample(time.sampleTime() + i);
            return noErr;
        });
        engine_->attach(generator_);
        engine_->connect(generator_, submix_, AudioFormat::standard(kRates[in_.below(3)], 1));
        sampler_ = AudioUnitSampler::make();
        engine_->attach(sampler_);
        engine_->connect(sampler_, mixer_, mixer_->outputFormat(0));
        engine_->connect(input_, mixer_, std::nullopt);
        multi_ = std::make_shared<sonabel::MultiChannelInputNodeTap>(input_, clock_);
        multi_->setDirectory(dir_.string());
        multiBlock_ = kRecorderBlocks[in_.below(4)];
        multi_->setBufferSize(multiBlock_);
        static const std::vector<std::int32_t> maps[] = {{0}, {1}, {0, 1}, {1, 0}};
        multi_->configure(maps[inChannels_ == 2 ? periodChoice : 0]);
        watched_ = {{"player 0", players_[0]}, {"player 1", players_[1]}, {"generator", generator_},
                    {"sampler", sampler_},     {"submix", submix_},       {"main mixer", mixer_},
                    {"input", input_}};
        tapBlock_ = 256u << in_.below(4);
        for (int p = 0; p < 2; ++p)
            installPlayerTap(p);
        setUpProbe();
        start();
    }

    // --- the operations ---

    void operate() {
        // The operations added later take the top bytes, so that older inputs keep what they do.
        const std::uint8_t op = in_.byte();
        if (op >= 240) return operateMore(op - 240);
        switch (op % 20) {
        case 0:
        case 1:
        case 19:
            return tick();
        case 2:
            return feed();
        case 3:
            return connect();
        case 4:
            return disconnect();
        case 5:
            return attach();
        case 6:
            return detach();
        case 7:
            return start();
        case 8:
            return stop();
        case 9:
            note("reset");
            engine_->reset();
            clearNotes();
            probeBreak();
            return;
        case 10:
            return changeDevice();
        case 11:
            return schedule();
        case 12: {
            const std::uint32_t p = in_.below(2);
            note("play " + std::to_string(p));
            players_[p]->play();
            return;
        }
        case 13:
            return stopPlayer(int(in_.below(2)));
        case 14:
            return toggleRecorder();
        case 15:
            return toggleMultiChannelTake();
        case 16:
            return sendMIDI();
        case 17:
            note(gate_.held() ? "release" : "hold");
            if (gate_.held())
                gate_.release();
            else
                gate_.hold();
            return;
        case 18:
            return settle();
        }
    }

    void operateMore(int op) {
        switch (op) {
        case 0:
        case 1:
            return replacePlayer(op);
        case 2:
        case 3:
            return scheduleMore(op == 2);
        case 4:
            note("pause");
            engine_->pause();
            running_ = false;
            clearNotes();
            probeBreak();
            return;
        case 5:
            return failingStart();
        case 6:
            return race();
        case 7:
            return renderManually();
        case 9:
        case 10:
            return setTakeEndWait(op == 9 ? kShortTakeEndWait : kTakeEndWait);
        case 11:
            return pickDevice();
        case 12:
            return moveToRtAudio();
        case 13:
            note("back from RtAudio");
            return leaveRtAudio();
        default:
            return tick();
        }
    }

    // --- devices the user picks while the engine runs ---

    // Another device picked through the output unit, at its own rates and period, on a running or a
    // stopped engine; at times one that does not start. A running engine restarts on it and renders at
    // its rate; one that does not start leaves the engine stopped (its tap thread ended), says so, and
    // the next start works once the device does.
    void pickDevice() {
        const double out = kRates[in_.below(3)];
        const double in = kRates[in_.below(3)];
        const std::uint32_t channels = 1 + in_.below(2);
        const std::uint32_t period = kPeriods[in_.below(6)];
        const std::uint32_t which = in_.below(2);
        const bool fails = in_.below(4) == 0;
        note("pick device " + std::to_string(which) + " " + std::to_string(int(out)) + "/" +
             std::to_string(int(in)) + " period " + std::to_string(period) + (fails ? " not starting" : ""));
        if (rtDriver_) leaveRtAudio();
        while (picked_.size() <= which)
            picked_.push_back(fake_->addDevice("Device " + std::to_string(picked_.size()), {2}, {2}));
        const bool running = running_;
        const bool ratesChanged = out != outRate_ || in != inRate_ || channels != inChannels_;
        outRate_ = out;
        inRate_ = in;
        inChannels_ = channels;
        period_ = period;
        applyDeviceFormats();
        const std::string refusal = "device " + std::to_string(which) + " is busy";
        if (fails) fake_->failStart(refusal);
        const std::size_t logged = log_->lines().size();
        const std::size_t jobs = BackgroundJobs::shared().activeCount();
        const AudioDeviceID id = picked_[which];
        OSStatus status = noErr;
        const auto set = [&] {
            status = AudioUnitSetProperty(engine_->outputNode()->audioUnit(),
                                          kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0,
                                          &id, sizeof id);
        };
        if (running && fails)
            whileHeld(set); // the stop waits for the tap thread
        else
            set();
        std::vector<std::string> said;
        const auto lines = log_->lines();
        for (std::size_t i = logged; i < lines.size(); ++i)
            if (lines[i].rfind("setCurrentDevice", 0) == 0) said.push_back(lines[i]);
        // New rates may start the nodes' times afresh; a new period runs them on.
        if (ratesChanged) graphChanged();
        if (running && fails) {
            running_ = false;
            clearNotes();
            const std::string expected =
                "setCurrentDevice: the device did not start again (" + refusal + "); the engine has stopped";
            if (status != kAudioHardwareBadDeviceError)
                fail("a device that did not start again returned " + std::to_string(status));
            if (engine_->isRunning()) fail("a device that did not start again left the engine running");
            if (said != std::vector<std::string>{expected})
                fail("a device that did not start again was not told as \"" + expected + "\"");
            // The tap thread is joined once the engine has stopped.
            if (BackgroundJobs::shared().activeCount() >= jobs)
                fail("a device that did not start again left the engine's tap thread");
            bool raised = false;
            whileHeld([&] {
                try {
                    engine_->start();
                } catch (const AudioError&) {
                    raised = true;
                }
            });
            if (!raised || engine_->isRunning())
                fail("a start on a device that does not start left it running");
        } else {
            if (status != noErr) fail("picking a device returned " + std::to_string(status));
            if (!said.empty()) fail("a device picked said \"" + said[0] + "\"");
            if (running) runningPeriod_ = period_;
            if (engine_->outputNode()->outputFormat(0).sampleRate() != outRate_)
                fail("the engine did not take the rate of the device picked");
        }
        fake_->failStart(std::nullopt);
        probeBreak();
    }

    // What a device's cycle rendered is at the device's rate.
    void checkDeviceRate(const PCMBuffer& out) {
        if (out.format().sampleRate() != outRate_)
            fail("a cycle rendered at " + std::to_string(int(out.format().sampleRate())) +
                 " on a device at " + std::to_string(int(outRate_)));
    }

    // --- RtAudio's devices, over a fake RtAudio ---

    // The engine moves onto RtAudio's devices, as a user picks a real one: an output device at a rate
    // and period of its own. The model's cycles run its stream's callback until it moves back.
    void moveToRtAudio() {
        const double rate = kRates[in_.below(3)];
        const std::uint32_t period = kPeriods[in_.below(5)];
        const bool pulse = in_.flag();
        const std::uint32_t microphone = in_.below(4); // a rate for it, or none
        // The periods the devices grant, where they grant another than the one asked.
        const std::uint32_t grant = in_.below(8);
        const std::uint32_t inputGrant = in_.below(8);
        const std::uint32_t granted = grant < 5 ? kPeriods[grant] : period;
        note(std::string("RtAudio ") + (pulse ? "PulseAudio " : "ALSA ") + std::to_string(int(rate)) +
             " period " + std::to_string(period) +
             (microphone < 3 ? " with input at " + std::to_string(int(kRates[microphone])) : "") +
             (granted != period ? " granted " + std::to_string(granted) : "") +
             (inputGrant < 5 ? " for input " + std::to_string(kPeriods[inputGrant]) : ""));
        const bool running = running_;
        if (running) stop();
        if (!rtDriver_) {
            fakeRate_ = outRate_;
            fakePeriod_ = period_;
            fakeInRate_ = inRate_;
            fakeInChannels_ = inChannels_;
        }
        rtDriver_ = std::make_shared<FakeRtAudioDriver>();
        rtDriver_->addDevice("Speakers", 0, 2, unsigned(rate));
        rtDriver_->grantFrames(granted,
                               inputGrant < 5 ? std::optional<unsigned>(kPeriods[inputGrant]) : std::nullopt);
        if (microphone < 3) {
            inRate_ = kRates[microphone];
            inChannels_ = 2;
            rtDriver_->addDevice("Microphone", 2, 0, unsigned(inRate_));
        }
        RtAudioDeviceBackend::Configuration configuration;
        configuration.clock = &rtClock_;
        configuration.api = pulse ? RtAudioDeviceBackend::Api::pulse : RtAudioDeviceBackend::Api::alsa;
        configuration.bufferFrameSize = period;
        configuration.driver = rtDriver_;
        auto backend = RtAudioDeviceBackend::makeIfAvailable(configuration);
        if (!backend) return fail("RtAudio's backend did not take a driver that lists a device");
        engine_->setIOBackend(backend->makeIO());
        outRate_ = rate;
        period_ = granted; // RtAudio calls back with the period granted
        // Other rates, and no input device: times may start afresh.
        graphChanged();
        if (running) start();
    }

    // The fake device as the model has it now.
    void applyDeviceFormats() {
        fake_->setOutputFormat(*AudioFormat::standard(outRate_, 2));
        fake_->setInputFormat(*AudioFormat::standard(inRate_, inChannels_));
        fake_->setBufferFrameSize(period_);
    }

    // Back on the fake device as it was, running if the engine ran.
    void leaveRtAudio() {
        if (!rtDriver_) return;
        const bool running = running_;
        if (running) stop();
        forgetRtAudio();
        fake_->setOutputFormat(*AudioFormat::standard(outRate_, 2));
        fake_->setBufferFrameSize(period_);
        engine_->setIOBackend(fake_->makeIO());
        graphChanged();
        if (running) start();
    }

    // Off RtAudio (the caller sets the device): false when the engine was not on it.
    bool forgetRtAudio() {
        if (!rtDriver_) return false;
        rtDriver_.reset();
        outRate_ = fakeRate_;
        period_ = fakePeriod_;
        inRate_ = fakeInRate_;
        inChannels_ = fakeInChannels_;
        return true;
    }

    // One callback of the output stream at `host` on the backend's clock; says what went wrong. Any
    // thread, one at a time: it reports instead of failing.
    std::optional<std::string> rtCallback(std::uint64_t host, RtAudioStreamStatus status) {
        std::optional<std::size_t> stream;
        const auto opened = rtDriver_->opened();
        for (std::size_t s = 0; s < opened.size(); ++s)
            if (opened[s].output && opened[s].started && !opened[s].closed) stream = s;
        if (!stream)
            return running_ ? std::optional<std::string>("the engine runs, but RtAudio has no stream")
                            : std::nullopt;
        // The output's buffer as RtAudio hands it over, with nothing that a callback could leave in it.
        rtOut_.assign(std::size_t(period_) * 2, std::numeric_limits<float>::quiet_NaN());
        rtClock_.set(host);
        const auto callback = rtDriver_->callbackOf(*stream);
        int asked = -1;
        if (callback) {
            renderthread::RenderingScope rendering;
            asked = callback(period_, nullptr, rtOut_.data(), status);
        }
        if (asked != 0) return "an RtAudio callback asked to stop its stream";
        for (const float v : rtOut_)
            if (!std::isfinite(v)) return "an RtAudio callback left its buffer with samples not finite";
        return std::nullopt;
    }

    // A late or early callback, at times flagged by the device as following an underflow or an
    // overflow: every underflow is counted, and a running engine renders at the callback's time and the
    // device's rate.
    void rtTick(std::uint32_t draw) {
        host_ = cycleHostTime(period_, draw);
        const RtAudioStreamStatus status =
            (draw % 3 == 0 ? RTAUDIO_OUTPUT_UNDERFLOW : 0) | (draw % 5 == 0 ? RTAUDIO_INPUT_OVERFLOW : 0);
        const std::uint64_t underruns = engine_->outputUnderruns();
        if (const auto problem = rtCallback(host_, status)) return fail(*problem);
        const std::uint64_t counted = engine_->outputUnderruns() - underruns;
        if (running_ && (status & RTAUDIO_OUTPUT_UNDERFLOW) && counted != 1)
            return fail("an RtAudio underflow was counted as " + std::to_string(counted) + " underruns");
        if (counted > 1) return fail(std::to_string(counted) + " underruns counted in one callback");
        const auto time = engine_->outputNode()->lastRenderTime();
        if (running_ && (!time || !time->isHostTimeValid() || time->hostTime() != host_))
            return fail("the engine runs, but its RtAudio callback did not render");
        if (time && time->sampleRate() != outRate_)
            return fail("an RtAudio callback rendered at " + std::to_string(int(time->sampleRate())) +
                        " on a device at " + std::to_string(int(outRate_)));
        afterCycle();
    }

    // What the microphone captures, handed over by its stream's callback, at times flagged as following
    // an overflow: the frames the ring stored.
    std::uint32_t rtFeed(const PCMBuffer& frames, const RingLog& log) {
        std::optional<std::size_t> stream;
        const auto opened = rtDriver_->opened();
        for (std::size_t s = 0; s < opened.size(); ++s)
            if (opened[s].input && !opened[s].output && opened[s].started && !opened[s].closed) stream = s;
        if (!stream) {
            fail("the engine reads its input, but RtAudio has no input stream");
            return 0;
        }
        const std::uint32_t channels = frames.format().channelCount();
        rtIn_.resize(std::size_t(frames.frameLength()) * channels);
        for (std::uint32_t i = 0; i < frames.frameLength(); ++i)
            for (std::uint32_t c = 0; c < channels; ++c)
                rtIn_[std::size_t(i) * channels + c] = frames.floatChannelData()[c][i];
        const std::uint32_t before = log.ring->available();
        const RtAudioStreamStatus status = frames.frameLength() % 3 == 0 ? RTAUDIO_INPUT_OVERFLOW : 0;
        const auto callback = rtDriver_->callbackOf(*stream);
        int asked = -1;
        if (callback) {
            renderthread::RenderingScope rendering;
            asked = callback(frames.frameLength(), rtIn_.data(), nullptr, status);
        }
        if (asked != 0) fail("an RtAudio input callback asked to stop its stream");
        return log.ring->available() - before;
    }

    // race()'s device: callbacks on a thread of their own.
    void rtRace(std::uint32_t count, std::uint64_t host, std::atomic<bool>& silent) {
        for (std::uint32_t i = 0; i < count; ++i)
            if (rtCallback(host + i * std::uint64_t(double(period_) / outRate_ * 1e9), 0)) silent = true;
    }

    // Off the device: cycles the caller asks for, offline (waiting for the file readers) or in real time;
    // then back on the device as it was.
    void renderManually() {
        const bool offline = in_.flag();
        const std::uint32_t count = 1 + in_.below(16);
        const std::uint32_t frames = 1 + in_.below(4096);
        note(std::string(offline ? "offline" : "manual") + " " + std::to_string(count) + " x " +
             std::to_string(frames));
        const bool running = running_;
        if (running) stop();
        const auto format = *AudioFormat::standard(outRate_, 2);
        engine_->enableManualRenderingMode(offline ? AudioEngine::ManualRenderingMode::offline
                                                   : AudioEngine::ManualRenderingMode::realtime,
                                           format, 4096);
        // Manual rendering starts the engine's time afresh, as new rates do.
        graphChanged();
        engine_->start();
        auto buffer = PCMBuffer::make(format, 4096);
        for (std::uint32_t i = 0; i < count && !findings_.first(); ++i) {
            std::optional<renderthread::RenderingScope> rendering;
            if (!offline) rendering.emplace();
            const auto status = engine_->renderOffline(frames, *buffer);
            if (status != AudioEngine::ManualRenderingStatus::success || buffer->frameLength() != frames)
                fail("a manual cycle of " + std::to_string(frames) + " frames failed");
        }
        // In real time its tap thread delivers what the cycles handed it before the stop returns.
        whileHeld([&] { engine_->stop(); });
        checkTapThreadJoined("a manual rendering's stop");
        engine_->disableManualRenderingMode();
        clearNotes();
        graphChanged();
        if (running) start();
    }

    // Device cycles on a thread of their own, as a device's, while the graph changes.
    void race() {
        const std::uint32_t count = 1 + in_.below(16);
        const std::uint32_t frames = 1 + in_.below(std::max(runningPeriod_, 1u));
        const std::uint32_t change = in_.below(4);
        note("race " + std::to_string(count) + " x tick " + std::to_string(frames) + " with");
        // Its cycles are not watched one by one: what notes waited may sound in any of them.
        clearNotes();
        std::atomic<bool> silent{false};
        probeRacing_ = true;
        probeBreak();
        for (int p = 0; p < 2; ++p)
            installPlayerTap(p, false);
        const std::uint64_t host = cycleHostTime(frames, 0);
        host_ += count * std::uint64_t(double(frames) / outRate_ * 1e9);
        std::thread device([&, host] {
            if (rtDriver_) return rtRace(count, host, silent);
            renderthread::RenderingScope rendering;
            for (std::uint32_t i = 0; i < count; ++i) {
                auto out = fake_->tick(frames, host + i * std::uint64_t(double(frames) / outRate_ * 1e9));
                if (running_ && (!out || out->frameLength() != frames)) silent = true;
            }
        });
        static void (Run::*const changes[])() = {&Run::connect, &Run::disconnect, &Run::attach, &Run::detach};
        (this->*changes[change])();
        device.join();
        probeRacing_ = false;
        probeBreak();
        if (silent) fail("a running engine's cycle beside a graph change rendered nothing");
        afterCycle();
    }

    // A device that will not start: the start fails, says so, and leaves the engine stopped; the next
    // start works.
    void failingStart() {
        note("failing start");
        if (running_) stop();
        fake_->failStart("the device is busy");
        if (rtDriver_) rtDriver_->failOpen("the device is busy");
        bool raised = false;
        // A start that fails ends the tap thread it started, waiting for it as a stop does.
        whileHeld([&] {
            try {
                engine_->start();
            } catch (const AudioError&) {
                raised = true;
            }
        });
        fake_->failStart(std::nullopt);
        if (rtDriver_) rtDriver_->failOpen(std::nullopt);
        checkTapThreadJoined("a failing start");
        if (!raised || engine_->isRunning()) fail("a device that did not start left the engine running");
        probeBreak();
    }

    // --- the probe: what a listener hears after a converter ---

    // A tone at a rate the device does not run at, through a mixer of its own into the main mixer.
    void setUpProbe() {
        const auto index = [](double rate) { return int(std::find(kRates, kRates + 3, rate) - kRates); };
        const double rate = kRates[(index(outRate_) + 1 + index(inRate_) % 2) % 3];
        tone_ = AudioSourceNode::make([](bool&, const AudioTime& time, std::uint32_t frames,
                                         float* const* out, std::uint32_t channels) {
            const double rate = time.sampleRate();
            for (std::uint32_t i = 0; i < frames; ++i) {
                // Exact in the cycle whatever the time: the phase never drifts.
                const double cycle = std::fmod(double(time.sampleTime() + i) * kToneHz, rate) / rate;
                const auto sample = float(kToneLevel * std::sin(2 * M_PI * cycle));
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[c][i] = sample;
            }
            return noErr;
        });
        probe_ = AudioMixerNode::make();
        engine_->attach(tone_);
        engine_->attach(probe_);
        engine_->connect(tone_, probe_, AudioFormat::standard(rate, 1));
        engine_->connect(probe_, mixer_, 0, kProbeBus, mixer_->outputFormat(0));
        probeBreak();
    }

    // Anything that may start the converter or the tone's time afresh: the tap is installed anew, and
    // what it hears is judged after the warm-up; not at all while cycles run beside a graph change.
    void probeBreak() {
        probe_->removeTap(0);
        auto heard = std::make_shared<ProbeHeard>(!probeRacing_);
        Gate* gate = &gate_;
        Findings* findings = &findings_;
        probe_->installTap(0, tapBlock_, std::nullopt,
                           [heard, gate, findings](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
                               gate->pass();
                               judgeProbe(*heard, *findings, *buffer, when);
                           });
    }

    // Tap thread: every three frames in a row, named by their block's time, lie on the tone's sine.
    static void judgeProbe(ProbeHeard& heard, Findings& findings, const PCMBuffer& buffer,
                           const AudioTime& when) {
        std::lock_guard lock(heard.mutex);
        if (!heard.judged) return;
        const std::int64_t start = when.sampleTime();
        if (heard.from == kNone) heard.from = start + kProbeWarmUp;
        if (start != heard.end) heard.inRow = 0;
        heard.end = start + buffer.frameLength();
        const double twice = 2 * std::cos(2 * M_PI * kToneHz / buffer.format().sampleRate());
        const float* samples = buffer.floatChannelData()[0];
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            const double y = samples[i];
            if (start + i < heard.from) continue;
            const double residual = y + heard.before[1] - twice * heard.before[0];
            if (heard.inRow >= 2 && !(std::fabs(residual) <= kProbeTolerance))
                return findings.fail("the probe mixer heard the tone's frames at " +
                                     std::to_string(start + i - 2) + " to " + std::to_string(start + i) +
                                     " off its sine by " + std::to_string(residual) +
                                     ": a frame skipped or repeated after its converter");
            heard.before[1] = heard.before[0];
            heard.before[0] = y;
            ++heard.inRow;
        }
    }

    static std::string name(std::uint32_t which) {
        static const char* const names[] = {"player 0", "player 1", "generator",
                                            "sampler",  "submix",   "input"};
        return names[which];
    }

    std::shared_ptr<AudioNode> movable(std::uint32_t which) {
        switch (which) {
        case 0:
        case 1:
            return players_[which];
        case 2:
            return generator_;
        case 3:
            return sampler_;
        default:
            return submix_;
        }
    }

    // A cycle's host time, on the clock notes are sent by: on time, late by two cycles or by fifty, or
    // early by half of one; never before the last.
    std::uint64_t cycleHostTime(std::uint32_t frames, std::uint32_t i) const {
        const auto length = std::int64_t(double(frames) / outRate_ * 1e9);
        static constexpr double offsets[] = {0, 2, -0.5, 50};
        const auto at =
            std::int64_t(HostClock::system().now()) + std::int64_t(offsets[i % 4] * double(length));
        return std::max<std::uint64_t>(host_ + 1, std::uint64_t(std::max<std::int64_t>(at, 0)));
    }

    // A device cycle of any size up to the period the device declared, or a few in a row.
    void tick() {
        const std::uint32_t count = 1 + in_.below(16);
        const std::uint32_t limit = std::max(runningPeriod_, 1u);
        const std::uint32_t frames = 1 + in_.below(limit);
        note(std::to_string(count) + " x tick " + std::to_string(frames));
        for (std::uint32_t i = 0; i < count; ++i) {
            if (rtDriver_) {
                rtTick(frames + i);
                continue;
            }
            host_ = cycleHostTime(frames, i);
            std::shared_ptr<PCMBuffer> out;
            {
                renderthread::RenderingScope rendering;
                out = fake_->tick(frames, host_);
            }
            if (!out) {
                if (running_) fail("the engine runs, but its device renders nothing");
                continue;
            }
            if (out->frameLength() != frames)
                fail("a cycle of " + std::to_string(frames) + " frames rendered " +
                     std::to_string(out->frameLength()));
            checkDeviceRate(*out);
            for (std::uint32_t c = 0; c < out->format().channelCount(); ++c)
                for (std::uint32_t f = 0; f < out->frameLength(); ++f)
                    if (!std::isfinite(out->floatChannelData()[c][f])) {
                        fail("the output is not finite");
                        return;
                    }
            out.reset(); // the device's buffer goes back to it
            afterCycle();
        }
    }

    void afterCycle() {
        for (auto& w : watched_) {
            const auto time = w.node->lastRenderTime();
            if (w.node == sampler_) {
                if (time && (!samplerSeen_ || time->sampleTime() != samplerSeen_->sampleTime() ||
                             time->hostTime() != samplerSeen_->hostTime())) {
                    judgeNotes(*time, samplerSince_);
                    samplerSince_ = time->sampleTime();
                }
                // A node the engine does not render tells no time, or its last one again: only a new time
                // is a render.
                if (time) samplerSeen_ = time;
            }
            if (!time || (w.last == kNone && time->sampleTime() == w.stale)) continue;
            if (w.last != kNone && time->sampleTime() < w.last)
                fail("the " + w.name + "'s time went back from " + std::to_string(w.last) + " to " +
                     std::to_string(time->sampleTime()));
            w.last = time->sampleTime();
        }
        if (RingLog* log = currentRing()) {
            const std::int64_t consumed = log->accepted - std::int64_t(log->ring->available());
            if (consumed < log->consumed) fail("the capture ring gave frames back");
            log->consumed = consumed;
            log->rendered = consumed - std::int64_t(log->ring->discardedFrames()) +
                            std::int64_t(log->ring->underrunFrames());
        }
    }

    // The name of the next frame the input reads.
    std::int64_t nextRead() {
        const RingLog* log = currentRing();
        if (!log) return nextName_;
        std::int64_t index = log->consumed;
        for (const auto& [first, count] : log->stored) {
            if (index < count) return first + index;
            index -= count;
        }
        return nextName_;
    }

    std::int64_t renderedInput() const {
        std::int64_t frames = 0;
        for (const auto& log : rings_)
            frames += log.rendered;
        return frames;
    }

    // What the input device captures: frames named in order, into the running engine's ring.
    void feed() {
        const std::uint32_t frames = in_.below(2) ? 1 + in_.below(2048) : 1 + in_.below(9000);
        note("feed " + std::to_string(frames));
        RingLog* log = currentRing();
        if (!log || nextName_ + frames > kMaxCaptured) return;
        const AudioFormat format = *AudioFormat::standard(inRate_, inChannels_);
        auto buffer = PCMBuffer::make(format, frames);
        for (std::uint32_t c = 0; c < inChannels_; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                buffer->floatChannelData()[c][i] = fileSample(nextName_ + i) * (c == 0 ? 1.0f : -1.0f);
        buffer->setFrameLength(frames);
        const std::uint32_t stored = rtDriver_ ? rtFeed(*buffer, *log) : fake_->feedInput(*buffer);
        if (stored > frames) fail("the ring took more frames than it was given");
        log->accepted += stored;
        if (stored) log->stored.push_back({nextName_, stored});
        log->dropped += frames - stored;
        nextName_ += frames;
        log->endName = nextName_;
    }

    RingLog* currentRing() {
        auto ring = rtDriver_ ? input_->captureRing() : fake_->captureRing();
        if (!ring) return nullptr;
        if (rings_.empty() || rings_.back().ring != ring) {
            RingLog log;
            log.ring = ring;
            log.firstName = log.endName = nextName_;
            rings_.push_back(std::move(log));
        }
        return &rings_.back();
    }

    std::optional<AudioFormat> someFormat() {
        return AudioFormat::standard(kRates[in_.below(3)], 1 + in_.below(2));
    }

    void connect() {
        const std::uint32_t which = in_.below(6);
        const std::uint32_t mode = in_.below(4);
        const auto format = someFormat();
        std::shared_ptr<AudioNode> source =
            which == 5 ? std::static_pointer_cast<AudioNode>(input_) : movable(which);
        const std::optional<AudioFormat> used = which == 5 ? std::nullopt : format;
        static const char* const modes[] = {"to mixer", "to submix", "to two mixer inputs",
                                            "to mixer and submix"};
        note("connect " + name(which) + " " + (source == submix_ ? "to mixer" : modes[mode]) +
             (used ? " at " + std::to_string(int(used->sampleRate())) : ""));
        if (source == submix_) {
            engine_->connect(submix_, mixer_, mixer_->outputFormat(0));
        } else if (mode == 0) {
            engine_->connect(source, mixer_, used);
        } else if (mode == 1) {
            engine_->connect(source, submix_, used);
        } else {
            const std::uint32_t first = mixer_->nextAvailableInputBus();
            std::vector<AudioConnectionPoint> points{{mixer_, first}};
            if (mode == 2)
                points.push_back({mixer_, first + 1});
            else
                points.push_back({submix_, submix_->nextAvailableInputBus()});
            engine_->connect(source, points, 0, used);
        }
        graphChanged();
    }

    void disconnect() {
        if (in_.flag()) {
            const std::uint32_t which = in_.below(6);
            note("disconnect " + name(which) + " output");
            engine_->disconnectNodeOutput(which == 5 ? std::static_pointer_cast<AudioNode>(input_)
                                                     : movable(which));
        } else {
            const bool main = in_.flag();
            const std::uint32_t bus = in_.below(6);
            note(std::string("disconnect ") + (main ? "mixer" : "submix") + " input " + std::to_string(bus));
            engine_->disconnectNodeInput(main ? std::static_pointer_cast<AudioNode>(mixer_) : submix_, bus);
        }
        graphChanged();
    }

    void attach() {
        const std::uint32_t which = in_.below(5);
        note("attach " + name(which));
        engine_->attach(movable(which));
        samplerAttached_ = samplerAttached_ || which == 3;
        graphChanged();
    }

    void detach() {
        const std::uint32_t which = in_.below(5);
        note("detach " + name(which));
        engine_->detach(movable(which));
        if (which == 3) {
            samplerAttached_ = false;
            clearNotes();
        }
        graphChanged();
    }

    void start() {
        note("start");
        if (running_) return;
        try {
            engine_->start();
        } catch (const AudioError& error) {
            fail(std::string("the engine did not start: ") + error.what());
            return;
        }
        runningPeriod_ = period_;
        running_ = true;
    }

    // Anything that waits for the tap thread while it is held: the thread goes on shortly after.
    template <typename F> void whileHeld(F f) {
        if (!gate_.held()) return f();
        std::thread releaser([this] {
            std::this_thread::sleep_for(kLateRelease);
            gate_.release();
        });
        f();
        releaser.join();
    }

    void stop() {
        note("stop");
        whileHeld([&] { engine_->stop(); });
        checkTapThreadJoined("a stop");
        running_ = false;
        clearNotes();
        probeBreak();
    }

    // Another device: new rates or another period, as a user picks it; a running engine is stopped for
    // the change and started again.
    void changeDevice() {
        const double out = kRates[in_.below(3)];
        const double in = kRates[in_.below(3)];
        const std::uint32_t channels = 1 + in_.below(2);
        const bool ratesOnly = in_.flag();
        const std::uint32_t period = ratesOnly ? period_ : kPeriods[in_.below(6)];
        const bool running = running_;
        note("device " + std::to_string(int(ratesOnly ? outRate_ : out)) + "/" +
             std::to_string(int(ratesOnly ? inRate_ : in)) + " period " + std::to_string(period));
        if (running) stop();
        if (forgetRtAudio()) graphChanged();
        const bool ratesChanged = out != outRate_ || in != inRate_ || channels != inChannels_;
        if (!ratesOnly) {
            outRate_ = out;
            inRate_ = in;
            inChannels_ = channels;
        }
        period_ = period;
        applyDeviceFormats();
        engine_->setIOBackend(fake_->makeIO());
        // A node's time runs on through a new period; new rates may start it afresh.
        if (!ratesOnly && ratesChanged) graphChanged();
        probeBreak();
        if (running) start();
    }

    void schedule() {
        const int p = int(in_.below(2));
        const bool many = in_.byte() >= 224;
        const std::uint32_t count = many ? 1 + in_.below(8192) : 1 + in_.below(4);
        const std::uint32_t frames = many ? 1 + in_.below(16) : 1 + in_.below(kBufferFrames);
        const std::uint32_t channels = 1 + in_.below(2);
        const bool interrupts = in_.below(8) == 0;
        const auto type = AudioPlayerNode::CompletionCallbackType(in_.below(3));
        note("schedule " + std::to_string(count) + " x " + std::to_string(frames) + " on player " +
             std::to_string(p) + (interrupts ? " interrupting" : ""));
        for (std::uint32_t b = 0; b < count && scheduled_ < kMaxBuffers; ++b) {
            const std::uint32_t options =
                interrupts && b == 0 ? std::uint32_t(AudioPlayerNode::interrupts) : 0u;
            auto buffer = makeBuffer(p, frames, 0, frames, false, channels);
            players_[p]->scheduleBuffer(buffer, std::nullopt, options, type, completion());
        }
    }

    // A looping buffer, or a segment of a file: frames named as a buffer's, the segment's from its start.
    void scheduleMore(bool loop) {
        const int p = int(in_.below(2));
        const std::uint32_t length = 1 + in_.below(kBufferFrames);
        const std::uint32_t from = loop ? 0 : in_.below(length);
        const std::uint32_t frames = loop ? length : 1 + in_.below(length - from);
        const auto type = AudioPlayerNode::CompletionCallbackType(in_.below(3));
        const std::uint32_t channels = 1 + in_.below(2);
        note((loop ? "loop " : "segment " + std::to_string(from) + "+") + std::to_string(frames) + " of " +
             std::to_string(length) + " on player " + std::to_string(p));
        if (scheduled_ >= kMaxBuffers) return;
        auto buffer = makeBuffer(p, from + frames, from, length, loop, channels);
        if (loop) {
            players_[p]->scheduleBuffer(buffer, std::nullopt, AudioPlayerNode::loops, type, completion());
            return;
        }
        const std::string path = (dir_ / ("segment-" + std::to_string(scheduled_) + ".caf")).string();
        {
            auto file = AudioFile::forWriting(path, buffer->format().settings());
            file->write(*buffer);
        }
        players_[p]->scheduleSegment(AudioFile::forReading(path), from, frames, std::nullopt, type,
                                     completion());
    }

    // The next serial's frames: `length` of them, of which [first, end) may play.
    std::shared_ptr<PCMBuffer> makeBuffer(int p, std::uint32_t end, std::uint32_t first, std::uint32_t length,
                                          bool loop, std::uint32_t channels) {
        const std::uint32_t serial = scheduled_++;
        {
            std::lock_guard lock(played_->mutex);
            played_->owner.push_back(p);
            played_->frames.push_back(end);
            played_->first.push_back(first);
            played_->loops.push_back(loop);
            played_->previous.push_back(lastScheduled_[p]);
            played_->lastIndex.push_back(std::int64_t(first) - 1);
            played_->anchor.push_back(kNone);
            played_->anchorTap.push_back(-1);
        }
        lastScheduled_[p] = serial;
        auto buffer = PCMBuffer::make(*AudioFormat::standard(44100, channels), length);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < length; ++i)
                buffer->floatChannelData()[c][i] = bufferSample(std::int64_t(serial) * kBufferFrames + i);
        buffer->setFrameLength(length);
        return buffer;
    }

    AudioPlayerNode::CompletionHandler completion() {
        const std::uint32_t serial = scheduled_ - 1;
        auto played = played_;
        Gate* gate = &gate_;
        Findings* findings = &findings_;
        return [played, gate, findings, serial](AudioPlayerNode::CompletionCallbackType) {
            gate->pass();
            if (played->runs[serial].fetch_add(1) == 1)
                findings->fail("the completion of buffer " + std::to_string(serial) + " ran twice");
        };
    }

    // Nothing the player was given before its stop sounds after it: its last cycle's frames (a converted
    // player's read ahead too) are the last.
    void stopPlayer(int p) {
        note("stop player " + std::to_string(p));
        const auto time = players_[p]->lastRenderTime();
        players_[p]->stop();
        std::lock_guard lock(played_->mutex);
        played_->stoppedBelow[p] = scheduled_;
        played_->stopTap[p] = playerTap_[p];
        played_->stopFloor[p] = time ? time->sampleTime() + std::max(runningPeriod_, 512u) : kNone;
        if (!time) played_->stopTap[p] = -1;
    }

    // A player destroyed with its buffers still scheduled, and a new one in its place.
    void replacePlayer(int p) {
        note("replace player " + std::to_string(p));
        engine_->detach(players_[p]);
        players_[p] = AudioPlayerNode::make();
        for (auto& w : watched_)
            if (w.name == "player " + std::to_string(p)) w.node = players_[p];
        engine_->attach(players_[p]);
        engine_->connect(players_[p], mixer_, AudioFormat::standard(kRates[in_.below(3)], 2));
        players_[p]->play();
        lastScheduled_[p] = -1;
        graphChanged();
    }

    void installPlayerTap(int p, bool timed = true) {
        players_[p]->removeTap(0);
        int tap = 0;
        {
            std::lock_guard lock(played_->mutex);
            tap = int(played_->tapEnd.size());
            played_->tapEnd.push_back(kNone);
            played_->heard.push_back({-1, -1, kNone});
            played_->timed.push_back(timed);
        }
        auto played = played_;
        Gate* gate = &gate_;
        Findings* findings = &findings_;
        playerTap_[p] = tap;
        players_[p]->installTap(
            0, tapBlock_, std::nullopt,
            [played, gate, findings, p, tap](std::shared_ptr<PCMBuffer> buffer, AudioTime when) {
                if (const auto job = BackgroundJobs::shared().currentJob()) played->tapJob.store(job);
                gate->pass();
                checkPlayed(*played, *findings, p, tap, *buffer, when);
            });
    }

    // Tap thread: every frame of a buffer plays once (a loop's once each pass), in the order scheduled, at
    // its place after the buffer's first frame, and right after the frame before it: a buffer that
    // follows another without a gap starts with its first frame. The tap's time never goes back, and
    // nothing scheduled before a stop sounds after it.
    static void checkPlayed(PlayedFrames& played, Findings& findings, int p, int tap, const PCMBuffer& buffer,
                            const AudioTime& when) {
        std::lock_guard lock(played.mutex);
        const std::int64_t start = when.sampleTime();
        const std::string who = "player " + std::to_string(p);
        std::int64_t& end = played.tapEnd[tap];
        if (played.timed[tap] && end != kNone && start < end) {
            findings.fail(who + "'s time went back: a tap block at " + std::to_string(start) +
                          " after one up to " + std::to_string(end));
            return;
        }
        end = start + buffer.frameLength();
        auto& [lastSerial, lastIndex, lastTime] = played.heard[tap];
        const float* samples = buffer.floatChannelData()[0];
        for (std::uint32_t i = 0; i < buffer.frameLength(); ++i) {
            const std::int64_t n = named(samples[i], 16777216.0);
            if (n == -1) continue;
            const std::int64_t serial = n / kBufferFrames;
            const std::int64_t index = n % kBufferFrames;
            const std::int64_t time = start + i;
            const std::string frame =
                "frame " + std::to_string(index) + " of buffer " + std::to_string(serial);
            if (n < 0 || serial >= std::int64_t(played.owner.size()) || played.owner[serial] != p ||
                index >= played.frames[serial] || index < played.first[serial])
                return findings.fail(who + " played a sample it was never given at " + std::to_string(time));
            if (serial < played.stoppedBelow[p] && played.stopTap[p] == tap && time >= played.stopFloor[p])
                return findings.fail(who + " played " + frame + " at " + std::to_string(time) +
                                     ", after a stop that dropped it");
            const bool follows = lastTime == time - 1;
            const bool lastOfPrevious = follows && lastIndex == played.frames[lastSerial] - 1;
            const bool anotherPass = played.loops[serial] && index <= played.lastIndex[serial];
            if (lastOfPrevious && (played.previous[serial] == lastSerial ||
                                   (lastSerial == serial && played.loops[serial]))
                    ? index != played.first[serial]
                    : follows && lastSerial == serial && index != lastIndex + 1)
                return findings.fail(who + " played " + frame + " at " + std::to_string(time) +
                                     " right after frame " + std::to_string(lastIndex) + " of buffer " +
                                     std::to_string(lastSerial));
            lastSerial = serial;
            lastIndex = index;
            lastTime = time;
            if (anotherPass) played.lastIndex[serial] = std::int64_t(played.first[serial]) - 1;
            if (index <= played.lastIndex[serial])
                return findings.fail(who + " played " + frame + " again, or after a later one");
            played.lastIndex[serial] = index;
            if (serial < played.lastSerial[p])
                return findings.fail(who + " played buffer " + std::to_string(serial) + " after buffer " +
                                     std::to_string(played.lastSerial[p]));
            played.lastSerial[p] = serial;
            const std::int64_t anchor = time - index;
            // A loop's passes follow each other without a gap.
            const std::int64_t pass = played.loops[serial] ? played.frames[serial] : kNamedFrames;
            if (played.timed[tap] && played.anchorTap[serial] == tap &&
                (anchor - played.anchor[serial]) % pass != 0)
                return findings.fail(who + " played " + frame + " at " + std::to_string(time) + ", not at " +
                                     std::to_string(played.anchor[serial] + index));
            played.anchorTap[serial] = tap;
            played.anchor[serial] = anchor;
        }
    }

    // Connections changed: times may start afresh from here, so the checks of time start afresh too.
    void graphChanged() {
        for (auto& w : watched_) {
            w.last = kNone;
            // A node the new graph does not render yet still tells its last time from the old one.
            const auto time = w.node->lastRenderTime();
            w.stale = time ? time->sampleTime() : kNone;
        }
        ++graphChanges_;
        samplerSince_ = kNone;
        for (int p = 0; p < 2; ++p)
            installPlayerTap(p);
        probeBreak();
    }

    void stopRecorder() {
        const bool recording = recorder_->isRecording();
        const auto time = generator_->lastRenderTime();
        whileHeld([&] { recorder_->stop(); });
        if (recording) {
            auto file = recorder_->internalAudioFile();
            takes_.push_back({recorder_, file ? file->url() : std::string(), recordedFrom_ == graphChanges_,
                              time ? time->sampleTime() : kNone});
        }
        recorder_.reset();
    }

    void toggleRecorder() {
        note(recorder_ ? "stop recorder" : "record");
        if (recorder_) return stopRecorder();
        recorder_ = std::make_shared<sonabel::NodeRecorder>(std::make_shared<Wrapped>(generator_));
        recorder_->setTakeEndWait(takeEndWait_);
        try {
            recorder_->record();
        } catch (const AudioError&) {
            recorder_.reset();
            return;
        }
        recordedFrom_ = graphChanges_;
    }

    void toggleMultiChannelTake() {
        note(multi_->isRecording() ? "stop take" : "take");
        if (multi_->isRecording()) {
            const auto files = multi_->files();
            whileHeld([&] { multi_->stop(); });
            endMultiTake(files);
            return;
        }
        multi_->record();
        multiFrom_ = renderedInput();
        multiFirst_ = nextRead();
    }

    // Each note-on is told apart by its key and velocity.
    // Each take has files of its own.
    void endMultiTake(const std::vector<std::shared_ptr<sonabel::WriteableFile>>& files) {
        MultiTake take{{}, multiFirst_, nextRead() - 1, multiFrom_, renderedInput(), multiBlock_};
        for (const auto& file : files) {
            if (!file) continue;
            for (const auto& earlier : multiTakes_)
                for (const auto& [path, channel] : earlier.files)
                    if (path == file->url()) return fail("two takes were written to " + path);
            take.files.push_back({file->url(), file->channel()});
        }
        multiTakes_.push_back(std::move(take));
    }

    void sendMIDI() {
        const std::uint8_t key = std::uint8_t(36 + in_.below(48));
        note("MIDI");
        switch (in_.below(4)) {
        case 0:
        case 1: {
            in_.byte();
            if (notesSent_ >= 48 * 127) return;
            const int serial = notesSent_++;
            sampler_->startNote(std::uint8_t(36 + serial / 127), std::uint8_t(1 + serial % 127), 0);
            // Sent while the engine renders the unit: it sounds in the first cycle that renders it.
            if (running_ && samplerAttached_) waitingNotes_.push_back(serial);
            return;
        }
        case 2:
            sampler_->stopNote(key, 0);
            return;
        default:
            sampler_->sendMIDIEvent(0xB0, 123, 0); // all notes off
            return;
        }
    }

    // Rendering the unit ended: what waited may be dropped.
    void clearNotes() { waitingNotes_.clear(); }

    // After a cycle that rendered the sampler: every note waiting sounded exactly once, at the start of
    // that cycle (of one of its renders when it was rendered at another rate).
    void judgeNotes(const AudioTime& time, std::int64_t since) {
        if (waitingNotes_.empty()) return;
        const auto received = sampler_->receivedMIDI();
        for (const int serial : waitingNotes_) {
            int times = 0;
            std::int64_t at = kNone;
            for (const auto& m : received)
                if (m.bytes.size() == 3 && m.bytes[0] == 0x90 && m.bytes[1] == 36 + serial / 127 &&
                    m.bytes[2] == 1 + serial % 127) {
                    ++times;
                    at = m.sampleTime;
                }
            const bool inCycle =
                time.isHostTimeValid() ? at == time.sampleTime() : at > since && at <= time.sampleTime();
            if (times != 1 || !inCycle)
                return fail("note-on " + std::to_string(serial) + " sounded " + std::to_string(times) +
                            " times, at " + std::to_string(at) +
                            ", in the first cycle that rendered it after it "
                            "was sent, at " +
                            std::to_string(time.sampleTime()));
        }
        waitingNotes_.clear();
    }

    // Everything handed to the tap thread arrives.
    void settle() {
        note("settle");
        gate_.release();
        if (!engine_->waitForTapDeliveries(kDeadline))
            fail("the tap thread did not deliver within the deadline");
    }

    // A stop leaves no thread of the engine's behind: the job its tap callbacks last ran on is joined
    // (a job's number is never reused, unlike a thread's id).
    void checkTapThreadJoined(const std::string& after) {
        const std::uint64_t job = played_->tapJob.load();
        if (job && BackgroundJobs::shared().unjoined(job))
            fail("the tap thread (job " + std::to_string(job) + ") is not joined after " + after);
    }

    // Stops from now on wait that long for the tap thread; a short wait gives up while it is held.
    void setTakeEndWait(std::chrono::nanoseconds wait) {
        note(wait < kLateRelease ? "short take-end wait" : "take-end wait");
        takeEndWait_ = wait;
        multi_->setTakeEndWait(wait);
        if (recorder_) recorder_->setTakeEndWait(wait);
    }

    // --- after every step ---

    void checkStep() {
        if (engine_->isRunning() != running_)
            fail(std::string("the engine says it is ") + (running_ ? "stopped" : "running"));
        const auto counts = renderthread::counts();
        if (counts != renderthread::Counts{}) {
            fail("the rendering thread allocated " + std::to_string(counts.allocations) + " times, blocked " +
                 std::to_string(counts.blockingCalls) + " times and did file I/O " +
                 std::to_string(counts.fileCalls) + " times");
            renderthread::resetCounts();
        }
        for (const auto& log : rings_)
            if (std::int64_t(log.ring->overrunFrames()) != log.dropped)
                fail("the ring counted " + std::to_string(log.ring->overrunFrames()) + " frames dropped of " +
                     std::to_string(log.dropped));
    }

    // --- the end ---

    void tearDown() {
        ++step_;
        gate_.release();
        if (multi_->isRecording()) {
            const auto files = multi_->files();
            multi_->stop();
            endMultiTake(files);
        }
        if (recorder_) stopRecorder();
        engine_->stop();
        checkTapThreadJoined("the last stop");
        for (auto& player : players_)
            player->stop();
        if (!engine_->waitForTapDeliveries(kDeadline))
            fail("the tap thread did not deliver within the deadline");
        multi_->setRecordEnabled(false);
        std::vector<std::string> recorded;
        for (auto& take : takes_) {
            recorded.push_back(take.path);
            take.recorder.reset();
        }
        watched_.clear();
        multi_.reset();
        for (auto& player : players_)
            engine_->detach(player);
        players_[0].reset();
        players_[1].reset();
        engine_->waitForTapDeliveries(kDeadline);
        generator_.reset();
        sampler_.reset();
        submix_.reset();
        mixer_.reset();
        input_.reset();
        engine_.reset();
        checkTapThreadJoined("the engine's end");
        for (std::uint32_t s = 0; s < scheduled_; ++s)
            if (const int runs = played_->runs[s].load(); runs != 1) {
                fail("the completion of buffer " + std::to_string(s) + " ran " + std::to_string(runs) +
                     " times");
                return;
            }
        for (std::size_t t = 0; t < takes_.size(); ++t)
            checkRecorderTake(recorded[t], takes_[t]);
        for (const auto& take : multiTakes_)
            checkMultiTake(take);
    }

    static std::vector<float> firstChannel(const std::string& path) {
        auto file = AudioFile::forReading(path);
        if (!file || file->length() <= 0) return {};
        auto buffer = PCMBuffer::make(file->processingFormat(), std::uint32_t(file->length()));
        file->read(*buffer);
        const float* samples = buffer->floatChannelData()[0];
        return std::vector<float>(samples, samples + buffer->frameLength());
    }

    // The generator's take: its node time in every sample, each frame once at its place.
    // A clean take lasts as long as the time it recorded: lost blocks are silence in their place, and
    // the block the tap was filling at the stop is there too.
    void checkRecorderTake(const std::string& path, const RecorderTake& recorded) {
        if (path.empty()) return;
        const bool clean = recorded.clean;
        const auto take = firstChannel(path);
        std::int64_t lastPosition = kNone;
        std::int64_t lastTime = kNone;
        for (std::size_t p = 0; p < take.size(); ++p) {
            const std::int64_t t = named(take[p], 8388608.0);
            if (t == -1) continue;
            if (t == -2)
                return fail("the recorder's take holds a sample the generator never made at " +
                            std::to_string(p));
            // Names run modulo kNamedFrames.
            if (lastTime != kNone && clean &&
                (t - lastTime - (std::int64_t(p) - lastPosition)) % kNamedFrames != 0)
                return fail("the recorder's take has the generator's frame " + std::to_string(t) + " at " +
                            std::to_string(p) + ", " + std::to_string(std::int64_t(p) - lastPosition) +
                            " after frame " + std::to_string(lastTime));
            lastPosition = std::int64_t(p);
            lastTime = t;
        }
        if (!clean || lastTime == kNone || recorded.lastRender == kNone) return;
        const std::int64_t due = lastPosition + (recorded.lastRender - lastTime) % kNamedFrames;
        if (std::int64_t(take.size()) <= due)
            fail("the recorder's take ends at " + std::to_string(take.size()) +
                 ", the generator rendered up to " + std::to_string(due) + " while it recorded");
    }

    const RingLog* ringOf(std::int64_t name) const {
        for (const auto& log : rings_)
            if (name >= log.firstName && name < log.endName) return &log;
        return nullptr;
    }

    // A multichannel take: captured frames in order, each once; frames lost on the way have silence of
    // their length in their place; every block rendered before the stop is there.
    void checkMultiTake(const MultiTake& take) {
        for (const auto& [path, channel] : take.files) {
            const auto samples = firstChannel(path);
            const std::string name = path.substr(path.rfind('/') + 1);
            if (samples.size() != firstChannel(take.files[0].first).size())
                return fail(name + " holds " + std::to_string(samples.size()) +
                            " frames, another file of its take " +
                            std::to_string(firstChannel(take.files[0].first).size()));
            checkMultiTakeFile(take, name, samples, channel == 0 ? 1.0f : -1.0f);
        }
    }

    // One channel of a take: captured frames of that channel in order, each once; frames lost on the
    // way have silence of their length in their place; every block rendered before the stop is there.
    void checkMultiTakeFile(const MultiTake& take, const std::string& name, const std::vector<float>& samples,
                            float sign) {
        std::int64_t lastPosition = kNone;
        std::int64_t last = kNone;
        for (std::size_t p = 0; p < samples.size(); ++p) {
            const std::int64_t k = named(samples[p] * sign, 8388608.0);
            if (k == -1) continue;
            const std::string at = name + " at " + std::to_string(p);
            if (k == -2) return fail(at + " holds a sample that was never captured on its channel");
            if (k < take.first || k > take.last)
                return fail(at + " holds captured frame " + std::to_string(k) + ", read " +
                            (k < take.first ? "before its record()" : "after its stop"));
            if (last != kNone && k <= last)
                return fail(at + " holds captured frame " + std::to_string(k) + " after frame " +
                            std::to_string(last));
            if (last != kNone && ringOf(k) == ringOf(last) && k - last > std::int64_t(p) - lastPosition)
                return fail(at + " holds captured frame " + std::to_string(k) + " only " +
                            std::to_string(std::int64_t(p) - lastPosition) + " after frame " +
                            std::to_string(last));
            lastPosition = std::int64_t(p);
            last = k;
        }
        // Every frame rendered from its record() to its stop, the block being filled at the stop too.
        if (std::int64_t(samples.size()) < take.end - take.begin)
            fail(name + " holds " + std::to_string(samples.size()) + " frames of the " +
                 std::to_string(take.end - take.begin) + " the input rendered while it recorded");
    }

    Bytes in_;
    Findings findings_;
    Gate gate_;
    int step_ = 0;
    std::vector<std::string> operations_;
    std::filesystem::path dir_;
    std::shared_ptr<CapturingLogSink> log_ = std::make_shared<CapturingLogSink>();
    std::shared_ptr<LogSink> previousSink_;
    std::shared_ptr<AudioDeviceBackend> previousDevices_;
    std::shared_ptr<FakeAudioDeviceBackend> fake_ = std::make_shared<FakeAudioDeviceBackend>();
    ManualClock clock_;
    double outRate_ = 48000;
    double inRate_ = 48000;
    std::uint32_t inChannels_ = 1;
    std::uint32_t period_ = 512;
    std::uint32_t runningPeriod_ = 0;
    std::uint64_t host_ = 0;
    std::shared_ptr<AudioEngine> engine_;
    std::shared_ptr<AudioMixerNode> mixer_;
    std::shared_ptr<AudioMixerNode> submix_;
    std::shared_ptr<AudioInputNode> input_;
    std::shared_ptr<AudioPlayerNode> players_[2];
    std::shared_ptr<AudioSourceNode> generator_;
    std::shared_ptr<AudioUnitSampler> sampler_;
    std::vector<Watched> watched_;
    std::uint32_t tapBlock_ = 256;
    std::shared_ptr<PlayedFrames> played_ = std::make_shared<PlayedFrames>();
    bool running_ = false;
    bool samplerAttached_ = true;
    int notesSent_ = 0;
    std::vector<int> waitingNotes_;
    std::optional<AudioTime> samplerSeen_;
    // The sampler's last time on the time line it renders on now: none once times may start afresh.
    std::int64_t samplerSince_ = kNone;
    std::uint32_t scheduled_ = 0;
    std::int64_t lastScheduled_[2] = {-1, -1};
    int playerTap_[2] = {-1, -1};
    int graphChanges_ = 0;
    std::shared_ptr<sonabel::NodeRecorder> recorder_;
    int recordedFrom_ = 0;
    std::vector<RecorderTake> takes_;
    std::shared_ptr<sonabel::MultiChannelInputNodeTap> multi_;
    std::uint32_t multiBlock_ = 2048;
    std::int64_t multiFrom_ = 0;
    std::int64_t multiFirst_ = 0;
    std::vector<MultiTake> multiTakes_;
    std::vector<RingLog> rings_;
    std::int64_t nextName_ = 0;
    // The recorders' wait at a stop.
    std::chrono::nanoseconds takeEndWait_ = kTakeEndWait;
    std::vector<AudioDeviceID> picked_; // devices a user may pick, added as they are first picked
    // On RtAudio's devices while there is a driver; the fake device's rate and period meanwhile.
    std::shared_ptr<FakeRtAudioDriver> rtDriver_;
    ManualClock rtClock_;
    std::vector<float> rtOut_;
    std::vector<float> rtIn_;
    double fakeInRate_ = 48000;
    std::uint32_t fakeInChannels_ = 1;
    double fakeRate_ = 48000;
    std::uint32_t fakePeriod_ = 512;
    std::shared_ptr<AudioSourceNode> tone_;
    std::shared_ptr<AudioMixerNode> probe_;
    bool probeRacing_ = false;
};

} // namespace

std::optional<std::string> runEngineLifecycle(const std::uint8_t* data, std::size_t size) {
    renderthread::resetCounts();
    Run run(data, size);
    return run.go();
}

} // namespace lifecycle
