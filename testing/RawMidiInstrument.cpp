#include "testing/RawMidiInstrument.h"

#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/PacketListReader.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

namespace emulation {

namespace {

// A reply the host does not take within this long is dropped, as a cable would drop it.
constexpr int kWriteDeadlineMs = 5000;

} // namespace

std::unique_ptr<RawMidiInstrument> RawMidiInstrument::make(InstrumentEmulatorConfig config) {
    std::unique_ptr<RawMidiInstrument> instrument(new RawMidiInstrument());
    instrument->emulator_ = InstrumentEmulator::make(instrument->server_, std::move(config));
    if (!instrument->emulator_) return {};
    auto& server = instrument->server_;
    RawMidiInstrument* self = instrument.get();
    if (server.createClient("Raw MIDI device", {}, &self->client_) != noErr ||
        server.createOutputPort(self->client_, "To instrument", &self->out_) != noErr ||
        server.createInputPortWithBlock(
            self->client_, "From instrument",
            [self](const MIDIPacketList* list, ByteCount size, void*) {
                // One write for the whole list: the kernel's USB gadget path now and then loses
                // the second of two quick writes, which a cable to an instrument never does.
                platform::midi::PacketListReader reader(list, size);
                platform::midi::PacketListReader::Packet packet;
                std::vector<std::uint8_t> bytes;
                while (reader.next(packet))
                    bytes.insert(bytes.end(), packet.data.begin(), packet.data.end());
                self->write(bytes.data(), bytes.size());
            },
            &self->in_) != noErr)
        return {};
    return instrument;
}

RawMidiInstrument::~RawMidiInstrument() {
    detach();
    emulator_.reset();
}

bool RawMidiInstrument::attach(const std::string& device, std::string* errorText) {
    std::lock_guard lock(attachMutex_);
    if (fd_.load() >= 0) return true;
    const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errorText) *errorText = "cannot open " + device + ": " + std::strerror(errno);
        return false;
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    emulator_->replug();
    server_.connectSource(in_, emulator_->source(), nullptr);
    fd_ = fd;
    reader_ = std::thread([this, fd, wake = wake_] { read(fd, wake); });
    return true;
}

void RawMidiInstrument::detach() {
    std::lock_guard lock(attachMutex_);
    if (fd_.load() < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto woken = ::write(wake_, &one, sizeof one);
    reader_.join();
    ::close(wake_);
    wake_ = -1;
    {
        std::lock_guard writing(writeMutex_);
        ::close(fd_.exchange(-1));
    }
    // Replies still due go nowhere, and the next attach starts with a fresh parser.
    emulator_->unplug();
}

void RawMidiInstrument::read(int fd, int wake) {
    std::uint8_t buffer[4096];
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return; // unplugged
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) return;
        const MIDIEndpointRef destination = emulator_->destination();
        if (!destination) continue;
        platform::midi::PacketListBuilder list;
        list.addSplit(0, std::span<const std::uint8_t>(buffer, std::size_t(got)), 256);
        server_.send(out_, destination, list.list(), list.size());
    }
}

void RawMidiInstrument::write(const std::uint8_t* data, std::size_t size) {
    std::lock_guard lock(writeMutex_);
    const int fd = fd_.load();
    if (fd < 0) return;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteDeadlineMs);
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= std::size_t(put);
            continue;
        }
        if (put < 0 && errno != EAGAIN && errno != EINTR) return;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd out{fd, POLLOUT, 0};
        ::poll(&out, 1, int(left.count()));
    }
}

} // namespace emulation
