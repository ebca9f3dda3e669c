#include "platform/audio/devices/RtAudioDeviceBackend.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioOutputNode.h"

#include <RtAudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace platform {

namespace {

class RtAudioIO final : public AudioIOBackend {
public:
    explicit RtAudioIO(std::shared_ptr<RtAudioDeviceBackend> backend)
        : backend_(std::move(backend)), device_(backend_->defaultDevice(false)) {}
    ~RtAudioIO() override { stop(); }

    void start(AudioEngine& engine) override {
        std::lock_guard lock(mutex_);
        if (rt_ && rt_->isStreamOpen()) return;
        RtAudioDeviceBackend::Device device;
        if (!backend_->device(device_, device) || device.outputChannels == 0)
            throw AudioError(AudioError::kDomain, kAudioHardwareBadDeviceError, "no output device");
        const AudioFormat format = engine.outputNode()->outputFormat(0);
        try {
            rt_ = std::make_unique<RtAudio>(RtAudio::LINUX_ALSA);
            rt_->showWarnings(false);
            RtAudio::StreamParameters parameters;
            parameters.deviceId = device.index;
            parameters.nChannels = format.channelCount();
            unsigned frames = backend_->configuration().bufferFrameSize;
            buffer_ = PCMBuffer::make(format, std::max(frames, 4096u));
            if (!buffer_) throw AudioError(AudioError::kDomain, kAudio_MemFullError, "no render buffer");
            engine_ = &engine;
            rt_->openStream(&parameters, nullptr, RTAUDIO_FLOAT32, static_cast<unsigned>(format.sampleRate()),
                            &frames, &RtAudioIO::callback, this);
            bufferFrames_ = frames;
            rt_->startStream();
        } catch (const RtAudioError& error) {
            closeLocked();
            throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization, error.getMessage());
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
        if (!backend_->device(backend_->defaultDevice(true), device) || device.inputChannels == 0) return {};
        const double rate = device.preferredSampleRate ? device.preferredSampleRate : 44100;
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
        if (!rt_ || !rt_->isStreamOpen() || !engine) return noErr;
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
    static int callback(void* output, void*, unsigned frames, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<RtAudioIO*>(user);
        auto* out = static_cast<float*>(output);
        const std::uint32_t channels = self->buffer_->format().channelCount();
        const std::uint32_t capacity = self->buffer_->frameCapacity();
        std::uint32_t done = 0;
        while (done < frames) {
            const std::uint32_t n = std::min(frames - done, capacity);
            const auto status = self->engine_->renderCycle(
                n, *self->buffer_, self->backend_->configuration().clock->now(), false);
            float* const* data = self->buffer_->floatChannelData();
            for (std::uint32_t i = 0; i < n; ++i)
                for (std::uint32_t c = 0; c < channels; ++c)
                    out[(done + i) * channels + c] =
                        status == AudioEngine::ManualRenderingStatus::success ? data[c][i] : 0.0f;
            done += n;
        }
        return 0;
    }

    void closeLocked() {
        if (rt_) {
            try {
                if (rt_->isStreamRunning()) rt_->stopStream();
                if (rt_->isStreamOpen()) rt_->closeStream();
            } catch (const RtAudioError&) {
            }
        }
        rt_.reset();
        engine_ = nullptr;
        bufferFrames_ = 0;
    }

    std::shared_ptr<RtAudioDeviceBackend> backend_;
    mutable std::mutex mutex_;
    AudioDeviceID device_;
    std::unique_ptr<RtAudio> rt_;
    std::shared_ptr<PCMBuffer> buffer_;
    AudioEngine* engine_ = nullptr;
    std::uint32_t bufferFrames_ = 0;
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
        backend->rt_ = std::make_unique<RtAudio>(RtAudio::LINUX_ALSA);
        backend->rt_->showWarnings(false);
        std::lock_guard lock(backend->mutex_);
        backend->refreshLocked();
        for (const auto& [id, device] : backend->devices_)
            if (device.outputChannels > 0) return backend;
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
