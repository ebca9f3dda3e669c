#include "platform/audio/devices/JackDeviceBackend.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioRingBuffer.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/audio/devices/AudioCallbackTiming.h"
#include "platform/core/LogSink.h"

#include "platform/audio/devices/JackLibrary.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>

namespace platform {

namespace {

// The graph renders in chunks of at most this many frames, whatever quantum the server runs: a
// quantum that changes never needs storage made on the server's thread.
constexpr std::uint32_t kChunkFrames = 4096;
// Input and output run in one cycle, so the ring holds one chunk at a time; the rest is room for
// the cushion an input shortfall grows.
constexpr std::uint32_t kCaptureFrames = 16384;
constexpr std::size_t kMaxChannels = 2;

std::string programName() {
    const char* name = program_invocation_short_name;
    return name && *name ? name : "Sonabel";
}

// The ports jack_get_ports() lists, as strings; the library's list freed.
std::vector<std::string> ports(const JackLibrary& jack, jack_client_t* client, unsigned long flags) {
    std::vector<std::string> names;
    if (const char** list = jack.get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, flags)) {
        for (const char** p = list; *p; ++p)
            names.emplace_back(*p);
        jack.free(list);
    }
    return names;
}

class JackIO final : public AudioIOBackend {
public:
    explicit JackIO(std::shared_ptr<JackDeviceBackend> backend)
        : backend_(std::move(backend)), jack_(backend_->library()), device_(backend_->defaultDevice(false)) {}
    ~JackIO() override { stop(); }

    void start(AudioEngine& engine) override {
        std::lock_guard lock(mutex_);
        if (client_) return;
        JackDeviceBackend::Device out, in;
        const bool hasOutput = backend_->device(device_, out) && !out.playbackPorts.empty();
        const AudioDeviceID inputID = backend_->inputDevice();
        const bool hasInput = inputID && backend_->device(inputID, in) && !in.capturePorts.empty();
        ring_ = hasInput ? engine.attachCaptureRing(kCaptureFrames) : nullptr;
        if (!hasOutput && !ring_)
            throw AudioError(AudioError::kDomain, kAudioHardwareBadDeviceError, "no output device");
        const AudioFormat format = engine.outputNode()->outputFormat(0);
        try {
            buffer_ = PCMBuffer::make(format, kChunkFrames);
            if (!buffer_) throw AudioError(AudioError::kDomain, kAudio_MemFullError, "no render buffer");
            engine.prepareForCycles(buffer_->frameCapacity());
            engine_ = &engine;
            rate_ = format.sampleRate();
            outChannels_ = hasOutput ? std::min<std::size_t>(format.channelCount(), kMaxChannels) : 0;
            inChannels_ = ring_ ? std::min<std::size_t>(ring_->channels(), kMaxChannels) : 0;
            interleaved_.assign(
                std::size_t(kChunkFrames) * std::max<std::size_t>(ring_ ? ring_->channels() : 0, 1), 0.0f);
            open();
            for (std::size_t c = 0; c < outChannels_; ++c)
                connect(jack_.port_name(outPorts_[c]),
                        out.playbackPorts[std::min(c, out.playbackPorts.size() - 1)]);
            for (std::size_t c = 0; c < inChannels_; ++c)
                connect(in.capturePorts[std::min(c, in.capturePorts.size() - 1)],
                        jack_.port_name(inPorts_[c]));
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
        JackDeviceBackend::Device device;
        const std::uint32_t channels =
            backend_->device(device_, device) && device.playbackPorts.size() == 1 ? 1 : 2;
        return AudioFormat::standard(backend_->sampleRate(), channels).value_or(AudioFormat{});
    }

    AudioFormat inputFormat() const override {
        JackDeviceBackend::Device device;
        if (!backend_->device(backend_->defaultDevice(true), device) || device.capturePorts.empty())
            return {};
        const auto channels = std::uint32_t(std::min(device.capturePorts.size(), kMaxChannels));
        return AudioFormat::standard(backend_->sampleRate(), channels).value_or(AudioFormat{});
    }

    OSStatus currentDevice(std::uint32_t& deviceID) const override {
        std::lock_guard lock(mutex_);
        deviceID = device_;
        return noErr;
    }

    OSStatus setCurrentDevice(std::uint32_t deviceID) override {
        JackDeviceBackend::Device device;
        if (!backend_->device(deviceID, device) || device.playbackPorts.empty())
            return kAudioHardwareBadDeviceError;
        std::unique_lock lock(mutex_);
        device_ = deviceID;
        AudioEngine* engine = engine_;
        if (!client_ || !engine) return noErr;
        closeLocked();
        lock.unlock();
        try {
            start(*engine);
        } catch (const AudioError&) {
            return kAudioHardwareBadDeviceError;
        }
        return noErr;
    }

    // The quantum the server runs now.
    OSStatus bufferFrameSize(std::uint32_t& frames) const override {
        const std::uint32_t quantum = quantum_.load(std::memory_order_relaxed);
        frames = quantum ? quantum : backend_->configuration().bufferFrameSize;
        return noErr;
    }

private:
    // The engine's client, its ports and callbacks, active; the configured period asked as the
    // quantum. Throws AudioError.
    void open() {
        jack_status_t status{};
        const std::string wanted = backend_->configuration().clientName.empty()
                                       ? programName()
                                       : backend_->configuration().clientName;
        client_ = jack_.client_open(wanted.c_str(), JackNoStartServer, &status);
        if (!client_)
            throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization,
                             "the JACK server refused a client (status " + std::to_string(int(status)) + ")");
        name_ = jack_.get_client_name(client_);
        backend_->addOwnClient(name_);
        gone_.store(false);
        jack_.set_process_callback(client_, &JackIO::process, this);
        jack_.set_buffer_size_callback(client_, &JackIO::bufferSize, this);
        jack_.on_info_shutdown(client_, &JackIO::shutdown, this);
        for (std::size_t c = 0; c < outChannels_; ++c)
            outPorts_[c] = registerPort("out_" + std::to_string(c + 1), JackPortIsOutput);
        for (std::size_t c = 0; c < inChannels_; ++c)
            inPorts_[c] = registerPort("in_" + std::to_string(c + 1), JackPortIsInput);
        // The whole graph's quantum, on PipeWire as on a plain server; another program may set
        // another later, or the server keep its own: the callbacks follow the quantum they are given.
        const std::uint32_t asked = backend_->configuration().bufferFrameSize;
        if (asked && jack_.get_buffer_size(client_) != asked) jack_.set_buffer_size(client_, asked);
        quantum_.store(jack_.get_buffer_size(client_));
        if (jack_.activate(client_) != 0)
            throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization,
                             "the JACK server did not activate the engine's client");
    }

    jack_port_t* registerPort(const std::string& name, unsigned long flags) {
        jack_port_t* port = jack_.port_register(client_, name.c_str(), JACK_DEFAULT_AUDIO_TYPE, flags, 0);
        if (!port)
            throw AudioError(AudioError::kDomain, kAudioUnitErr_FailedInitialization,
                             "the JACK server refused the port " + name);
        return port;
    }

    void connect(const std::string& from, const std::string& to) {
        const int result = jack_.connect(client_, from.c_str(), to.c_str());
        if (result != 0 && result != EEXIST)
            throw AudioError(AudioError::kDomain, kAudioHardwareBadDeviceError,
                             "the JACK server did not connect " + from + " to " + to);
    }

    // The server's real-time thread, once a quantum: what the device captured goes into the ring,
    // then the graph renders (and reads it) chunk by chunk into the output ports' buffers, which are
    // this cycle's own (never kept from an earlier one).
    static int process(jack_nframes_t frames, void* user) {
        auto* self = static_cast<JackIO*>(user);
        const std::uint64_t now = self->backend_->configuration().clock->now();
        // A new quantum starts the underrun timing afresh: a longer cycle is no late callback.
        if (!self->timing_ || self->timingPeriod_ != frames) {
            self->timing_.emplace(self->rate_, frames);
            self->timingPeriod_ = frames;
        }
        if (self->outChannels_ && self->timing_->callback(now, frames, false)) {
            self->engine_->countOutputUnderrun(self->timing_->silenceFrames());
            if (self->ring_) self->ring_->noteOutputUnderrun();
        }
        float* out[kMaxChannels] = {};
        const float* in[kMaxChannels] = {};
        for (std::size_t c = 0; c < self->outChannels_; ++c)
            out[c] = static_cast<float*>(self->jack_.port_get_buffer(self->outPorts_[c], frames));
        for (std::size_t c = 0; c < self->inChannels_; ++c)
            in[c] = static_cast<const float*>(self->jack_.port_get_buffer(self->inPorts_[c], frames));
        const std::uint32_t ringChannels = self->ring_ ? self->ring_->channels() : 0;
        std::uint32_t done = 0;
        while (done < frames) {
            const std::uint32_t n = std::min<std::uint32_t>(frames - done, kChunkFrames);
            if (self->ring_) {
                float* interleaved = self->interleaved_.data();
                for (std::uint32_t i = 0; i < n; ++i)
                    for (std::uint32_t c = 0; c < ringChannels; ++c)
                        interleaved[i * ringChannels + c] =
                            in[std::min<std::size_t>(c, self->inChannels_ - 1)][done + i];
                self->ring_->write(interleaved, n);
            }
            const auto status = self->engine_->renderCycle(n, *self->buffer_, now, false);
            const bool rendered = status == AudioEngine::ManualRenderingStatus::success;
            // A cycle the graph could not render read nothing: its captured frames go, so the
            // input does not fall behind for good.
            if (!rendered && self->ring_) self->ring_->discard(n);
            float* const* data = self->buffer_->floatChannelData();
            for (std::size_t c = 0; c < self->outChannels_; ++c) {
                if (rendered)
                    std::memcpy(out[c] + done,
                                data[std::min<std::size_t>(c, self->buffer_->format().channelCount() - 1)],
                                n * sizeof(float));
                else
                    std::fill_n(out[c] + done, n, 0.0f);
            }
            done += n;
        }
        return 0;
    }

    // Before the first cycle of a new quantum, on a thread of the library's.
    static int bufferSize(jack_nframes_t frames, void* user) {
        static_cast<JackIO*>(user)->quantum_.store(frames, std::memory_order_relaxed);
        return 0;
    }

    // The server closed the client (it quit, or threw the client out). Called like a signal handler:
    // the reason is copied without allocating, and told when the engine stops.
    static void shutdown(jack_status_t, const char* reason, void* user) {
        auto* self = static_cast<JackIO*>(user);
        std::size_t i = 0;
        for (; reason && reason[i] && i + 1 < sizeof self->goneReason_; ++i)
            self->goneReason_[i] = reason[i];
        self->goneReason_[i] = '\0';
        self->gone_.store(true, std::memory_order_release);
    }

    void closeLocked() {
        if (client_) {
            jack_.deactivate(client_); // no callback runs after it
            jack_.client_close(client_);
            client_ = nullptr;
            backend_->removeOwnClient(name_);
            if (gone_.exchange(false))
                LogSink::emit({"io.sonabel.platform", "audio", LogLevel::error,
                               "The JACK server closed the engine's client \"" + name_ +
                                   "\": " + std::string(goneReason_)});
        }
        outPorts_ = {};
        inPorts_ = {};
        outChannels_ = inChannels_ = 0;
        if (engine_ && ring_) engine_->detachCaptureRing();
        ring_.reset();
        engine_ = nullptr;
        timing_.reset();
        timingPeriod_ = 0;
        quantum_.store(0);
    }

    std::shared_ptr<JackDeviceBackend> backend_;
    const JackLibrary& jack_;
    mutable std::mutex mutex_;
    AudioDeviceID device_;
    jack_client_t* client_ = nullptr;
    std::string name_;
    std::array<jack_port_t*, kMaxChannels> outPorts_{}, inPorts_{};
    std::size_t outChannels_ = 0, inChannels_ = 0;
    std::shared_ptr<PCMBuffer> buffer_;
    std::shared_ptr<AudioRingBuffer> ring_;
    std::vector<float> interleaved_; // the ring's channels, a chunk's worth
    AudioEngine* engine_ = nullptr;
    double rate_ = 0;
    std::atomic<std::uint32_t> quantum_{0};
    // The server's thread only, between activation and deactivation.
    std::optional<AudioCallbackTiming> timing_;
    std::uint32_t timingPeriod_ = 0;
    std::atomic<bool> gone_{false};
    char goneReason_[256] = {};
};

} // namespace

JackDeviceBackend::JackDeviceBackend(Configuration configuration)
    : configuration_(std::move(configuration)) {}

JackDeviceBackend::~JackDeviceBackend() {
    if (listing_) library_->client_close(listing_);
}

std::shared_ptr<JackDeviceBackend> JackDeviceBackend::makeIfAvailable() {
    return makeIfAvailable(Configuration{});
}

std::shared_ptr<JackDeviceBackend> JackDeviceBackend::makeIfAvailable(Configuration configuration) {
    const JackLibrary* library = configuration.library ? configuration.library : JackLibrary::find();
    if (!library) return nullptr;
    std::shared_ptr<JackDeviceBackend> backend(new JackDeviceBackend(std::move(configuration)));
    backend->library_ = library;
    jack_status_t status{};
    const std::string name =
        (backend->configuration_.clientName.empty() ? programName() : backend->configuration_.clientName) +
        " devices";
    backend->listing_ = library->client_open(name.c_str(), JackNoStartServer, &status);
    if (!backend->listing_) return nullptr;
    library->on_shutdown(
        backend->listing_, [](void* gone) { static_cast<std::atomic<bool>*>(gone)->store(true); },
        &backend->listingGone_);
    backend->sampleRate_ = library->get_sample_rate(backend->listing_);
    return listsDevices(*backend) ? backend : nullptr;
}

void JackDeviceBackend::addOwnClient(const std::string& name) {
    std::lock_guard lock(mutex_);
    ownClients_.insert(name);
}

void JackDeviceBackend::removeOwnClient(const std::string& name) {
    std::lock_guard lock(mutex_);
    ownClients_.erase(name);
}

double JackDeviceBackend::sampleRate() const {
    std::lock_guard lock(mutex_);
    return sampleRate_;
}

bool JackDeviceBackend::refreshLocked() const {
    devices_.clear();
    if (!listing_ || listingGone_.load()) return false;
    const auto clientOf = [&](const std::string& port) {
        // A client's name may hold a colon (PipeWire names clients after nodes): the port's short
        // name says where it ends.
        const jack_port_t* p = library_->port_by_name(listing_, port.c_str());
        const char* shortName = p ? library_->port_short_name(p) : nullptr;
        const std::size_t length = shortName ? std::strlen(shortName) : 0;
        if (shortName && port.size() > length && port[port.size() - length - 1] == ':')
            return port.substr(0, port.size() - length - 1);
        return port.substr(0, port.find(':'));
    };
    const auto deviceFor = [&](const std::string& client) -> Device* {
        if (ownClients_.count(client)) return nullptr;
        auto [it, added] = ids_.try_emplace(client, nextID_);
        if (added) ++nextID_;
        Device& device = devices_[it->second];
        device.name = client;
        return &device;
    };
    // A device's output channels are the client's input ports (the server plays what reaches them).
    for (const std::string& port : ports(*library_, listing_, JackPortIsInput))
        if (Device* device = deviceFor(clientOf(port))) device->playbackPorts.push_back(port);
    for (const std::string& port : ports(*library_, listing_, JackPortIsOutput))
        if (Device* device = deviceFor(clientOf(port))) device->capturePorts.push_back(port);
    const auto markFirst = [&](unsigned long flags, bool input) {
        for (const std::string& port : ports(*library_, listing_, flags | JackPortIsPhysical)) {
            auto it = ids_.find(clientOf(port));
            if (it == ids_.end() || !devices_.count(it->second)) continue;
            Device& device = devices_[it->second];
            (input ? device.isDefaultInput : device.isDefaultOutput) = true;
            return true;
        }
        return false;
    };
    markFirst(JackPortIsInput, false);
    if (!markFirst(JackPortIsOutput, true)) {
        // No physical capture port: the default sink's monitor, else the first source there is.
        Device* chosen = nullptr;
        for (auto& [id, device] : devices_)
            if (device.isDefaultOutput && !device.capturePorts.empty()) chosen = &device;
        for (auto& [id, device] : devices_)
            if (!chosen && !device.capturePorts.empty()) chosen = &device;
        if (chosen) chosen->isDefaultInput = true;
    }
    return true;
}

OSStatus JackDeviceBackend::deviceIDs(std::vector<AudioDeviceID>& ids) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    ids.clear();
    for (const auto& [id, device] : devices_)
        ids.push_back(id);
    return noErr;
}

bool JackDeviceBackend::hasDevice(AudioDeviceID id) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    return devices_.count(id) > 0;
}

bool JackDeviceBackend::device(AudioDeviceID id, Device& out) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    auto it = devices_.find(id);
    if (it == devices_.end()) return false;
    out = it->second;
    return true;
}

AudioDeviceID JackDeviceBackend::defaultDevice(bool input) const {
    std::lock_guard lock(mutex_);
    refreshLocked();
    AudioDeviceID first = 0;
    for (const auto& [id, device] : devices_) {
        if ((input ? device.capturePorts : device.playbackPorts).empty()) continue;
        if (input ? device.isDefaultInput : device.isDefaultOutput) return id;
        if (!first) first = id;
    }
    return first;
}

AudioDeviceID JackDeviceBackend::inputDevice() const {
    if (configuration_.inputDevice.empty()) return defaultDevice(true);
    std::lock_guard lock(mutex_);
    refreshLocked();
    for (const auto& [id, device] : devices_)
        if (device.name == configuration_.inputDevice && !device.capturePorts.empty()) return id;
    return 0;
}

OSStatus JackDeviceBackend::deviceName(AudioDeviceID id, std::string& name) const {
    Device d;
    if (!device(id, d)) return kAudioHardwareBadDeviceError;
    name = d.name;
    return noErr;
}

OSStatus JackDeviceBackend::streamChannels(AudioDeviceID id, bool input,
                                           std::vector<std::uint32_t>& streams) const {
    Device d;
    if (!device(id, d)) return kAudioHardwareBadDeviceError;
    const std::size_t channels = input ? d.capturePorts.size() : d.playbackPorts.size();
    streams.clear();
    if (channels) streams.push_back(std::uint32_t(channels));
    return noErr;
}

std::shared_ptr<AudioIOBackend> JackDeviceBackend::makeIO() {
    return std::make_shared<JackIO>(shared_from_this());
}

} // namespace platform
