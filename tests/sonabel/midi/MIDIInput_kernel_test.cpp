// What the MIDI object hears from a USB instrument through the kernel: a SysEx as the kernel framed
// it, whole however late this process reads it, and never joined to another.
#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDI.h"
#include "testing/Eventually.h"
#include "testing/KernelTestSupport.h"
#include "testing/UsbInstrument.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

using namespace platform::midi;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Every message that reaches a listener, whatever its kind.
class Messages final : public sonabel::MIDIListener {
public:
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        add(data);
    }
    void receivedMIDINoteOn(sonabel::MIDINoteNumber n, sonabel::MIDIVelocity v, sonabel::MIDIChannel c,
                            std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) override {
        add({std::uint8_t(0x90 | c), n, v});
    }
    void receivedMIDINoteOff(sonabel::MIDINoteNumber n, sonabel::MIDIVelocity v, sonabel::MIDIChannel c,
                             std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) override {
        add({std::uint8_t(0x80 | c), n, v});
    }
    void receivedMIDIController(sonabel::MIDIByte n, sonabel::MIDIByte v, sonabel::MIDIChannel c,
                                std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) override {
        add({std::uint8_t(0xB0 | c), n, v});
    }
    void receivedMIDIProgramChange(sonabel::MIDIByte p, sonabel::MIDIChannel c, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        add({std::uint8_t(0xC0 | c), p});
    }
    std::vector<Bytes> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 30s, [&] { return got_.size() >= count; });
        return got_;
    }

private:
    void add(Bytes bytes) {
        {
            std::lock_guard lock(mutex_);
            got_.push_back(std::move(bytes));
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Bytes> got_;
};

void pause(std::chrono::milliseconds duration) {
    const timespec time{static_cast<time_t>(duration.count() / 1000),
                        static_cast<long>(duration.count() % 1000) * 1'000'000};
    ::nanosleep(&time, nullptr);
}

class UsbInstrumentInput : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        sonabel::Settings::setLoggingEnabled(false);
        server = AlsaServer::open({.jobs = &jobs}, &why);
        KERNEL_TEST_NEEDS(server, "no ALSA sequencer on this machine (" << why << ")");
        instrument = std::make_unique<kerneltest::UsbInstrument>("Toskar MK2");
        ASSERT_TRUE(instrument->plugged()) << instrument->why();
        server->refreshListing();
        midi = sonabel::MIDI::make({server, GetParam()});
        midi->addListener(messages);
        ASSERT_TRUE(testwait::eventually([&] {
            const auto names = midi->inputNames();
            return std::ranges::find(names, "Toskar MK2") != names.end();
        }));
        midi->openInput("Toskar MK2");
        ASSERT_EQ(midi->inputPorts().size(), 1u);
    }
    void TearDown() override {
        midi.reset();
        instrument.reset();
        server.reset();
        jobs.joinAll();
        sonabel::Settings::setLoggingEnabled(true);
    }

    platform::BackgroundJobs jobs;
    std::string why;
    std::shared_ptr<AlsaServer> server;
    std::unique_ptr<kerneltest::UsbInstrument> instrument;
    std::shared_ptr<sonabel::MIDI> midi;
    std::shared_ptr<Messages> messages = std::make_shared<Messages>();
};

} // namespace

TEST_P(UsbInstrumentInput, ASysExArrivesWholeThoughThisProcessStopsForTwoSecondsBetweenItsHalves) {
    const Bytes sysEx = kerneltest::sevenBitSysEx(600);
    const std::size_t half = 300;
    const pid_t receiver = ::getpid();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The instrument's side, in a process of its own: the halves 50 ms apart, this process
        // stopped for 2 s from the moment the first half had time to be read.
        const bool sent = instrument->send(std::span(sysEx).first(half));
        pause(50ms);
        ::kill(receiver, SIGSTOP);
        const bool rest = instrument->send(std::span(sysEx).subspan(half));
        pause(2000ms);
        ::kill(receiver, SIGCONT);
        ::_exit(sent && rest ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(messages->waitFor(1), std::vector<Bytes>{sysEx});
    ASSERT_TRUE(server->waitUntilIdle());
    EXPECT_EQ(messages->waitFor(0), std::vector<Bytes>{sysEx}) << "nothing else arrives";
}

TEST_P(UsbInstrumentInput, ASysExCutOffByANewOneIsDroppedAndTheNewOneArrivesAlone) {
    platform::ScopedLogCapture log;
    // The kernel hands on the first 256 bytes of an unfinished SysEx as an event of their own and
    // drops what it holds beyond them at a new F0 (as it drops F0 7D 01 02 below before we see
    // it). The gadget's side sends whole 3-byte USB packets only: 258 bytes all cross.
    Bytes head{0xF0};
    head.insert(head.end(), 257, 0x41);
    const Bytes first{0xF0, 0x7D, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF7};
    const Bytes second{0xF0, 0x7D, 0x03, 0x04, 0xF7};
    ASSERT_TRUE(instrument->send(head));
    pause(100ms);
    ASSERT_TRUE(instrument->send(first));
    pause(100ms);
    ASSERT_TRUE(instrument->send(Bytes{0xF0, 0x7D, 0x01, 0x02}));
    pause(100ms);
    ASSERT_TRUE(instrument->send(second));
    EXPECT_EQ(messages->waitFor(2), (std::vector<Bytes>{first, second}));
    ASSERT_TRUE(server->waitUntilIdle());
    EXPECT_EQ(messages->waitFor(0), (std::vector<Bytes>{first, second}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Toskar MK2: an unfinished SysEx of 256 bytes is dropped"}));
}

INSTANTIATE_TEST_SUITE_P(BothInputKinds, UsbInstrumentInput, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "UniversalPackets" : "PacketLists"; });
