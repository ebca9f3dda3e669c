// Through the kernel, in the guest of scripts/run-in-guest (elsewhere every benchmark skips): the
// USB instrument of scripts/usb-instrument takes a 65,522-byte SysEx from `amidi -s` (the raw
// device written directly) and from our sequencer backend, with the SysEx cut into events of 256,
// 512 and 1024 bytes; the time is from the first to the last byte at the instrument, and "x_amidi"
// is ours over amidi's median. Then the application's 64 KiB firmware upload, acknowledged block
// by block by the emulated instrument, with the device's room read and on the cable model.
#include "app/controller/ControllerState.h"
#include "app/controller/FirmwareUpload.h"
#include "app/controller/InstrumentSnapshot.h"
#include "app/controller/ReceiveHandler.h"
#include "platform/core/BackgroundJobs.h"
#include "platform/core/LogSink.h"
#include "platform/core/Sleeper.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/alsa/AlsaServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/MIDIEvent.h"
#include "testing/KernelTestSupport.h"
#include "testing/RawMidiInstrument.h"
#include "testing/UsbInstrument.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

const std::string kName = "Toskar MK2";
constexpr std::size_t kLength = 65522;

// Reads the instrument's end and notes when the first and the last expected byte came.
class Arrivals {
public:
    explicit Arrivals(const std::string& device) : fd_(::open(device.c_str(), O_RDONLY | O_CLOEXEC)) {
        if (fd_ < 0) return;
        kerneltest::growInputBuffer(fd_, 1 << 20);
        // The gadget drops what the host sends until its raw input is started, which a poll does:
        // started before the sender is.
        pollfd start{fd_, POLLIN, 0};
        ::poll(&start, 1, 0);
    }
    ~Arrivals() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Seconds from the first byte to the `count`-th; negative when they did not all come or differ.
    double receive(const Bytes& expected, std::chrono::seconds timeout) {
        Bytes got;
        Clock::time_point first{}, last{};
        const auto deadline = Clock::now() + timeout;
        std::uint8_t buffer[4096];
        while (fd_ >= 0 && got.size() < expected.size() && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            if (got.empty()) first = Clock::now();
            got.insert(got.end(), buffer, buffer + n);
            last = Clock::now();
        }
        if (got != expected) {
            const auto at = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
            std::fprintf(stderr, "the instrument got %zu of %zu bytes, the first wrong at %td\n", got.size(),
                         expected.size(), at.first - got.begin());
            return -1;
        }
        return std::chrono::duration<double>(last - first).count();
    }
    bool open() const { return fd_ >= 0; }

private:
    int fd_;
};

// The host side's card of the instrument, from the kernel's card list.
int hostCard() {
    std::ifstream cards("/proc/asound/cards");
    std::string line;
    while (std::getline(cards, line))
        if (line.find("USB-Audio - " + kName) != std::string::npos) return std::stoi(line);
    return -1;
}

bool haveSequencer(benchmark::State& state) {
    if (::access("/dev/snd/seq", F_OK) == 0 && fs::exists("/sys/kernel/config/usb_gadget")) return true;
    state.SkipWithError("no sequencer and USB gadget here: run it in scripts/run-in-guest");
    return false;
}

double amidiMedian = 0;

void record(benchmark::State& state, std::vector<double>& times, double seconds) {
    if (seconds < 0) {
        state.SkipWithError("the instrument did not receive the SysEx exact");
        return;
    }
    times.push_back(seconds);
    state.SetIterationTime(seconds);
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    return times.empty() ? 0 : times[times.size() / 2];
}

void AmidiSend(benchmark::State& state) {
    if (!haveSequencer(state)) return;
    kerneltest::UsbGadget gadget(kName);
    const int card = hostCard();
    if (gadget.device().empty() || card < 0) return state.SkipWithError("the USB instrument did not come up");
    const fs::path file = fs::temp_directory_path() / "bench-65522.syx";
    const Bytes sysEx = kerneltest::sevenBitSysEx(kLength);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(sysEx.data()), std::streamsize(sysEx.size()));
    const std::string command = "amidi -p hw:" + std::to_string(card) + ",0,0 -s " + file.string();
    std::vector<double> times;
    for (auto _ : state) {
        Arrivals arrivals(gadget.device());
        std::thread sender([&] {
            if (std::system(command.c_str()) != 0)
                std::fprintf(stderr, "amidi failed: %s\n", command.c_str());
        });
        const double seconds = arrivals.receive(sysEx, std::chrono::seconds(60));
        sender.join();
        record(state, times, seconds);
    }
    amidiMedian = median(times);
}

void OurSend(benchmark::State& state) {
    if (!haveSequencer(state)) return;
    platform::ScopedLogCapture quiet;
    kerneltest::UsbGadget gadget(kName);
    if (gadget.device().empty()) return state.SkipWithError("the USB instrument did not come up");
    platform::BackgroundJobs jobs;
    platform::midi::AlsaServerConfig config{.jobs = &jobs};
    config.kernelSysExChunkBytes = static_cast<std::size_t>(state.range(0));
    auto server = platform::midi::AlsaServer::open(config);
    MIDIClientRef client = 0;
    MIDIPortRef out = 0;
    MIDIEndpointRef toskar = 0;
    server->createClient("bench", {}, &client);
    server->createOutputPort(client, "Out", &out);
    for (ItemCount i = 0; i < server->numberOfDestinations(); ++i) {
        std::string name;
        if (server->getStringProperty(server->destination(i), kMIDIPropertyName, &name) == noErr &&
            name == kName)
            toskar = server->destination(i);
    }
    if (!toskar) return state.SkipWithError("the sequencer does not list the instrument");
    const Bytes sysEx = kerneltest::sevenBitSysEx(kLength);
    platform::midi::PacketListBuilder list;
    list.addSplit(0, sysEx, UINT16_MAX);
    std::vector<double> times;
    for (auto _ : state) {
        Arrivals arrivals(gadget.device());
        OSStatus status = noErr;
        std::thread sender([&] { status = server->send(out, toskar, list.list(), list.size()); });
        const double seconds = arrivals.receive(sysEx, std::chrono::seconds(60));
        sender.join();
        record(state, times, status == noErr ? seconds : -1);
    }
    if (amidiMedian > 0) state.counters["x_amidi"] = median(times) / amidiMedian;
    server->disposeClient(client);
    server->stop();
    jobs.joinAll();
}

class Replies final : public sonabel::MIDIListener {
public:
    explicit Replies(malvo::ReceiveHandler& handler) : handler_(handler) {}
    void receivedMIDISystemCommand(const std::vector<sonabel::MIDIByte>& data, std::optional<MIDIUniqueID>,
                                   std::optional<MIDITimeStamp>) override {
        handler_.handle(data);
    }

private:
    malvo::ReceiveHandler& handler_;
};

class Silent final : public malvo::FirmwareUploadOutput {
public:
    void setControlsEnabled(bool) override {}
    void showLog(const std::string&) override {}
    void showProgress(double, const std::string&) override {}
    void showEnded(const std::string&) override {}
    void showAlert(const std::string&) override {}
};

// Argument 1: the kernel's room is not read, so the cable model paces, as every upload did before.
void FirmwareUploadThroughTheKernel(benchmark::State& state) {
    if (!haveSequencer(state)) return;
    platform::ScopedLogCapture quiet;
    auto instrument =
        emulation::RawMidiInstrument::make({.portName = kName,
                                            .framing = emulation::InstrumentEmulatorConfig::Framing::plain,
                                            .version = emulation::FirmwareVersion{1, 0, 6}});
    kerneltest::UsbGadget gadget(kName);
    if (gadget.device().empty() || !instrument->attach(gadget.device()))
        return state.SkipWithError("the USB instrument did not come up");
    platform::BackgroundJobs jobs;
    platform::midi::AlsaServerConfig config{.jobs = &jobs};
    if (state.range(0) == 1) config.readKernelFile = [](const std::string&) { return std::nullopt; };
    auto server = platform::midi::AlsaServer::open(config);
    auto midi = sonabel::MIDI::make({.server = server});
    malvo::ControllerState controllerState;
    malvo::ReceiveHandlerOutput shown;
    malvo::ReceiveHandler handler(controllerState, shown);
    auto replies = std::make_shared<Replies>(handler);
    midi->addListener(replies);
    midi->openInput(kName);
    MIDIUniqueID output = 0;
    for (const auto uid : midi->destinationUIDs())
        if (midi->destinationName(uid) == kName) output = uid;
    midi->openOutput(output);

    const auto file = fs::temp_directory_path() / "bench-firmware.bin";
    Bytes firmware(64 * 1024);
    for (std::size_t i = 0; i < firmware.size(); ++i)
        firmware[i] = std::uint8_t(i * 151 + i / 256);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(firmware.data()), std::streamsize(firmware.size()));
    const malvo::InstrumentSnapshot target{
        .portName = kName, .deviceModel = 2, .version1 = 1, .version2 = 0, .version3 = 6};
    malvo::TransferLink link{
        .send =
            [midi](std::span<const std::uint8_t> wire) {
                return midi->sendEventWithOutcome(
                    sonabel::MIDIEvent(std::vector<std::uint8_t>(wire.begin(), wire.end())));
            },
        .instrumentPresent =
            [midi, output] {
                const auto uids = midi->destinationUIDs();
                return std::find(uids.begin(), uids.end(), output) != uids.end();
            },
        .sleeper = &platform::Sleeper::system(),
        .cancelled = {}};
    Silent silent;
    bool exact = true;
    for (auto _ : state) {
        instrument->emulator().modifyState([](auto& s) { s.firmwareBlocks.clear(); });
        const auto start = Clock::now();
        const bool ran = malvo::FirmwareUpload(controllerState, link, silent).run(file, target);
        std::fprintf(stderr, "upload ran=%d after %.2f s, %zu blocks in\n", ran,
                     std::chrono::duration<double>(Clock::now() - start).count(),
                     instrument->emulator().state().firmwareBlocks.size());
        exact = ran && exact;
        // The last block is not acknowledged: it is in when the emulator holds the whole image.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (instrument->emulator().state().firmwareImage() != firmware && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        const auto image = instrument->emulator().state().firmwareImage();
        std::fprintf(stderr, "image %zu bytes, %s\n", image ? image->size() : 0,
                     image == firmware ? "exact" : "not exact");
        exact = exact && image == firmware;
    }
    fs::remove(file);
    if (!exact) state.SkipWithError("the firmware did not arrive exact");
    midi->clearListeners();
    instrument->detach();
    server->stop(); // the link's calls hold the MIDI object, and it the server
    jobs.joinAll();
}

} // namespace

BENCHMARK(AmidiSend)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OurSend)->Arg(256)->Arg(512)->Arg(1024)->Iterations(3)->UseManualTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(FirmwareUploadThroughTheKernel)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
