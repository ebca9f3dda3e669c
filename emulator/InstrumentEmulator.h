#pragma once
// An instrument of the family on the in-process MIDI server: one source and one destination
// named after it, answering the app's SysEx as the hardware does and keeping the hardware's
// state. Tests set its state and faults, make it send spontaneous messages and read back what
// it received. Must be destroyed before its server.
#include "emulator/EmulatorFaults.h"
#include "emulator/InstrumentEmulatorConfig.h"
#include "emulator/InstrumentModel.h"
#include "emulator/InstrumentState.h"
#include "emulator/ReplyScheduler.h"
#include "emulator/SysExAssembler.h"
#include "platform/midi/inprocess/InProcessServer.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace emulation {

class InstrumentEmulator {
public:
    using Bytes = std::vector<std::uint8_t>;
    using Framing = InstrumentEmulatorConfig::Framing;

    // Plugged in at once. Empty when the port name is no model's and no model code is given,
    // or when the server refuses the endpoints.
    static std::shared_ptr<InstrumentEmulator> make(platform::midi::InProcessServer& server,
                                                    InstrumentEmulatorConfig config);
    ~InstrumentEmulator();
    InstrumentEmulator(const InstrumentEmulator&) = delete;
    InstrumentEmulator& operator=(const InstrumentEmulator&) = delete;

    const InstrumentModel& model() const { return model_; }
    MIDIEndpointRef source() const { return source_.load(); }
    MIDIEndpointRef destination() const { return destination_.load(); }

    InstrumentState state() const;
    void modifyState(const std::function<void(InstrumentState&)>& change);
    void setVersion(FirmwareVersion version);
    void setFraming(Framing framing);
    EmulatorFaults faults() const; // with what is left of the counters
    void setFaults(EmulatorFaults faults);

    // Every whole SysEx that reached the instrument, and every message it sent, in order.
    std::vector<Bytes> received() const;
    std::vector<Bytes> takeReceived();
    std::vector<Bytes> sent() const;
    void clearLog();

    // Spontaneous messages, in the framing of the last request understood (plain before any,
    // unless it speaks only with the manufacturer ID).
    void pressKey(std::uint8_t key); // 09 with the key's live tuning; 150 reports no key
    void reportKey(std::uint8_t key, std::uint8_t semitone, std::uint8_t fractionHigh,
                   std::uint8_t fractionLow);
    void releaseKey();                                 // 10
    void stateChanged();                               // 16
    void listChanged();                                // 34
    void programChanged();                             // 36: the current program's name is gone
    void sendRaw(std::span<const std::uint8_t> bytes); // exactly these bytes, no faults

    // Unplugging removes both endpoints; replugging adds them again under the same names and
    // unique IDs. Messages still waiting are dropped on unplug.
    void unplug();
    void replug();
    bool isPlugged() const { return source_.load() != 0; }

    // Sends the delayed replies whose time has come (without a reply thread this is the only
    // way they go out).
    std::size_t pump();
    std::size_t pendingReplies() const;

private:
    struct Reply {
        Bytes message;
        bool framed = true; // carries the model byte (the bulk dump does not)
    };

    InstrumentEmulator(platform::midi::InProcessServer& server, InstrumentEmulatorConfig config,
                       InstrumentModel model);
    bool plug();
    void onPacket(const platform::midi::ExternalPacket& packet);
    // Under mutex_: the replies to one message.
    std::vector<Reply> handle(const Bytes& message);
    std::vector<Reply> handleCommand(std::uint8_t command, std::span<const std::uint8_t> payload);
    std::vector<Reply> handleFirmwareBlock(std::span<const std::uint8_t> payload);
    void takeRealTimeTuning(std::span<const std::uint8_t> body);
    void takeBulkDump(const Bytes& message);
    Reply framed(std::uint8_t command, std::span<const std::uint8_t> payload) const;
    Reply keyReport(std::uint8_t key) const; // under mutex_
    Bytes withFaults(Reply reply);
    void dispatch(std::vector<Reply> replies, bool isAnswer);
    void sendNow(const Bytes& message);
    bool acknowledges() const;
    InstrumentState::Record& programRecord(std::uint8_t bank, std::uint8_t program);

    platform::midi::InProcessServer& server_;
    InstrumentEmulatorConfig config_;
    const InstrumentModel model_;
    std::atomic<MIDIEndpointRef> source_{0};
    std::atomic<MIDIEndpointRef> destination_{0};
    MIDIUniqueID sourceID_ = 0;
    MIDIUniqueID destinationID_ = 0;

    mutable std::mutex mutex_;
    InstrumentState state_;
    EmulatorFaults faults_;
    Framing framing_;
    bool lastRequestWithID_ = false;
    SysExAssembler assembler_;
    std::vector<Bytes> received_;
    std::vector<Bytes> sent_;

    ReplyScheduler scheduler_;
};

} // namespace emulation
