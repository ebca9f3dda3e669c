#include "platform/audio/devices/FakeAudioDeviceBackend.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioOutputNode.h"

#include <algorithm>

namespace platform {

namespace {
constexpr std::uint32_t kCaptureFrames = 8192;
}

class FakeAudioDeviceBackend::IO final : public AudioIOBackend {
public:
    IO(FakeAudioDeviceBackend& backend, AudioDeviceID device) : backend_(backend), device_(device) {}

    void start(AudioEngine& engine) override {
        bool capture = false;
        std::uint32_t period = 0;
        {
            std::lock_guard lock(backend_.mutex_);
            if (backend_.startError_)
                throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization,
                                 *backend_.startError_);
            backend_.running_ = &engine;
            engine_ = &engine;
            ++backend_.starts_;
            capture = backend_.inputFormat_.sampleRate() > 0;
            period = backend_.bufferFrames_;
        }
        // The graph lock is taken without the backend's: the graph asks the backend for formats under its
        // own.
        auto ring = capture ? engine.attachCaptureRing(kCaptureFrames) : nullptr;
        // A device's buffers are there before it runs, and the graph is ready for its period: tick()
        // renders into them.
        const std::uint32_t frames = std::max(period, 4096u);
        engine.prepareForCycles(frames);
        format_ = engine.outputNode()->outputFormat(0);
        buffers_.clear();
        for (int i = 0; i < 4; ++i)
            if (auto buffer = PCMBuffer::make(format_, frames)) buffers_.push_back(std::move(buffer));
        std::lock_guard lock(backend_.mutex_);
        if (backend_.running_ == &engine) {
            backend_.ring_ = std::move(ring);
            backend_.runningIO_.store(this, std::memory_order_release);
        }
    }
    void stop() override {
        AudioEngine* engine = nullptr;
        {
            std::lock_guard lock(backend_.mutex_);
            engine = engine_;
            if (backend_.running_ == engine_ && engine_) {
                backend_.running_ = nullptr;
                backend_.runningIO_.store(nullptr);
                backend_.ring_.reset();
            }
            engine_ = nullptr;
        }
        if (engine) engine->detachCaptureRing();
    }
    AudioFormat outputFormat() const override {
        std::lock_guard lock(backend_.mutex_);
        return backend_.outputFormat_;
    }
    AudioFormat inputFormat() const override {
        std::lock_guard lock(backend_.mutex_);
        return backend_.inputFormat_;
    }
    OSStatus currentDevice(std::uint32_t& deviceID) const override {
        std::lock_guard lock(backend_.mutex_);
        if (backend_.currentDeviceStatus_ != noErr) return backend_.currentDeviceStatus_;
        deviceID = device_;
        return noErr;
    }
    OSStatus setCurrentDevice(std::uint32_t deviceID) override {
        std::lock_guard lock(backend_.mutex_);
        if (backend_.currentDeviceStatus_ != noErr) return backend_.currentDeviceStatus_;
        auto it = backend_.devices_.find(deviceID);
        if (it == backend_.devices_.end() || it->second.outputStreams.empty())
            return kAudioHardwareBadDeviceError;
        device_ = deviceID;
        return noErr;
    }
    OSStatus bufferFrameSize(std::uint32_t& frames) const override {
        std::lock_guard lock(backend_.mutex_);
        if (backend_.bufferFramesStatus_ != noErr) return backend_.bufferFramesStatus_;
        frames = backend_.bufferFrames_;
        return noErr;
    }

    // The device's callback: no lock, and a buffer of its own unless the caller still holds them all.
    std::shared_ptr<PCMBuffer> tick(std::uint32_t frames, std::optional<std::uint64_t> hostTime) {
        std::shared_ptr<PCMBuffer> buffer;
        for (auto& candidate : buffers_)
            if (candidate.use_count() == 1 && candidate->frameCapacity() >= frames) {
                buffer = candidate;
                break;
            }
        if (!buffer) buffer = PCMBuffer::make(format_, frames);
        if (!buffer || !engine_) return nullptr;
        // More than the period it started with: the engine refuses it, as a device never asks it.
        if (engine_->renderCycle(frames, *buffer, hostTime, false) ==
            AudioEngine::ManualRenderingStatus::cannotDoInCurrentContext)
            return nullptr;
        return buffer;
    }

private:
    FakeAudioDeviceBackend& backend_;
    AudioDeviceID device_;
    AudioEngine* engine_ = nullptr;
    AudioFormat format_;
    std::vector<std::shared_ptr<PCMBuffer>> buffers_;
};

AudioDeviceID FakeAudioDeviceBackend::addDevice(std::string name, std::vector<std::uint32_t> inputStreams,
                                                std::vector<std::uint32_t> outputStreams) {
    std::lock_guard lock(mutex_);
    const AudioDeviceID id = nextID_++;
    const bool hasOutput = !outputStreams.empty();
    devices_[id] = Device{std::move(name), std::move(inputStreams), std::move(outputStreams)};
    if (!defaultOutput_ && hasOutput) defaultOutput_ = id;
    return id;
}

void FakeAudioDeviceBackend::failProperty(AudioObjectPropertySelector selector, bool sizeQuery,
                                          OSStatus status) {
    std::lock_guard lock(mutex_);
    if (status == noErr)
        failures_.erase({selector, sizeQuery});
    else
        failures_[{selector, sizeQuery}] = status;
}

void FakeAudioDeviceBackend::truncateStreamConfiguration(std::optional<std::uint32_t> bytes) {
    std::lock_guard lock(mutex_);
    truncatedBytes_ = bytes;
}

void FakeAudioDeviceBackend::setDefaultOutputDevice(AudioDeviceID id) {
    std::lock_guard lock(mutex_);
    defaultOutput_ = id;
}

void FakeAudioDeviceBackend::setBufferFrameSize(std::uint32_t frames, OSStatus status) {
    std::lock_guard lock(mutex_);
    bufferFrames_ = frames;
    bufferFramesStatus_ = status;
}

void FakeAudioDeviceBackend::setCurrentDeviceStatus(OSStatus status) {
    std::lock_guard lock(mutex_);
    currentDeviceStatus_ = status;
}

void FakeAudioDeviceBackend::setOutputFormat(const AudioFormat& format) {
    std::lock_guard lock(mutex_);
    outputFormat_ = format;
}

void FakeAudioDeviceBackend::setInputFormat(const AudioFormat& format) {
    std::lock_guard lock(mutex_);
    inputFormat_ = format;
}

void FakeAudioDeviceBackend::failStart(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    startError_ = std::move(message);
}

std::uint32_t FakeAudioDeviceBackend::feedInput(const PCMBuffer& frames) {
    std::shared_ptr<AudioRingBuffer> ring;
    {
        std::lock_guard lock(mutex_);
        ring = ring_;
    }
    if (!ring || !frames.floatChannelData()) return 0;
    const std::uint32_t channels = ring->channels();
    const std::uint32_t available = frames.format().channelCount();
    const std::uint32_t stride = frames.stride();
    std::vector<float> interleaved(std::size_t(frames.frameLength()) * channels, 0.0f);
    for (std::uint32_t i = 0; i < frames.frameLength(); ++i)
        for (std::uint32_t c = 0; c < channels && c < available; ++c)
            interleaved[std::size_t(i) * channels + c] =
                stride == 1 ? frames.floatChannelData()[c][i] : frames.floatChannelData()[0][i * stride + c];
    return ring->write(interleaved.data(), frames.frameLength());
}

std::shared_ptr<AudioRingBuffer> FakeAudioDeviceBackend::captureRing() const {
    std::lock_guard lock(mutex_);
    return ring_;
}

std::shared_ptr<PCMBuffer> FakeAudioDeviceBackend::tick(std::uint32_t frames) {
    return tick(frames, std::nullopt);
}

std::shared_ptr<PCMBuffer> FakeAudioDeviceBackend::tick(std::uint32_t frames,
                                                        std::optional<std::uint64_t> hostTime) {
    IO* io = runningIO_.load(std::memory_order_acquire);
    if (!io || frames == 0) return nullptr;
    return io->tick(frames, hostTime);
}

bool FakeAudioDeviceBackend::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_ != nullptr;
}

int FakeAudioDeviceBackend::startCount() const {
    std::lock_guard lock(mutex_);
    return starts_;
}

OSStatus FakeAudioDeviceBackend::deviceIDs(std::vector<AudioDeviceID>& ids) const {
    std::lock_guard lock(mutex_);
    ids.clear();
    for (const auto& [id, device] : devices_)
        ids.push_back(id);
    return noErr;
}

OSStatus FakeAudioDeviceBackend::deviceName(AudioDeviceID id, std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return kAudioHardwareBadDeviceError;
    name = it->second.name;
    return noErr;
}

OSStatus FakeAudioDeviceBackend::streamChannels(AudioDeviceID id, bool input,
                                                std::vector<std::uint32_t>& streams) const {
    std::lock_guard lock(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return kAudioHardwareBadDeviceError;
    streams = input ? it->second.inputStreams : it->second.outputStreams;
    return noErr;
}

std::shared_ptr<AudioIOBackend> FakeAudioDeviceBackend::makeIO() {
    std::lock_guard lock(mutex_);
    return std::make_shared<IO>(*this, defaultOutput_);
}

OSStatus FakeAudioDeviceBackend::getPropertyDataSize(AudioObjectID objectID,
                                                     const AudioObjectPropertyAddress& address,
                                                     std::uint32_t& size) const {
    {
        std::lock_guard lock(mutex_);
        if (auto it = failures_.find({address.mSelector, true}); it != failures_.end()) return it->second;
    }
    return AudioDeviceBackend::getPropertyDataSize(objectID, address, size);
}

OSStatus FakeAudioDeviceBackend::getPropertyData(AudioObjectID objectID,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::uint32_t& size, void* data) const {
    std::optional<std::uint32_t> truncated;
    {
        std::lock_guard lock(mutex_);
        if (auto it = failures_.find({address.mSelector, false}); it != failures_.end()) return it->second;
        if (address.mSelector == kAudioDevicePropertyStreamConfiguration) truncated = truncatedBytes_;
    }
    const OSStatus status = AudioDeviceBackend::getPropertyData(objectID, address, size, data);
    if (status == noErr && truncated) size = std::min(size, *truncated);
    return status;
}

} // namespace platform
