#include "platform/audio/devices/FakeRtAudioDriver.h"

namespace platform {

class FakeRtAudioDriver::FakeStream final : public RtAudioDriver::Stream {
public:
    FakeStream(FakeRtAudioDriver& driver, std::size_t index) : driver_(driver), index_(index) {}
    ~FakeStream() override {
        std::unique_lock lock(driver_.mutex_);
        driver_.stopsReleased_.wait(lock, [&] { return !driver_.stopsHeld_; });
        driver_.streams_[index_].opened.closed = true;
    }
    void start() override {
        std::lock_guard lock(driver_.mutex_);
        driver_.streams_[index_].opened.started = true;
    }

private:
    FakeRtAudioDriver& driver_;
    const std::size_t index_;
};

unsigned FakeRtAudioDriver::addDevice(std::string name, unsigned inputChannels, unsigned outputChannels,
                                      unsigned preferredSampleRate) {
    std::lock_guard lock(mutex_);
    RtAudio::DeviceInfo info;
    info.probed = true;
    info.name = std::move(name);
    info.inputChannels = inputChannels;
    info.outputChannels = outputChannels;
    info.duplexChannels = std::min(inputChannels, outputChannels);
    info.preferredSampleRate = preferredSampleRate;
    info.sampleRates = {preferredSampleRate};
    info.nativeFormats = RTAUDIO_FLOAT32;
    // The first device with channels in a direction is its default, as ALSA's "default" is.
    bool hasOutput = false, hasInput = false;
    for (const auto& device : devices_) {
        hasOutput = hasOutput || device.isDefaultOutput;
        hasInput = hasInput || device.isDefaultInput;
    }
    info.isDefaultOutput = outputChannels > 0 && !hasOutput;
    info.isDefaultInput = inputChannels > 0 && !hasInput;
    devices_.push_back(info);
    return unsigned(devices_.size() - 1);
}

void FakeRtAudioDriver::grantFrames(std::optional<unsigned> frames, std::optional<unsigned> inputOnly) {
    std::lock_guard lock(mutex_);
    grantedFrames_ = frames;
    grantedInputOnlyFrames_ = inputOnly;
}

void FakeRtAudioDriver::setRealtimeGranted(bool granted) {
    std::lock_guard lock(mutex_);
    realtime_ = granted;
}

int FakeRtAudioDriver::realtimeQueries() const {
    std::lock_guard lock(mutex_);
    return realtimeQueries_;
}

void FakeRtAudioDriver::failOpen(std::optional<std::string> message) {
    std::lock_guard lock(mutex_);
    openError_ = std::move(message);
}

void FakeRtAudioDriver::holdStops(bool held) {
    std::lock_guard lock(mutex_);
    stopsHeld_ = held;
    stopsReleased_.notify_all();
}

std::vector<FakeRtAudioDriver::Opened> FakeRtAudioDriver::opened() const {
    std::lock_guard lock(mutex_);
    std::vector<Opened> all;
    for (const auto& entry : streams_)
        all.push_back(entry.opened);
    return all;
}

int FakeRtAudioDriver::run(std::size_t index, unsigned frames, const float* input, float* output,
                           RtAudioStreamStatus status) {
    const Callback callback = callbackOf(index);
    return callback ? callback(frames, input, output, status) : -1;
}

FakeRtAudioDriver::Callback FakeRtAudioDriver::callbackOf(std::size_t index) const {
    std::lock_guard lock(mutex_);
    if (index >= streams_.size() || !streams_[index].opened.started || streams_[index].opened.closed)
        return {};
    // RtAudio hands a direction's buffer only to a stream that has it.
    const Entry& entry = streams_[index];
    return {entry.callback, entry.user, entry.opened.output.has_value(), entry.opened.input.has_value()};
}

std::vector<RtAudio::DeviceInfo> FakeRtAudioDriver::devices() {
    std::lock_guard lock(mutex_);
    return devices_;
}

std::unique_ptr<RtAudioDriver::Stream> FakeRtAudioDriver::open(Request& request) {
    std::lock_guard lock(mutex_);
    if (openError_) throw RtAudioError(*openError_, RtAudioError::SYSTEM_ERROR);
    Entry entry;
    if (request.output) entry.opened.output = *request.output;
    if (request.input) entry.opened.input = *request.input;
    entry.opened.sampleRate = request.sampleRate;
    entry.opened.framesAsked = request.frames;
    entry.opened.options = request.options;
    entry.callback = request.callback;
    entry.user = request.user;
    if (grantedFrames_) request.frames = *grantedFrames_;
    if (grantedInputOnlyFrames_ && !request.output) request.frames = *grantedInputOnlyFrames_;
    streams_.push_back(entry);
    return std::make_unique<FakeStream>(*this, streams_.size() - 1);
}

bool FakeRtAudioDriver::grantsRealtime(int) {
    std::lock_guard lock(mutex_);
    ++realtimeQueries_;
    return realtime_;
}

} // namespace platform
