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
    std::lock_guard lock(mutex_);
    return received_;
}

std::size_t AudioUnitSampler::activeVoiceCount() const {
    std::lock_guard lock(mutex_);
    return voices_.size();
}

void AudioUnitSampler::reset() {
    std::lock_guard lock(mutex_);
    voices_.clear();
}

void AudioUnitSampler::handleMIDI(std::int64_t sampleTime, std::uint8_t cable,
                                  const std::vector<std::uint8_t>& bytes) {
    // On the rendering thread, inside render(), which holds the lock.
    received_.push_back({sampleTime, cable, bytes});
    if (bytes.size() < 3) return;
    const std::uint8_t type = bytes[0] & 0xF0, channel = bytes[0] & 0x0F, note = bytes[1],
                       velocity = bytes[2];
    const bool on = type == 0x90 && velocity > 0;
    const bool off = type == 0x80 || (type == 0x90 && velocity == 0);
    if (on && voices_.size() < voices_.capacity()) {
        voices_.push_back({note, channel, float(velocity) / 127.0f * 0.5f, 0.0, false, 0.0f});
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
    // Tried once a cycle: a cycle that finds the voices being read or cleared is silence.
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
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
}

} // namespace platform
