#include "sonabel/internals/settings/Settings.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/AudioUnitCalls.h"
#include "sonabel/internals/error_handling/Log.h"

#include <atomic>
#include <mutex>

namespace sonabel {

namespace {
std::atomic<bool> gLoggingEnabled{true};
std::atomic<bool> gWaitBeforeRecorderStop{false};
std::atomic<int> gDefaultBufferLength{Settings::BufferLength::veryLong};
std::atomic<int> gRecorderBufferLength{Settings::BufferLength::veryLong};

struct FormatSlot {
    std::mutex mutex;
    platform::AudioFormat format = Settings::defaultAudioFormat();
};
FormatSlot& formatSlot() {
    static FormatSlot slot;
    return slot;
}
platform::AudioFormat standardOrEmpty(double rate, std::uint32_t channels) {
    return platform::AudioFormat::standard(rate, channels).value_or(platform::AudioFormat{});
}
} // namespace

std::optional<Settings::BufferLength> Settings::BufferLength::fromRawValue(int rawValue) {
    if (rawValue < shortest || rawValue > longest) return std::nullopt;
    return BufferLength(static_cast<Case>(rawValue));
}

std::optional<Settings::BufferLength> Settings::BufferLength::fromSamplesCount(std::int64_t samplesCount) {
    for (Case c : allCases)
        if (BufferLength(c).samplesCount() == samplesCount) return BufferLength(c);
    return std::nullopt;
}

double Settings::BufferLength::duration() const {
    return double(samplesCount()) / Settings::sampleRate();
}

platform::AudioFormat Settings::defaultAudioFormat() {
    static const platform::AudioFormat format = standardOrEmpty(44100, 2);
    return format;
}

platform::AudioFormat Settings::audioFormat() {
    auto& slot = formatSlot();
    std::lock_guard lock(slot.mutex);
    return slot.format;
}

void Settings::setAudioFormat(const platform::AudioFormat& format) {
    auto& slot = formatSlot();
    std::lock_guard lock(slot.mutex);
    slot.format = format;
}

double Settings::sampleRate() {
    return audioFormat().sampleRate();
}

void Settings::setSampleRate(double rate) {
    auto& slot = formatSlot();
    std::lock_guard lock(slot.mutex);
    slot.format = standardOrEmpty(rate, slot.format.channelCount());
}

std::uint32_t Settings::channelCount() {
    return audioFormat().channelCount();
}

void Settings::setChannelCount(std::uint32_t count) {
    auto& slot = formatSlot();
    std::lock_guard lock(slot.mutex);
    slot.format = standardOrEmpty(slot.format.sampleRate(), count);
}

Settings::BufferLength Settings::defaultBufferLength() {
    return BufferLength(static_cast<BufferLength::Case>(gDefaultBufferLength.load()));
}
void Settings::setDefaultBufferLength(BufferLength length) {
    gDefaultBufferLength = length.rawValue();
}

Settings::BufferLength Settings::recorderBufferLength() {
    return BufferLength(static_cast<BufferLength::Case>(gRecorderBufferLength.load()));
}
void Settings::setRecorderBufferLength(BufferLength length) {
    gRecorderBufferLength = length.rawValue();
}

bool Settings::waitBeforeRecorderStop() {
    return gWaitBeforeRecorderStop.load(std::memory_order_relaxed);
}
void Settings::setWaitBeforeRecorderStop(bool wait) {
    gWaitBeforeRecorderStop = wait;
}

bool Settings::loggingEnabled() {
    return gLoggingEnabled.load(std::memory_order_relaxed);
}
void Settings::setLoggingEnabled(bool enabled) {
    gLoggingEnabled = enabled;
}

double Settings::getIOBufferDuration(platform::AudioEngine& engine) {
    const auto output = engine.outputNode();
    platform::AUAudioUnit* unit = output->audioUnit();
    if (!unit) return 0.0;
    const double rate = output->outputFormat(0).sampleRate();
    if (!(rate > 0)) {
        Log({"getIOBufferDuration(engine:)", OSLog::settings, OSLogType::error},
            "error in get ioBufferDuration: no output sample rate");
        return 0.0;
    }
    std::uint32_t frames = 0;
    std::uint32_t size = sizeof frames;
    const OSStatus status =
        platform::AudioUnitGetProperty(unit, platform::kAudioDevicePropertyBufferFrameSize,
                                       platform::kAudioUnitScope_Global, 0, &frames, &size);
    if (status != noErr)
        Log({"getIOBufferDuration(engine:)", OSLog::settings, OSLogType::error},
            "error in get ioBufferDuration status " + platform::describe(status));
    return double(frames) / rate;
}

} // namespace sonabel
