// Received MIDI end to end: an external source sends through the in-process server's delivery
// thread to a MIDI object's input port and on to a listener, on both kinds of input port. The
// baselines hand the same pre-split events straight to the listener (the limit); the "Dispatch"
// runs feed the MIDI object's receive path on the calling thread, without the server, to show
// where the time goes.
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDI.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

using platform::midi::InProcessServer;
using platform::midi::InProcessServerConfig;
using sonabel::MIDIByte;

constexpr int kShortPerSend = 64; // three-byte messages per packet the source sends
constexpr int kShortSendsPerIteration = 16;
constexpr int kSysExPerIteration = 16;
constexpr std::size_t kSysExSize = 408;

class CountingListener : public sonabel::MIDIListener {
public:
    void receivedMIDINoteOn(MIDIByte note, MIDIByte velocity, MIDIByte, std::optional<MIDIUniqueID>,
                            std::optional<MIDITimeStamp>) override {
        sum_ += note + velocity;
        messages.fetch_add(1, std::memory_order_release);
    }
    void receivedMIDISystemCommand(const std::vector<MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        sum_ += data.size();
        messages.fetch_add(1, std::memory_order_release);
    }
    void waitFor(std::uint64_t count) const {
        while (messages.load(std::memory_order_acquire) < count)
            std::this_thread::yield();
    }
    std::atomic<std::uint64_t> messages{0};

private:
    std::uint64_t sum_ = 0;
};

std::vector<MIDIByte> shortMessages() {
    std::vector<MIDIByte> bytes;
    for (int i = 0; i < kShortPerSend; ++i)
        bytes.insert(bytes.end(), {0x90, MIDIByte(i & 0x7F), 0x64});
    return bytes;
}

std::vector<MIDIByte> sysEx() {
    std::vector<MIDIByte> bytes(kSysExSize);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = MIDIByte((i * 37 + 150) % 0xF0);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

struct Rig {
    explicit Rig(bool universal) : server(std::make_shared<InProcessServer>(InProcessServerConfig{})) {
        sonabel::Settings::setLoggingEnabled(false);
        midi = sonabel::MIDI::make({server, universal});
        server->addExternalSource({.name = "Velmor", .uniqueID = 11}, &source);
        server->waitUntilIdle();
        midi->openInput("Velmor");
        midi->addListener(listener);
    }
    std::shared_ptr<InProcessServer> server;
    std::shared_ptr<sonabel::MIDI> midi;
    std::shared_ptr<CountingListener> listener = std::make_shared<CountingListener>();
    MIDIEndpointRef source = 0;
};

void EndToEndShort(benchmark::State& state) {
    Rig rig(state.range(0) != 0);
    const auto bytes = shortMessages();
    std::uint64_t expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kShortSendsPerIteration; ++i)
            rig.server->sendFromSource(rig.source, bytes);
        expected += kShortSendsPerIteration * kShortPerSend;
        rig.listener->waitFor(expected);
    }
    state.SetItemsProcessed(std::int64_t(expected));
    state.SetLabel(state.range(0) ? "universal packets" : "packet lists");
}

void EndToEndSysEx(benchmark::State& state) {
    Rig rig(state.range(0) != 0);
    const auto bytes = sysEx();
    std::uint64_t expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kSysExPerIteration; ++i)
            rig.server->sendFromSource(rig.source, bytes);
        expected += kSysExPerIteration;
        rig.listener->waitFor(expected);
    }
    state.SetItemsProcessed(std::int64_t(expected));
    state.SetBytesProcessed(std::int64_t(expected * kSysExSize));
    state.SetLabel(state.range(0) ? "universal packets" : "packet lists");
}

// The receive path alone, on this thread: the packet lists a packet-list port gets.
void DispatchShort(benchmark::State& state) {
    Rig rig(false);
    platform::midi::PacketListBuilder list;
    list.addSplit(1, shortMessages());
    sonabel::SysExAssembler assembler;
    for (auto _ : state)
        rig.midi->receivePacketList(list.list(), list.size(), 11, assembler);
    state.SetItemsProcessed(state.iterations() * kShortPerSend);
}

void DispatchSysEx(benchmark::State& state) {
    Rig rig(false);
    platform::midi::PacketListBuilder list;
    list.addSplit(1, sysEx());
    sonabel::SysExAssembler assembler;
    for (auto _ : state)
        rig.midi->receivePacketList(list.list(), list.size(), 11, assembler);
    state.SetItemsProcessed(state.iterations());
}

// The limit: the same messages, already split into events, handed to the listener directly.
void BaselineShort(benchmark::State& state) {
    CountingListener listener;
    std::vector<sonabel::MIDIEvent> events;
    const auto bytes = shortMessages();
    for (std::size_t i = 0; i < bytes.size(); i += 3)
        events.emplace_back(
            std::vector<MIDIByte>(bytes.begin() + std::ptrdiff_t(i), bytes.begin() + std::ptrdiff_t(i + 3)));
    for (auto _ : state)
        for (const auto& event : events)
            listener.receivedMIDINoteOn(event.data[1], event.data[2], event.data[0] & 0x0F, 11,
                                        event.timeStamp);
    state.SetItemsProcessed(state.iterations() * std::int64_t(events.size()));
}

void BaselineSysEx(benchmark::State& state) {
    CountingListener listener;
    const sonabel::MIDIEvent event(sysEx(), 1);
    for (auto _ : state)
        listener.receivedMIDISystemCommand(event.data, 11, event.timeStamp);
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK(EndToEndShort)->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(EndToEndSysEx)->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(DispatchShort);
BENCHMARK(DispatchSysEx);
BENCHMARK(BaselineShort);
BENCHMARK(BaselineSysEx);
