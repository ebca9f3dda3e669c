#pragma once
// The sequencer calls over alsa-lib: one handle, opened non-blocking for input and output,
// subscribed to the system announce port so port and client changes arrive as events.
#include "platform/midi/alsa/AlsaSequencer.h"

#include <memory>
#include <mutex>
#include <string>

namespace platform::midi {

class AlsaLibSequencer final : public AlsaSequencer {
public:
    // Null when the sequencer does not open (no /dev/snd/seq, no permission); errorText says why.
    static std::unique_ptr<AlsaLibSequencer> open(std::string_view clientName,
                                                  std::string* errorText = nullptr);
    ~AlsaLibSequencer() override;
    AlsaLibSequencer(const AlsaLibSequencer&) = delete;
    AlsaLibSequencer& operator=(const AlsaLibSequencer&) = delete;

    int clientID() override;
    int setClientName(std::string_view name) override;
    int createPort(std::string_view name, unsigned capability, unsigned type) override;
    int deletePort(int port) override;
    int connectFrom(int ourPort, int client, int port) override;
    int disconnectFrom(int ourPort, int client, int port) override;
    int connectTo(int ourPort, int client, int port) override;
    std::vector<AlsaPortInfo> listPorts() override;
    std::vector<Subscriber> subscribersOf(int ourPort) override;
    std::optional<RawMidi> rawMidiOf(int client, int port) override;
    bool hasRoomFor(const snd_seq_event_t& event) override;
    int outputDirect(snd_seq_event_t& event) override;
    void waitForInput(std::chrono::milliseconds timeout) override;
    void wake() override;
    int input(snd_seq_event_t** event) override;
    int inputPending() override;

    static constexpr long kInputPoolCells = 2000;

private:
    AlsaLibSequencer(snd_seq_t* handle, int wakeFd);
    void growInputPool();
    // Whether a client's ports drive a card's MIDI devices.
    static bool drivesDevice(const snd_seq_client_info_t* client);
    bool isKernelClient(int client);

    snd_seq_t* handle_;
    int fd_; // the device, for what alsa-lib does not ask
    int wakeFd_;
    int clientID_;
    // alsa-lib shares scratch buffers inside the handle between calls; input stays unlocked,
    // as only the polling thread reads.
    std::mutex mutex_;
};

} // namespace platform::midi
