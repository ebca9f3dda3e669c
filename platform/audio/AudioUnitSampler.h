#pragma once
#include "platform/audio/AudioUnitNode.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// A simple instrument: every note on sounds a sine at the note's pitch until its note off; every
// MIDI message it receives is kept, with the frame it was rendered at.
class AudioUnitSampler : public AudioUnitNode {
public:
    struct ReceivedMIDI {
        std::int64_t sampleTime = 0;
        std::uint8_t cable = 0;
        std::vector<std::uint8_t> bytes;
        bool operator==(const ReceivedMIDI&) const = default;
    };

    static std::shared_ptr<AudioUnitSampler> make();

    void startNote(std::uint8_t note, std::uint8_t velocity, std::uint8_t channel);
    void stopNote(std::uint8_t note, std::uint8_t channel);
    void sendMIDIEvent(std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
    std::vector<ReceivedMIDI> receivedMIDI() const;
    std::size_t activeVoiceCount() const;

    std::string typeName() const override { return "AVAudioUnitSampler"; }
    void reset() override;

protected:
    AudioUnitSampler();
    void render(const RenderContext& context) override;

private:
    struct Voice {
        std::uint8_t note = 0;
        std::uint8_t channel = 0;
        float amplitude = 0;
        double phase = 0;
        bool releasing = false;
        float level = 0;
    };
    void handleMIDI(std::int64_t sampleTime, std::uint8_t cable, const std::vector<std::uint8_t>& bytes);

    mutable std::mutex mutex_;
    std::vector<ReceivedMIDI> received_;
    std::vector<Voice> voices_;
};

} // namespace platform
