#include "platform/audio/AudioUnitSampler.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace platform {

namespace {
constexpr float kAttackRelease = 0.005f; // seconds; keeps notes free of clicks
}

AudioUnitSampler::AudioUnitSampler()
    : AudioUnitNode(
          {kAudioUnitType_MusicDevice, kAudioUnitSubType_Sampler, kAudioUnitManufacturer_Apple, 0, 0}, 0, 1,
          "AUSampler") {
    voices_.reserve(2048); // a voice for every note on every channel: rendering never grows the list
    record_ = std::make_unique<Record[]>(kRecordedMessages);
    auAudioUnit()->setMIDIHandler(
        [this](std::int64_t time, std::uint8_t cable, const std::vector<std::uint8_t>& bytes) {
            handleMIDI(time, cable, bytes);
        });
}

std::shared_ptr<AudioUnitSampler> AudioUnitSampler::make() {
    return std::shared_ptr<AudioUnitSampler>(new AudioUnitSampler());
}

void AudioUnitSampler::startNote(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel) {
    sendMIDIEvent(std::uint8_t(0x90 | (channel & 0x0F)), note & 0x7F, velocity & 0x7F);
}

void AudioUnitSampler::stopNote(std::uint8_t note, std::uint8_t channel) {
    sendMIDIEvent(std::uint8_t(0x80 | (channel & 0x0F)), note & 0x7F, 0);
}

void AudioUnitSampler::sendMIDIEvent(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    const std::uint8_t bytes[3] = {status, data1, data2};
    if (auto block = auAudioUnit()->scheduleMIDIEventBlock())
        (*block)(AUEventSampleTimeImmediate, 0, 3, bytes);
}

std::vector<AudioUnitSampler::ReceivedMIDI> AudioUnitSampler::receivedMIDI() const {
    const std::uint64_t end = recordFinished_.load(std::memory_order_acquire);
    std::uint64_t begin = end > kRecordedMessages ? end - kRecordedMessages : 0;
    std::vector<ReceivedMIDI> out;
    out.reserve(end - begin);
    for (std::uint64_t i = begin; i < end; ++i) {
        const Record& r = record_[i % kRecordedMessages];
        ReceivedMIDI m;
        m.sampleTime = r.sampleTime.load(std::memory_order_acquire);
        m.cable = r.cable.load(std::memory_order_acquire);
        const std::uint32_t length =
            std::min<std::uint32_t>(r.length.load(std::memory_order_acquire), std::uint32_t(kRecordedBytes));
        m.bytes.resize(length);
        for (std::uint32_t b = 0; b < length; ++b)
            m.bytes[b] = r.bytes[b].load(std::memory_order_acquire);
        out.push_back(std::move(m));
    }
    // Entries the rendering thread began to overwrite while they were copied are dropped: a value
    // read from an overwrite was stored (release) after that overwrite was counted as started.
    const std::uint64_t started = recordStarted_.load(std::memory_order_relaxed);
    const std::uint64_t overwritten = started > kRecordedMessages ? started - kRecordedMessages : 0;
    if (overwritten > begin)
        out.erase(out.begin(),
                  out.begin() + std::ptrdiff_t(std::min<std::uint64_t>(overwritten - begin, out.size())));
    return out;
}

std::size_t AudioUnitSampler::activeVoiceCount() const {
    return voiceCount_.load(std::memory_order_relaxed);
}

void AudioUnitSampler::reset() {
    // Rendering clears its voices at its next cycle.
    resetRequested_.store(true, std::memory_order_release);
    voiceCount_.store(0, std::memory_order_relaxed);
}

void AudioUnitSampler::handleMIDI(std::int64_t sampleTime, std::uint8_t cable,
                                  const std::vector<std::uint8_t>& bytes) {
    // On the rendering thread, inside render().
    const std::uint64_t index = recordStarted_.load(std::memory_order_relaxed);
    recordStarted_.store(index + 1, std::memory_order_relaxed);
    Record& r = record_[index % kRecordedMessages];
    r.sampleTime.store(sampleTime, std::memory_order_release);
    r.cable.store(cable, std::memory_order_release);
    r.length.store(std::uint32_t(bytes.size()), std::memory_order_release);
    const std::size_t kept = std::min(bytes.size(), kRecordedBytes);
    for (std::size_t b = 0; b < kept; ++b)
        r.bytes[b].store(bytes[b], std::memory_order_release);
    recordFinished_.store(index + 1, std::memory_order_release);
    if (bytes.size() < 3) return;
    const std::uint8_t type = bytes[0] & 0xF0, channel = bytes[0] & 0x0F, note = bytes[1],
                       velocity = bytes[2];
    const bool on = type == 0x90 && velocity > 0;
    const bool off = type == 0x80 || (type == 0x90 && velocity == 0);
    if (on && voices_.size() < voices_.capacity()) {
        voices_.push_back({note, channel, float(velocity) / 127.0f * 0.5f, 0.0, false, 0.0f});
        voiceCount_.store(voices_.size(), std::memory_order_relaxed);
    } else if (off) {
        for (auto& v : voices_)
            if (v.note == note && v.channel == channel) v.releasing = true;
    }
}

void AudioUnitSampler::render(const RenderContext& context) {
    float* const* out = outputChannels(0, context.frames);
    const std::uint32_t channels = currentOutputFormat(0).channelCount();
    AUAudioUnit& unit = *auAudioUnit();
    const float step = float(1.0 / (kAttackRelease * context.sampleRate));
    if (resetRequested_.exchange(false, std::memory_order_acquire)) voices_.clear();
    for (std::uint32_t i = 0; i < context.frames; ++i) {
        unit.applyEventsDue(context.sampleTime + i);
        float sum = 0;
        for (auto& v : voices_) {
            v.level = v.releasing ? std::max(0.0f, v.level - step) : std::min(1.0f, v.level + step);
            const double frequency = 440.0 * std::pow(2.0, (int(v.note) - 69) / 12.0);
            sum += float(std::sin(v.phase)) * v.amplitude * v.level;
            v.phase = std::fmod(v.phase + 2 * std::numbers::pi * frequency / context.sampleRate,
                                2 * std::numbers::pi);
        }
        std::erase_if(voices_, [](const Voice& v) { return v.releasing && v.level <= 0; });
        for (std::uint32_t c = 0; c < channels; ++c)
            out[c][i] = sum;
    }
    voiceCount_.store(voices_.size(), std::memory_order_relaxed);
}

} // namespace platform
