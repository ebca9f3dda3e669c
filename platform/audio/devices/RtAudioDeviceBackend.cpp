#include "platform/audio/devices/RtAudioDeviceBackend.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/AudioCallbackTiming.h"

#include "platform/core/BackgroundJobs.h"
#include "platform/core/LogSink.h"
#include "platform/core/Sleeper.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

namespace platform {

namespace {

// Room for the cushion to grow to eight device periods between two streams (it waits in silence
// for all of it each time it grows), and as much again for the input's bursts after a hiccup;
// 16,384 frames at least, which small periods need under load.
std::uint32_t captureFrames(std::uint32_t period) {
    return std::max(16 * period, 16384u);
}

RtAudio::Api rtApi(RtAudioDeviceBackend::Api api) {
    switch (api) {
    case RtAudioDeviceBackend::Api::pulse:
        return RtAudio::LINUX_PULSE;
    case RtAudioDeviceBackend::Api::jack:
        return RtAudio::UNIX_JACK;
    case RtAudioDeviceBackend::Api::alsa:
        break;
    }
    return RtAudio::LINUX_ALSA;
}

// A server can keep a stream from stopping: RtAudio's stop waits for the stream's callback thread,
// which waits in the client library for a server whose sink is suspended or that has stalled. Stops
// run on jobs of their own: the shared jobs are joined when the process ends, and such a stop may
// never end; a thread of these still waiting then ends with the process.
BackgroundJobs& stopJobs() {
    static BackgroundJobs& jobs = *new BackgroundJobs;
    return jobs;
}

// Stops and closes the streams in order on a job, holding `keep` until they are closed. False when
// that takes longer than `budget`: the job goes on without anyone waiting for it.
bool stopWithin(std::vector<std::unique_ptr<RtAudioDriver::Stream>> streams, std::shared_ptr<const void> keep,
                std::chrono::nanoseconds budget) {
    struct Stop {
        std::vector<std::unique_ptr<RtAudioDriver::Stream>> streams;
        std::shared_ptr<const void> keep;
        std::mutex mutex;
        std::condition_variable ended;
        bool done = false;
    };
    auto stop = std::make_shared<Stop>();
    stop->streams = std::move(streams);
    stop->keep = std::move(keep);
    const std::uint64_t job = stopJobs().run([stop] {
        stop->streams.clear();
        stop->keep.reset();
        std::lock_guard lock(stop->mutex);
        stop->done = true;
        stop->ended.notify_all();
    });
    std::unique_lock lock(stop->mutex);
    if (!stop->ended.wait_for(lock, budget, [&] { return stop->done; })) return false;
    lock.unlock();
    stopJobs().join(job);
    return true;
}

class RtAudioIO final : public AudioIOBackend {
public:
    explicit RtAudioIO(std::shared_ptr<RtAudioDeviceBackend> backend)
        : backend_(std::move(backend)), device_(backend_->defaultDevice(false)) {}
    ~RtAudioIO() override { stop(); }

    void start(AudioEngine& engine) override {
        std::lock_guard lock(mutex_);
        if (output_ || input_) return;
        RtAudioDeviceBackend::Device out;
        const bool hasOutput = backend_->device(device_, out) && out.outputChannels > 0;
        const AudioDeviceID inputID = backend_->defaultDevice(true);
        RtAudioDeviceBackend::Device in;
        const bool hasInput = inputID && backend_->device(inputID, in) && in.inputChannels > 0;
        ring_ = hasInput ? engine.attachCaptureRing(captureFrames(backend_->configuration().bufferFrameSize))
                         : nullptr;
        if (!hasOutput && !ring_)
            throw AudioError(AudioError::kDomain, kAudioHardwareBadDeviceError, "no output device");
        const AudioFormat format = engine.outputNode()->outputFormat(0);
        const bool jack = backend_->configuration().api == RtAudioDeviceBackend::Api::jack;
        try {
            unsigned frames = backend_->configuration().bufferFrameSize;
            buffer_ = PCMBuffer::make(format, std::max(frames, 4096u));
            if (!buffer_) throw AudioError(AudioError::kDomain, kAudio_MemFullError, "no render buffer");
            engine.prepareForCycles(buffer_->frameCapacity()); // the callback's largest chunk
            engine_ = &engine;
            gate_ = std::make_shared<Gate>(this, format.channelCount());
            const RtAudio::StreamOptions options = backend_->streamOptions();
            RtAudio::StreamParameters outParameters;
            outParameters.deviceId = out.index;
            outParameters.nChannels = format.channelCount();
            RtAudio::StreamParameters inParameters;
            inParameters.deviceId = in.index;
            inParameters.nChannels = ring_ ? ring_->channels() : 0;
            if (hasOutput) {
                // RtAudio's duplex streams stay behind after a hiccup, each write waiting for a read.
                // On PulseAudio input the server queued meanwhile stays queued, latency for good; on
                // ALSA, after an output underrun, the output never gets ahead of the device again and
                // plays holes for tens of seconds. Streams of their own each catch up.
                const bool duplex = ring_ && inputID == device_ && jack;
                RtAudioDriver::Request request{&outParameters,
                                               duplex ? &inParameters : nullptr,
                                               static_cast<unsigned>(format.sampleRate()),
                                               frames,
                                               &RtAudioIO::callback,
                                               gate_.get(),
                                               options};
                output_ = backend_->driver().open(request);
                frames = request.frames;
                bufferFrames_ = frames;
                // The stream's thread may already run the callback: it looks at timing_ only once
                // this is published.
                timing_.emplace(format.sampleRate(), frames);
                timingReady_.store(true, std::memory_order_release);
                fitCaptureRing(engine, frames);
                if (!duplex && ring_) {
                    // Two streams wake on their own schedules, each with the period its device
                    // granted: the ring holds the longer one's bursts, and the graph reads two of them
                    // behind the input so that neither stream's jitter starves it. RtAudio runs no
                    // callback before startStream(), which comes after this.
                    const unsigned longest = std::max<unsigned>(
                        frames, openInput(inParameters, options, &RtAudioIO::inputCallback));
                    fitCaptureRing(engine, longest);
                    ring_->setPrefill(2 * longest);
                }
            } else {
                // No output device: the input's own callback drives the graph, whose output is dropped.
                bufferFrames_ = openInput(inParameters, options, &RtAudioIO::callback);
                fitCaptureRing(engine, bufferFrames_);
            }
            if (input_) input_->start();
            if (output_) output_->start();
        } catch (const RtAudioError& error) {
            closeLocked();
            throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization, error.getMessage());
        } catch (...) {
            closeLocked();
            throw;
        }
    }

    void stop() override {
        std::lock_guard lock(mutex_);
        closeLocked();
    }

    AudioFormat outputFormat() const override {
        RtAudioDeviceBackend::Device device;
        std::uint32_t channels = 2;
        double rate = 44100;
        if (backend_->device(device_, device)) {
            if (device.outputChannels == 1) channels = 1;
            if (device.preferredSampleRate) rate = device.preferredSampleRate;
        }
        return AudioFormat::standard(rate, channels).value_or(AudioFormat{});
    }

    AudioFormat inputFormat() const override {
        RtAudioDeviceBackend::Device device;
        const AudioDeviceID id = backend_->defaultDevice(true);
        if (!backend_->device(id, device) || device.inputChannels == 0) return {};
        // In one duplex stream the input runs at the output's rate.
        double rate = device.preferredSampleRate ? device.preferredSampleRate : 44100;
        if (id == device_) rate = outputFormat().sampleRate();
        return AudioFormat::standard(rate, std::min(device.inputChannels, 2u)).value_or(AudioFormat{});
    }

    OSStatus currentDevice(std::uint32_t& deviceID) const override {
        std::lock_guard lock(mutex_);
        deviceID = device_;
        return noErr;
    }

    OSStatus setCurrentDevice(std::uint32_t deviceID) override {
        RtAudioDeviceBackend::Device device;
        if (!backend_->device(deviceID, device) || device.outputChannels == 0)
            return kAudioHardwareBadDeviceError;
        std::unique_lock lock(mutex_);
        device_ = deviceID;
        AudioEngine* engine = engine_;
        if (!(output_ || input_) || !engine) return noErr;
        closeLocked();
        lock.unlock();
        try {
            start(*engine);
        } catch (const AudioError&) {
            return kAudioHardwareBadDeviceError;
        }
        return noErr;
    }

    OSStatus bufferFrameSize(std::uint32_t& frames) const override {
        std::lock_guard lock(mutex_);
        frames = bufferFrames_ ? bufferFrames_ : backend_->configuration().bufferFrameSize;
        return noErr;
    }

private:
    // What a stream's callback reaches the engine through. A stream that does not stop in time lives
    // on, and its callback may come after the engine is gone: it shares the gate, and once the gate
    // is closed no callback gets past it to this object.
    struct Gate {
        Gate(RtAudioIO* io, std::uint32_t outputChannels) : io(io), outputChannels(outputChannels) {}
        RtAudioIO* const io;
        const std::uint32_t outputChannels;
        std::atomic<bool> open{true};
        std::atomic<int> inside{0};

        // Returns once no callback is past the gate; none gets past it after. A callback renders a
        // period and never waits: this waits that long at most.
        void close() {
            open.store(false);
            while (inside.load() != 0)
                Sleeper::system().sleepFor(std::chrono::microseconds(100));
        }
    };
    // A callback's way past the gate, while it lives.
    class Pass {
    public:
        explicit Pass(Gate& gate) : gate_(gate) {
            gate_.inside.fetch_add(1);
            open_ = gate_.open.load();
        }
        ~Pass() { gate_.inside.fetch_sub(1); }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        explicit operator bool() const { return open_; }

    private:
        Gate& gate_;
        bool open_ = false;
    };

    // The ring was made for the period asked for; a device that granted a longer one gets a ring
    // for that, before any callback runs.
    void fitCaptureRing(AudioEngine& engine, std::uint32_t period) {
        if (ring_ && captureFrames(period) > ring_->capacity())
            ring_ = engine.attachCaptureRing(captureFrames(period));
    }

    // Returns the buffer size the device granted.
    unsigned openInput(RtAudio::StreamParameters& parameters, const RtAudio::StreamOptions& options,
                       RtAudioCallback callback) {
        const double rate = ring_ && engine_ ? engine_->inputNode()->hardwareFormat().sampleRate() : 44100;
        RtAudioDriver::Request request{nullptr,
                                       &parameters,
                                       static_cast<unsigned>(rate),
                                       backend_->configuration().bufferFrameSize,
                                       callback,
                                       gate_.get(),
                                       options};
        input_ = backend_->driver().open(request);
        return request.frames;
    }

    // Output, duplex, or input driving the graph: captured frames go into the ring first, then the
    // graph renders (and reads them) in blocks of the render buffer.
    static int callback(void* output, void* input, unsigned frames, double, RtAudioStreamStatus flags,
                        void* user) {
        auto& gate = *static_cast<Gate*>(user);
        const Pass pass(gate);
        if (!pass) {
            if (output)
                std::fill_n(static_cast<float*>(output), std::size_t(frames) * gate.outputChannels, 0.0f);
            return 0;
        }
        RtAudioIO* const self = gate.io;
        if (output && self->timingReady_.load(std::memory_order_acquire) &&
            self->timing_->callback(self->backend_->configuration().clock->now(), frames,
                                    flags & RTAUDIO_OUTPUT_UNDERFLOW)) {
            self->engine_->countOutputUnderrun(self->timing_->silenceFrames());
            // An input stream of its own went on meanwhile; what it piled up is not dropped here:
            // the device starts again from empty and its first callbacks come at once to fill its
            // buffer, reading the pile. What stays is the ring's to give back.
            if (self->ring_) self->ring_->noteOutputUnderrun();
        }
        if (input && self->ring_) self->ring_->write(static_cast<const float*>(input), frames);
        auto* out = static_cast<float*>(output);
        const std::uint32_t channels = self->buffer_->format().channelCount();
        const std::uint32_t capacity = self->buffer_->frameCapacity();
        std::uint32_t done = 0;
        while (done < frames) {
            const std::uint32_t n = std::min(frames - done, capacity);
            const auto status = self->engine_->renderCycle(
                n, *self->buffer_, self->backend_->configuration().clock->now(), false);
            const bool rendered = status == AudioEngine::ManualRenderingStatus::success;
            // A cycle the graph could not render read nothing: its captured frames go, so the
            // input does not fall behind for good.
            if (!rendered && input && self->ring_) self->ring_->discard(n);
            if (out) {
                float* const* data = self->buffer_->floatChannelData();
                for (std::uint32_t i = 0; i < n; ++i)
                    for (std::uint32_t c = 0; c < channels; ++c)
                        out[(done + i) * channels + c] = rendered ? data[c][i] : 0.0f;
            }
            done += n;
        }
        return 0;
    }

    // The input of its own stream, beside an output stream that renders.
    static int inputCallback(void*, void* input, unsigned frames, double, RtAudioStreamStatus, void* user) {
        auto& gate = *static_cast<Gate*>(user);
        const Pass pass(gate);
        if (pass && input && gate.io->ring_) gate.io->ring_->write(static_cast<const float*>(input), frames);
        return 0;
    }

    void closeLocked() {
        // First no callback reaches the engine, then the streams stop: a stream the server keeps
        // from stopping in time is left to stop on its own, with the gate.
        if (gate_) gate_->close();
        std::vector<std::unique_ptr<RtAudioDriver::Stream>> streams;
        for (auto* stream : {&output_, &input_})
            if (*stream) streams.push_back(std::move(*stream));
        if (!streams.empty() && !stopWithin(std::move(streams), gate_, backend_->configuration().stopTimeout))
            backend_->tellStopLeftRunning();
        gate_.reset();
        if (engine_ && ring_) engine_->detachCaptureRing();
        ring_.reset();
        engine_ = nullptr;
        bufferFrames_ = 0;
        timingReady_.store(false, std::memory_order_relaxed);
        timing_.reset();
    }

    std::shared_ptr<RtAudioDeviceBackend> backend_;
    mutable std::mutex mutex_;
    AudioDeviceID device_;
    std::unique_ptr<RtAudioDriver::Stream> output_;
    std::unique_ptr<RtAudioDriver::Stream> input_;
    std::shared_ptr<Gate> gate_; // of the open streams
    std::shared_ptr<PCMBuffer> buffer_;
    std::shared_ptr<AudioRingBuffer> ring_;
    AudioEngine* engine_ = nullptr;
    std::uint32_t bufferFrames_ = 0;
    std::optional<AudioCallbackTiming> timing_; // of the output stream
    std::atomic<bool> timingReady_{false};
};

} // namespace

RtAudioDeviceBackend::RtAudioDeviceBackend(Configuration configuration) : configuration_(configuration) {}
RtAudioDeviceBackend::~RtAudioDeviceBackend() = default;

RtAudioDeviceBackend::Configuration RtAudioDeviceBackend::Configuration::fromEnvironment() {
    Configuration configuration;
    const char* text = std::getenv("SONABEL_AUDIO_BUFFERS");
    if (!text) return configuration;
    const std::string_view value(text);
    unsigned buffers = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), buffers);
    if (error == std::errc() && end == value.data() + value.size() && buffers >= 2 && buffers <= 16) {
        configuration.numberOfBuffers = buffers;
    } else {
        LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                       "SONABEL_AUDIO_BUFFERS=\"" + std::string(value) +
                           "\" is not a number of buffers from 2 to 16: the streams keep " +
                           std::to_string(configuration.numberOfBuffers)});
    }
    return configuration;
}

std::shared_ptr<RtAudioDeviceBackend> RtAudioDeviceBackend::makeIfAvailable() {
    return makeIfAvailable(Configuration::fromEnvironment());
}

std::shared_ptr<RtAudioDeviceBackend> RtAudioDeviceBackend::makeIfAvailable(Configuration configuration) {
    try {
        if (!configuration.driver) configuration.driver = RtAudioDriver::make(rtApi(configuration.api));
        std::shared_ptr<RtAudioDeviceBackend> backend(new RtAudioDeviceBackend(std::move(configuration)));
        {
            std::lock_guard lock(backend->mutex_);
            backend->refreshLocked();
        }
        if (listsDevices(*backend)) return backend;
    } catch (const RtAudioError&) {
    }
    return nullptr;
}

RtAudio::StreamOptions RtAudioDeviceBackend::streamOptions() {
    RtAudio::StreamOptions options;
    options.numberOfBuffers = configuration_.numberOfBuffers;
    const int priority = configuration_.realtimePriority;
    // RtAudio's PulseAudio streams hand their frames to the client library's own thread: the driver
    // raises that one with the callback's, as a callback scheduled first alone only waits for it
    // sooner (under load such streams broke up more than those with neither).
    if (priority <= 0) return options;
    if (driver().grantsRealtime(priority)) {
        options.flags |= RTAUDIO_SCHEDULE_REALTIME;
        options.priority = priority;
    } else if (!toldRealtimeRefused_.exchange(true)) {
        LogSink::emit({"io.sonabel.platform", "audio", LogLevel::defaultLevel,
                       "Real-time scheduling for the audio callback was refused (priority " +
                           std::to_string(priority) +
                           "): it runs at normal priority, and other programs' load can break the sound"});
    }
    return options;
}

void RtAudioDeviceBackend::tellStopLeftRunning() {
    if (toldStopLeftRunning_.exchange(true)) return;
    LogSink::emit(
        {"io.sonabel.platform", "audio", LogLevel::error,
         "The sound server did not stop the audio streams within " +
             std::to_string(configuration_.stopTimeout.count()) +
             " ms: they are left to stop on their own, and the engine no longer plays through them"});
}

void RtAudioDeviceBackend::refreshLocked() const {
    devices_.clear();
    try {
        const std::vector<RtAudio::DeviceInfo> infos = configuration_.driver->devices();
        for (unsigned i = 0; i < infos.size(); ++i) {
            const RtAudio::DeviceInfo& info = infos[i];
            if (!info.probed) continue;
            auto [it, added] = ids_.try_emplace(info.name, nextID_);
            if (added) ++nextID_;
            devices_[it->second] = Device{info.name,
                                          i,
                                          info.inputChannels,
                                          info.outputChannels,
                                          info.preferredSampleRate,
                                          info.isDefaultOutput,
                                          info.isDefaultInput};
        }
    } catch (const RtAudioError&) {
        devices_.clear();
    }
}

OSStatus RtAudioDeviceBackend::deviceIDs(std::vector<AudioDeviceID>& ids) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    ids.clear();
    for (const auto& [id, device] : devices_)
        ids.push_back(id);
    return noErr;
}

bool RtAudioDeviceBackend::hasDevice(AudioDeviceID id) const {
    std::lock_guard lock(mutex_);
    return devices_.count(id) > 0;
}

bool RtAudioDeviceBackend::device(AudioDeviceID id, Device& out) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return false;
    out = it->second;
    return true;
}

AudioDeviceID RtAudioDeviceBackend::defaultDevice(bool input) const {
    std::lock_guard lock(mutex_);
    AudioDeviceID first = 0;
    for (const auto& [id, device] : devices_) {
        const unsigned channels = input ? device.inputChannels : device.outputChannels;
        if (!channels) continue;
        if (input ? device.isDefaultInput : device.isDefaultOutput) return id;
        if (!first) first = id;
    }
    return first;
}

OSStatus RtAudioDeviceBackend::deviceName(AudioDeviceID id, std::string& name) const {
    Device d;
    if (!device(id, d)) return kAudioHardwareBadDeviceError;
    name = d.name;
    return noErr;
}

OSStatus RtAudioDeviceBackend::streamChannels(AudioDeviceID id, bool input,
                                              std::vector<std::uint32_t>& streams) const {
    Device d;
    if (!device(id, d)) return kAudioHardwareBadDeviceError;
    const unsigned channels = input ? d.inputChannels : d.outputChannels;
    streams.clear();
    if (channels) streams.push_back(channels);
    return noErr;
}

std::shared_ptr<AudioIOBackend> RtAudioDeviceBackend::makeIO() {
    return std::make_shared<RtAudioIO>(shared_from_this());
}

} // namespace platform
