#pragma once
// Plays an emulated instrument on a raw MIDI device, such as the gadget side of a USB MIDI
// instrument: the bytes the device reads go to the emulator (on an in-process server of its own),
// and what the emulator sends is written to the device. Detaching, as for an unplug, drops the
// replies still waiting; attaching to the device that came back resumes with the same state.
#include "emulator/InstrumentEmulator.h"
#include "platform/midi/inprocess/InProcessServer.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace emulation {

class RawMidiInstrument {
public:
    // Empty when the config names no instrument.
    static std::unique_ptr<RawMidiInstrument> make(InstrumentEmulatorConfig config);
    ~RawMidiInstrument();
    RawMidiInstrument(const RawMidiInstrument&) = delete;
    RawMidiInstrument& operator=(const RawMidiInstrument&) = delete;

    InstrumentEmulator& emulator() { return *emulator_; }

    // Opens the device and starts playing on it; false (errorText saying why) when it does not open.
    bool attach(const std::string& device, std::string* errorText = nullptr);
    // Stops reading and closes the device; callable from any thread, also when the device is gone.
    void detach();
    bool isAttached() const { return fd_.load() >= 0; }

private:
    RawMidiInstrument() = default;
    void read(int fd, int wake);
    void write(const std::uint8_t* data, std::size_t size);

    platform::midi::InProcessServer server_;
    std::shared_ptr<InstrumentEmulator> emulator_;
    MIDIClientRef client_ = 0;
    MIDIPortRef out_ = 0;
    MIDIPortRef in_ = 0;

    std::mutex attachMutex_; // attach and detach
    std::mutex writeMutex_;  // the device's output; fd_ does not close during a write
    std::atomic<int> fd_{-1};
    int wake_ = -1; // an eventfd that ends the reading thread
    std::thread reader_;
};

} // namespace emulation
