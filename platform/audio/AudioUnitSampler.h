#pragma once
#include "platform/audio/AudioUnitNode.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {

// A simple instrument: every note on sounds a sine at the note's pitch until its note off. The last
// `kRecordedMessages` MIDI messages it received are kept, with the frame they were rendered at (their
// first `kRecordedBytes` bytes), in a record made once: rendering never grows it or waits for a reader.
class AudioUnitSampler : public AudioUnitNode {
public:
    struct ReceivedMIDI {
        std::int64_t sampleTime = 0;
        std::uint8_t cable = 0;
        std::vector<std::uint8_t> bytes;
        bool operator==(const ReceivedMIDI&) const = default;
    };

    static constexpr std::size_t kRecordedMessages = 1024;
    static constexpr std::size_t kRecordedBytes = 64;

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

    // Written by the rendering thread only; a reader copies and keeps what was not overwritten meanwhile.
    struct Record {
        std::atomic<std::int64_t> sampleTime{0};
        std::atomic<std::uint8_t> cable{0};
        std::atomic<std::uint32_t> length{0};
        std::array<std::atomic<std::uint8_t>, kRecordedBytes> bytes{};
    };
    std::unique_ptr<Record[]> record_;
    std::atomic<std::uint64_t> recordStarted_{0};  // messages whose entry is being or was written
    std::atomic<std::uint64_t> recordFinished_{0}; // messages whose entry is complete

    std::vector<Voice> voices_; // rendering thread
    std::atomic<std::size_t> voiceCount_{0};
    std::atomic<bool> resetRequested_{false};
};

} // namespace platform
