// Writes toward kernel MIDI ports and user-space clients, against a fake sequencer whose kernel
// port drops what overflows its buffer, as the kernel does.
#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "testing/Eventually.h"
#include "testing/FakeSequencer.h"
#include "testing/KernelTestSupport.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Rig {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    alsatest::FakeSequencer sequencer{clock};
    AlsaServerConfig config;
    Rig() {
        config.clock = &clock;
        config.sleeper = &sleeper;
    }
};

// The upload check: 200 back-to-back 521-byte blocks, then one SysEx as long as a send takes;
// 7-bit, as a device takes them, unless told.
std::vector<Bytes> upload(Bytes (*sysEx)(std::size_t) = kerneltest::sevenBitSysEx) {
    std::vector<Bytes> messages(200, sysEx(521));
    messages.push_back(sysEx(65522));
    return messages;
}

Bytes joined(const std::vector<Bytes>& messages) {
    Bytes out;
    for (const auto& m : messages)
        out.insert(out.end(), m.begin(), m.end());
    return out;
}

} // namespace

TEST(AlsaOutput, AnUploadToAKernelPortArrivesWholeOnlyWhenPaced) {
    for (bool paced : {true, false}) {
        SCOPED_TRACE(paced);
        Rig rig;
        if (!paced) rig.config.kernelBytesPerSecond = 0;
        rig.sequencer.addDestination(20, 0, true, 4096);
        AlsaOutput output(rig.sequencer, rig.config);
        const auto messages = upload();
        for (const auto& m : messages)
            ASSERT_EQ(output.send({.sourcePort = 1, .client = 20, .port = 0, .kernel = true}, m), noErr);
        const auto received = rig.sequencer.destination(20, 0);
        if (!paced) {
            // What the kernel does to an unpaced upload: the sender hears nothing, data is gone.
            EXPECT_GT(received.dropped, 0u);
            continue;
        }
        EXPECT_EQ(received.dropped, 0u);
        EXPECT_EQ(received.bytes, joined(messages));
        for (std::size_t n : received.eventSizes)
            EXPECT_LE(n, 256u);
        // It took as long as the cable needs, and no more than a buffer's worth longer.
        const double seconds = static_cast<double>(rig.clock.now() - 1'000'000'000) / 1e9;
        const double wire = static_cast<double>(joined(messages).size()) / 3125.0;
        EXPECT_GT(seconds, wire - 2048 / 3125.0 - 0.01);
        EXPECT_LT(seconds, wire + 0.01);
    }
}

TEST(AlsaOutput, PacerKeepsTheModelledBufferWithinBudget) {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    AlsaOutputPacer pacer(clock, sleeper, 3125, 2048);
    pacer.waitForRoom(20, 0, 2000);
    EXPECT_EQ(sleeper.calls(), 0u);
    EXPECT_EQ(pacer.inFlight(20, 0), 2000u);
    // Another port has a buffer of its own.
    pacer.waitForRoom(21, 0, 2000);
    EXPECT_EQ(sleeper.calls(), 0u);
    // 256 more must wait until 208 bytes drained: 66.56 ms.
    pacer.waitForRoom(20, 0, 256);
    EXPECT_EQ(clock.now(), 1'000'000'000u + 66'560'000u);
    EXPECT_EQ(pacer.inFlight(20, 0), 2048u);
    // Larger than the budget: waits for an empty buffer.
    pacer.waitForRoom(20, 0, 5000);
    EXPECT_EQ(clock.now(), 1'000'000'000u + 66'560'000u + 655'360'000u);
    clock.advance(10'000'000'000);
    EXPECT_EQ(pacer.inFlight(20, 0), 0u);
}

TEST(AlsaOutput, AFullUserSpaceQueueIsWaitedForAndAStuckOneFailsTheSendAloud) {
    Rig rig;
    rig.sequencer.addDestination(130, 0, false, 8);
    AlsaOutput output(rig.sequencer, rig.config);
    const auto messages = upload(miditest::eightBitSysEx);
    for (const auto& m : messages)
        ASSERT_EQ(output.send({.sourcePort = 1, .client = 130, .port = 0}, m), noErr);
    EXPECT_EQ(rig.sequencer.destination(130, 0).bytes, joined(messages));
    EXPECT_GT(rig.sleeper.calls(), 0u);
    // Never by overfilling it: the kernel would throw away all it had waiting.
    EXPECT_EQ(rig.sequencer.destination(130, 0).refused, 0u);

    // A receiver that takes nothing: the send fails with a status and a line, after the timeout.
    platform::ScopedLogCapture log;
    rig.sequencer.userDrainEvery = UINT64_MAX / 2;
    rig.sequencer.addDestination(131, 0, false, 2);
    const auto start = rig.clock.now();
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 131, .port = 0}, miditest::eightBitSysEx(1000)),
              kMIDIMessageSendErr);
    EXPECT_GE(rig.clock.now() - start, 10'000'000'000u);
    EXPECT_EQ(log.lines().size(), 1u);
    // No half SysEx is carried into the next send: it starts clean.
    rig.sequencer.addDestination(131, 0, false, 100);
    rig.sequencer.userDrainEvery = 1'000'000;
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 131, .port = 0}, Bytes{0x90, 0x3C, 0x64}), noErr);
    // A destination that is gone fails at once.
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 99, .port = 0}, Bytes{0x90, 0x3C, 0x64}),
              kMIDIMessageSendErr);
}

TEST(AlsaOutput, ConcurrentSendsNeverInterleaveTheirChunks) {
    platform::ManualClock clock;
    platform::ManualSleeper sleeper{clock};
    alsatest::FakeSequencer sequencer{clock};
    AlsaServerConfig config;
    config.clock = &clock;
    config.sleeper = &sleeper;
    config.sysExChunkBytes = 16;
    sequencer.addDestination(130, 0, false, 1'000'000);
    AlsaOutput output(sequencer, config);
    auto messageOf = [](std::uint8_t tag) {
        Bytes m(300, tag);
        m.front() = 0xF0;
        m.back() = 0xF7;
        return m;
    };
    std::vector<std::thread> threads;
    for (std::uint8_t tag = 1; tag <= 4; ++tag)
        threads.emplace_back([&, tag] {
            for (int i = 0; i < 25; ++i)
                EXPECT_EQ(output.send({.sourcePort = 1, .client = 130, .port = 0}, messageOf(tag)), noErr);
        });
    for (auto& t : threads)
        t.join();
    const Bytes bytes = sequencer.destination(130, 0).bytes;
    ASSERT_EQ(bytes.size(), 100u * 300u);
    for (std::size_t at = 0; at < bytes.size(); at += 300)
        EXPECT_EQ(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() + static_cast<std::ptrdiff_t>(at + 300)),
                  messageOf(bytes[at + 1]));
}

namespace {

// A device behind card 1's first raw MIDI device (when `rawMidi`), draining `bytesPerSecond`.
struct DeviceRig : Rig {
    explicit DeviceRig(double bytesPerSecond, bool rawMidi = true) {
        sequencer.kernelBytesPerSecond = bytesPerSecond;
        sequencer.addDestination(20, 0, true, 4096);
        if (rawMidi) sequencer.setRawMidi(20, 0, {1, 0, 0});
        config.readKernelFile = [this](const std::string& path) { return sequencer.kernelFile(path); };
    }
    static constexpr AlsaOutput::Route device{.sourcePort = 1, .client = 20, .port = 0, .kernel = true};
};

} // namespace

TEST(AlsaOutput, TowardADeviceEventsFitTheRoomTheKernelReportsOrElseGoAtTheCablesPace) {
    const auto messages = upload();
    const double total = static_cast<double>(joined(messages).size());
    struct Case {
        const char* name;
        bool fileReadable;
        bool rawMidi;
        double bytesPerSecond; // the device's own
        double expectedBytesPerSecond;
        double buffer; // bytes that may go at once
        std::size_t eventBytes;
        std::string line;
    };
    const Case cases[] = {
        {"room reported", true, true, 1e6, 1e6, 4096, 1024,
         "MIDI output to 20:0 goes as fast as the device takes it: /proc/asound/card1/midi0 shows the room "
         "in its buffer"},
        {"a device as slow as a cable", true, true, 3125, 3125, 4096, 1024,
         "MIDI output to 20:0 goes as fast as the device takes it: /proc/asound/card1/midi0 shows the room "
         "in its buffer"},
        {"no such file", false, true, 1e6, 3125, 2048, 256,
         "MIDI output to 20:0 is paced at a MIDI cable's rate (3125 bytes a second): "
         "/proc/asound/card1/midi0 "
         "shows no room for output 0"},
        {"another kind of port", true, false, 1e6, 3125, 2048, 256,
         "MIDI output to 20:0 is paced at a MIDI cable's rate (3125 bytes a second): the port drives no raw "
         "MIDI device of a card"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScopedLogCapture log;
        DeviceRig rig(c.bytesPerSecond, c.rawMidi);
        if (!c.fileReadable) rig.config.readKernelFile = [](const std::string&) { return std::nullopt; };
        AlsaOutput output(rig.sequencer, rig.config);
        const auto start = rig.clock.now();
        for (const auto& m : messages)
            ASSERT_EQ(output.send(DeviceRig::device, m), noErr);
        const auto received = rig.sequencer.destination(20, 0);
        EXPECT_EQ(received.dropped, 0u);
        EXPECT_EQ(received.bytes, joined(messages));
        EXPECT_EQ(*std::max_element(received.eventSizes.begin(), received.eventSizes.end()), c.eventBytes);
        const double seconds = static_cast<double>(rig.clock.now() - start) / 1e9;
        EXPECT_GT(seconds, (total - c.buffer) / c.expectedBytesPerSecond - 0.01);
        EXPECT_LT(seconds, total / c.expectedBytesPerSecond + 0.01);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
}

TEST(AlsaOutput, ASendToADeviceThatStopsTakingBytesOrIsUnpluggedFailsAloud) {
    // Room 0 for good: the send fails after the time-out, having filled the buffer and no more.
    {
        platform::ScopedLogCapture log;
        DeviceRig rig(0);
        AlsaOutput output(rig.sequencer, rig.config);
        const auto start = rig.clock.now();
        EXPECT_EQ(output.send(DeviceRig::device, kerneltest::sevenBitSysEx(65522)), kMIDIMessageSendErr);
        EXPECT_GE(rig.clock.now() - start, 10'000'000'000u);
        EXPECT_LT(rig.clock.now() - start, 10'010'000'000u);
        EXPECT_EQ(rig.sequencer.destination(20, 0).bytes.size(), 4096u);
        EXPECT_EQ(rig.sequencer.destination(20, 0).dropped, 0u);
        ASSERT_EQ(log.lines().size(), 2u);
        EXPECT_EQ(log.lines()[1], "MIDI send to 20:0 failed: the device took nothing for 10000 ms");
    }
    // Unplugged while waiting for room: the kernel's report goes, and the send fails at once.
    {
        platform::ScopedLogCapture log;
        DeviceRig rig(3125);
        std::size_t reads = 0;
        rig.config.readKernelFile = [&](const std::string& path) {
            if (++reads == 10) rig.sequencer.removeDestination(20, 0);
            return rig.sequencer.kernelFile(path);
        };
        AlsaOutput output(rig.sequencer, rig.config);
        const auto start = rig.clock.now();
        EXPECT_EQ(output.send(DeviceRig::device, kerneltest::sevenBitSysEx(65522)), kMIDIMessageSendErr);
        EXPECT_EQ(reads, 10u);
        EXPECT_LT(rig.clock.now() - start, 100'000'000u);
        ASSERT_EQ(log.lines().size(), 2u);
        EXPECT_EQ(log.lines()[1],
                  "MIDI send to 20:0 failed: the device's output is gone (/proc/asound/card1/midi0)");
    }
}

TEST(AlsaOutput, ASysExWithAByteACableReadsAsStatusIsRefusedTowardADeviceOnly) {
    platform::ScopedLogCapture log;
    DeviceRig rig(1e6);
    rig.sequencer.addDestination(130, 0, false, 100);
    AlsaOutput output(rig.sequencer, rig.config);
    const Bytes latin1Name{0xF0, 0x7D, 0x4E, 0xE9, 0x65, 0xF7};
    EXPECT_EQ(output.send(DeviceRig::device, latin1Name), kMIDIMessageSendErr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"MIDI send to 20:0 refused: the SysEx holds the byte E9, "
                                                    "which cannot cross a MIDI cable inside a SysEx"});
    EXPECT_EQ(rig.sequencer.connectToCalls, 0u);
    // A SysEx that continues over sends is read as one; real-time bytes may sit inside it.
    ASSERT_EQ(output.send(DeviceRig::device, Bytes{0xF0, 0x7D, 0x01, 0xF8}), noErr);
    EXPECT_EQ(output.send(DeviceRig::device, Bytes{0x02, 0xF0, 0xF7}), kMIDIMessageSendErr);
    ASSERT_EQ(output.send(DeviceRig::device, Bytes{0x02, 0xF7, 0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(rig.sequencer.destination(20, 0).bytes,
              (Bytes{0xF0, 0x7D, 0x01, 0xF8, 0x02, 0xF7, 0x90, 0x3C, 0x64}));
    // Another program takes 8-bit SysEx as it is.
    EXPECT_EQ(output.send({.sourcePort = 1, .client = 130, .port = 0}, latin1Name), noErr);
    EXPECT_EQ(rig.sequencer.destination(130, 0).bytes, latin1Name);
    ASSERT_EQ(log.lines().size(), 3u);
    EXPECT_EQ(log.lines()[2], "MIDI send to 20:0 refused: the SysEx holds the byte F0, which cannot cross a "
                              "MIDI cable inside a SysEx");
}

TEST(AlsaOutput, AnUnfinishedSysExEndsAsTheWireEndsItAndNeverOutlivesOurPort) {
    platform::ScopedLogCapture log;
    DeviceRig rig(1e6);
    rig.sequencer.addDestination(130, 0, false, 100);
    AlsaOutput output(rig.sequencer, rig.config);
    // Toward a device a status byte ends it, and goes out.
    ASSERT_EQ(output.send(DeviceRig::device, Bytes{0xF0, 0x7D, 0x01}), noErr);
    EXPECT_EQ(output.send(DeviceRig::device, Bytes{0x90, 0x3C, 0x64}), noErr);
    EXPECT_EQ(output.send(DeviceRig::device, Bytes{0xF0, 0x7D, 0x02, 0xF7}), noErr);
    EXPECT_EQ(rig.sequencer.destination(20, 0).bytes,
              (Bytes{0xF0, 0x7D, 0x01, 0x90, 0x3C, 0x64, 0xF0, 0x7D, 0x02, 0xF7}));
    EXPECT_EQ(log.lines().size(), 1u);
    // Toward a program 8-bit data continues it, until a send that begins with a status byte more
    // than 1 s after the last one.
    const AlsaOutput::Route program{.sourcePort = 1, .client = 130, .port = 0};
    ASSERT_EQ(output.send(program, Bytes{0xF0, 0x7D, 0x01}), noErr);
    rig.clock.advance(1'000'000'000);
    ASSERT_EQ(output.send(program, Bytes{0x90, 0x3C}), noErr);
    rig.clock.advance(1'000'000'001);
    ASSERT_EQ(output.send(program, Bytes{0x90, 0x3C, 0x64}), noErr);
    auto received = rig.sequencer.destination(130, 0);
    EXPECT_EQ(received.bytes, (Bytes{0xF0, 0x7D, 0x01, 0x90, 0x3C, 0x90, 0x3C, 0x64}));
    EXPECT_EQ(received.eventTypes.back(), SND_SEQ_EVENT_NOTEON);
    // Our port goes, and a new one gets its number: it starts clean.
    ASSERT_EQ(output.send(program, Bytes{0xF0, 0x7D, 0x03}), noErr);
    output.forgetSender(1);
    ASSERT_EQ(output.send(program, Bytes{0x90, 0x3C, 0x64}), noErr);
    received = rig.sequencer.destination(130, 0);
    EXPECT_EQ(received.eventTypes.back(), SND_SEQ_EVENT_NOTEON);
    EXPECT_EQ(Bytes(received.bytes.end() - 5, received.bytes.end()), (Bytes{0xF0, 0x7D, 0x90, 0x3C, 0x64}));
}

TEST(AlsaOutput, ASendToOneDestinationNeverWaitsForAnothersPacing) {
    // Holds the upload in its first wait for room until released.
    struct Gate final : platform::Sleeper {
        platform::ManualClock* clock = nullptr;
        std::mutex mutex;
        std::condition_variable changed;
        bool holding = false, open = false;
        void sleepFor(std::chrono::nanoseconds duration) override {
            std::unique_lock lock(mutex);
            holding = true;
            changed.notify_all();
            changed.wait_for(lock, 2 * testwait::kDeadline, [&] { return open; });
            clock->advance(static_cast<std::uint64_t>(duration.count()));
        }
    } gate;
    Rig rig;
    gate.clock = &rig.clock;
    rig.config.sleeper = &gate;
    rig.sequencer.addDestination(20, 0, true, 4096);
    rig.sequencer.addDestination(130, 0, false, 100);
    AlsaOutput output(rig.sequencer, rig.config);
    std::thread upload([&] {
        EXPECT_EQ(output.send({.sourcePort = 1, .client = 20, .port = 0, .kernel = true},
                              kerneltest::sevenBitSysEx(8000)),
                  noErr);
    });
    std::atomic<bool> noteSent{false};
    std::thread note([&] {
        const auto sent = output.send({.sourcePort = 2, .client = 130, .port = 0}, Bytes{0x90, 0x3C, 0x64});
        noteSent = sent == noErr;
    });
    EXPECT_TRUE(testwait::eventually([&] {
        std::lock_guard lock(gate.mutex);
        return gate.holding && noteSent;
    }));
    EXPECT_EQ(rig.sequencer.destination(130, 0).bytes, (Bytes{0x90, 0x3C, 0x64}));
    {
        std::lock_guard lock(gate.mutex);
        gate.open = true;
    }
    gate.changed.notify_all();
    upload.join();
    note.join();
    EXPECT_EQ(rig.sequencer.destination(20, 0).bytes, kerneltest::sevenBitSysEx(8000));
}

TEST(AlsaOutput, TheRoomIsReadFromTheKernelsReportOfTheSubstreamBehindThePort) {
    // As the guest's kernel wrote it for a USB instrument while a subscription held it open.
    const std::string usb = "Toskar MK2\n\nOutput 0\n  Tx bytes     : 3008\n  Owner PID    : 172\n"
                            "  Mode         : native\n  Buffer size  : 4096\n  Avail        : 3941\nInput 0\n"
                            "  Rx bytes     : 0\n  Buffer size  : 4096\n  Avail        : 17\n";
    EXPECT_EQ(AlsaOutputRoom::parse(usb, 0), (AlsaOutputRoom::Figure{4096, 3941}));
    EXPECT_EQ(AlsaOutputRoom::parse(usb, 1), std::nullopt);
    // Closed: no buffer shown; a second substream has its own.
    const std::string two = "UM-2\n\nOutput 0\n  Tx bytes     : 0\nOutput 1\n  Tx bytes     : 9\n"
                            "  Buffer size  : 4096\n  Avail        : 0\n";
    EXPECT_EQ(AlsaOutputRoom::parse(two, 0), std::nullopt);
    EXPECT_EQ(AlsaOutputRoom::parse(two, 1), (AlsaOutputRoom::Figure{4096, 0}));
    EXPECT_EQ(AlsaOutputRoom::parse("MIDI 2.0\n\nType: UMP\n" + usb.substr(12), 0), std::nullopt);
    AlsaOutputRoom room([&](const std::string& path) {
        return path == "/proc/asound/card3/midi1" ? std::optional(two) : std::nullopt;
    });
    EXPECT_EQ(room.read({3, 1, 1}), (AlsaOutputRoom::Figure{4096, 0}));
    EXPECT_EQ(room.read({3, 0, 1}), std::nullopt);
}

TEST(AlsaOutput, ASendUnderWayKeepsItsTurnWhenItsDestinationIsForgotten) {
    // Holds the first thread that waits for room until released.
    struct Held final : platform::Sleeper {
        platform::ManualClock* clock = nullptr;
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<std::thread::id> first;
        bool released = false;
        void sleepFor(std::chrono::nanoseconds duration) override {
            {
                std::unique_lock lock(mutex);
                if (!first) first = std::this_thread::get_id();
                changed.notify_all();
                if (*first == std::this_thread::get_id())
                    changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
            }
            clock->advance(static_cast<std::uint64_t>(duration.count()));
        }
    } held;
    Rig rig;
    held.clock = &rig.clock;
    rig.config.sleeper = &held;
    rig.sequencer.addDestination(130, 0, false, 1);
    AlsaOutput output(rig.sequencer, rig.config);
    const AlsaOutput::Route route{.sourcePort = 1, .client = 130, .port = 0};
    std::thread upload([&] { EXPECT_EQ(output.send(route, miditest::eightBitSysEx(700)), noErr); });
    {
        std::unique_lock lock(held.mutex);
        ASSERT_TRUE(
            held.changed.wait_for(lock, std::chrono::seconds(30), [&] { return held.first.has_value(); }));
    }
    // A port announced at the address: what was kept toward it goes, but not the upload's turn.
    output.forget(130, 0);
    std::atomic<bool> noteSent{false};
    std::thread note([&] {
        EXPECT_EQ(output.send(route, Bytes{0x90, 0x3C, 0x64}), noErr);
        noteSent = true;
    });
    testwait::eventually([&] { return noteSent.load(); }, std::chrono::milliseconds(300));
    {
        std::lock_guard lock(held.mutex);
        held.released = true;
    }
    held.changed.notify_all();
    upload.join();
    note.join();
    EXPECT_EQ(rig.sequencer.destination(130, 0).eventTypes,
              (std::vector<snd_seq_event_type_t>{SND_SEQ_EVENT_SYSEX, SND_SEQ_EVENT_SYSEX,
                                                 SND_SEQ_EVENT_SYSEX, SND_SEQ_EVENT_NOTEON}));
}
