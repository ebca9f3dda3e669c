#include "platform/audio/devices/RtAudioDeviceBackend.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/devices/AudioCallbackTiming.h"

#include <RtAudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>

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
        const auto api = rtApi(backend_->configuration().api);
        try {
            unsigned frames = backend_->configuration().bufferFrameSize;
            buffer_ = PCMBuffer::make(format, std::max(frames, 4096u));
            if (!buffer_) throw AudioError(AudioError::kDomain, kAudio_MemFullError, "no render buffer");
            engine.prepareForCycles(buffer_->frameCapacity()); // the callback's largest chunk
            engine_ = &engine;
            RtAudio::StreamParameters outParameters;
            outParameters.deviceId = out.index;
            outParameters.nChannels = format.channelCount();
            RtAudio::StreamParameters inParameters;
            inParameters.deviceId = in.index;
            inParameters.nChannels = ring_ ? ring_->channels() : 0;
            if (hasOutput) {
                output_ = std::make_unique<RtAudio>(api);
                output_->showWarnings(false);
                // RtAudio's PulseAudio duplex stream reads input only as often as it writes output:
                // input the server queued during a hiccup would stay queued, latency for good.
                const bool duplex = ring_ && inputID == device_ && api != RtAudio::LINUX_PULSE;
                output_->openStream(&outParameters, duplex ? &inParameters : nullptr, RTAUDIO_FLOAT32,
                                    static_cast<unsigned>(format.sampleRate()), &frames, &RtAudioIO::callback,
                                    this);
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
                    const unsigned longest =
                        std::max<unsigned>(frames, openInput(api, inParameters, &RtAudioIO::inputCallback));
                    fitCaptureRing(engine, longest);
                    ring_->setPrefill(2 * longest);
                }
            } else {
                // No output device: the input's own callback drives the graph, whose output is dropped.
                bufferFrames_ = openInput(api, inParameters, &RtAudioIO::callback);
                fitCaptureRing(engine, bufferFrames_);
            }
            if (input_) input_->startStream();
            if (output_) output_->startStream();
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
    // The ring was made for the period asked for; a device that granted a longer one gets a ring
    // for that, before any callback runs.
    void fitCaptureRing(AudioEngine& engine, std::uint32_t period) {
        if (ring_ && captureFrames(period) > ring_->capacity())
            ring_ = engine.attachCaptureRing(captureFrames(period));
    }

    // Returns the buffer size the device granted.
    unsigned openInput(RtAudio::Api api, RtAudio::StreamParameters& parameters, RtAudioCallback callback) {
        const double rate = ring_ && engine_ ? engine_->inputNode()->hardwareFormat().sampleRate() : 44100;
        unsigned frames = backend_->configuration().bufferFrameSize;
        input_ = std::make_unique<RtAudio>(api);
        input_->showWarnings(false);
        input_->openStream(nullptr, &parameters, RTAUDIO_FLOAT32, static_cast<unsigned>(rate), &frames,
                           callback, this);
        return frames;
    }

    // Output, duplex, or input driving the graph: captured frames go into the ring first, then the
    // graph renders (and reads them) in blocks of the render buffer.
    static int callback(void* output, void* input, unsigned frames, double, RtAudioStreamStatus flags,
                        void* user) {
        auto* self = static_cast<RtAudioIO*>(user);
        if (output && self->timingReady_.load(std::memory_order_acquire) &&
            self->timing_->callback(self->backend_->configuration().clock->now(), frames,
                                    flags & RTAUDIO_OUTPUT_UNDERFLOW)) {
            self->engine_->countOutputUnderrun(self->timing_->silenceFrames());
            // An input stream of its own went on meanwhile; what it piled up is not dropped here:
            // the device starts again from empty and its first callbacks come at once to fill its
            // buffer, reading the pile. What stays is the ring's to give back.
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
        auto* self = static_cast<RtAudioIO*>(user);
        if (input && self->ring_) self->ring_->write(static_cast<const float*>(input), frames);
        return 0;
    }

    void closeLocked() {
        for (auto* rt : {&output_, &input_}) {
            if (*rt) {
                try {
                    if ((*rt)->isStreamRunning()) (*rt)->stopStream();
                    if ((*rt)->isStreamOpen()) (*rt)->closeStream();
                } catch (const RtAudioError&) {
                }
            }
            rt->reset();
        }
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
    std::unique_ptr<RtAudio> output_;
    std::unique_ptr<RtAudio> input_;
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

std::shared_ptr<RtAudioDeviceBackend> RtAudioDeviceBackend::makeIfAvailable() {
    return makeIfAvailable(Configuration{});
}

std::shared_ptr<RtAudioDeviceBackend> RtAudioDeviceBackend::makeIfAvailable(Configuration configuration) {
    try {
        std::shared_ptr<RtAudioDeviceBackend> backend(new RtAudioDeviceBackend(configuration));
        backend->rt_ = std::make_unique<RtAudio>(rtApi(configuration.api));
        backend->rt_->showWarnings(false);
        {
            std::lock_guard lock(backend->mutex_);
            backend->refreshLocked();
        }
        if (listsDevices(*backend)) return backend;
    } catch (const RtAudioError&) {
    }
    return nullptr;
}

void RtAudioDeviceBackend::refreshLocked() const {
    devices_.clear();
    try {
        const unsigned count = rt_->getDeviceCount();
        for (unsigned i = 0; i < count; ++i) {
            const RtAudio::DeviceInfo info = rt_->getDeviceInfo(i);
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
