// The sequencer over alsa-lib.
#include "platform/midi/alsa/AlsaLibSequencer.h"

#include "platform/core/LogSink.h"
#include "platform/midi/alsa/AlsaErrorLog.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::midi {

namespace {

// The kernel's pool report, which alsa-lib requests for our own client only (the kernel's header
// clashes with alsa-lib's, so the layout is repeated here).
struct ClientPool {
    int client;
    int outputPool;
    int inputPool;
    int outputRoom;
    int outputFree;
    int inputFree;
    char reserved[64];
};
constexpr unsigned long kGetClientPool = _IOWR('S', 0x4b, ClientPool);

int deviceOf(snd_seq_t* handle) {
    pollfd fd{-1, 0, 0};
    return snd_seq_poll_descriptors(handle, &fd, 1, POLLIN) == 1 ? fd.fd : -1;
}

} // namespace

std::unique_ptr<AlsaLibSequencer> AlsaLibSequencer::open(std::string_view clientName,
                                                         std::string* errorText) {
    AlsaErrorLog::install();
    auto fail = [&](const std::string& text) {
        if (errorText) *errorText = text;
        return nullptr;
    };
    snd_seq_t* handle = nullptr;
    if (int err = snd_seq_open(&handle, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK); err < 0)
        return fail(std::string("the ALSA sequencer does not open: ") + snd_strerror(err));
    const int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        snd_seq_close(handle);
        return fail("no event descriptor for the MIDI polling thread");
    }
    std::unique_ptr<AlsaLibSequencer> sequencer(new AlsaLibSequencer(handle, wakeFd));
    if (!clientName.empty()) sequencer->setClientName(clientName);
    // Port and client starts, exits and changes come from the system announce port, to a port
    // of ours nobody else sees.
    const int listener = snd_seq_create_simple_port(handle, "announcements",
                                                    SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                                                    SND_SEQ_PORT_TYPE_APPLICATION);
    const int err = listener < 0 ? listener
                                 : snd_seq_connect_from(handle, listener, SND_SEQ_CLIENT_SYSTEM,
                                                        SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    if (err < 0) return fail(std::string("no announcements from the ALSA sequencer: ") + snd_strerror(err));
    sequencer->growInputPool();
    return sequencer;
}

void AlsaLibSequencer::growInputPool() {
    // The default pool holds about 5 KB of SysEx: a device's long reply overruns it while the
    // polling thread is busy. The kernel grants up to 2000 cells and silently ignores more.
    snd_seq_set_client_pool_input(handle_, kInputPoolCells);
    // One read can then empty the whole pool.
    snd_seq_set_input_buffer_size(handle_, kInputPoolCells * sizeof(snd_seq_event_t));
    snd_seq_client_pool_t* pool = nullptr;
    snd_seq_client_pool_alloca(&pool);
    if (snd_seq_get_client_pool(handle_, pool) == 0)
        LogSink::emit(
            {"io.sonabel.platform", "midi", LogLevel::debug,
             "MIDI input pool: " + std::to_string(snd_seq_client_pool_get_input_pool(pool)) + " events"});
}

AlsaLibSequencer::AlsaLibSequencer(snd_seq_t* handle, int wakeFd)
    : handle_(handle), fd_(deviceOf(handle)), wakeFd_(wakeFd), clientID_(snd_seq_client_id(handle)) {}

AlsaLibSequencer::~AlsaLibSequencer() {
    snd_seq_close(handle_);
    ::close(wakeFd_);
}

int AlsaLibSequencer::clientID() {
    return clientID_;
}

int AlsaLibSequencer::setClientName(std::string_view name) {
    std::lock_guard lock(mutex_);
    return snd_seq_set_client_name(handle_, std::string(name).c_str());
}

int AlsaLibSequencer::createPort(std::string_view name, unsigned capability, unsigned type) {
    std::lock_guard lock(mutex_);
    return snd_seq_create_simple_port(handle_, std::string(name).c_str(), capability, type);
}

int AlsaLibSequencer::deletePort(int port) {
    std::lock_guard lock(mutex_);
    return snd_seq_delete_simple_port(handle_, port);
}

int AlsaLibSequencer::connectFrom(int ourPort, int client, int port) {
    std::lock_guard lock(mutex_);
    return snd_seq_connect_from(handle_, ourPort, client, port);
}

int AlsaLibSequencer::disconnectFrom(int ourPort, int client, int port) {
    std::lock_guard lock(mutex_);
    return snd_seq_disconnect_from(handle_, ourPort, client, port);
}

int AlsaLibSequencer::connectTo(int ourPort, int client, int port) {
    std::lock_guard lock(mutex_);
    snd_seq_port_subscribe_t* subscription = nullptr;
    snd_seq_port_subscribe_alloca(&subscription);
    const snd_seq_addr_t sender{static_cast<unsigned char>(clientID_), static_cast<unsigned char>(ourPort)};
    const snd_seq_addr_t dest{static_cast<unsigned char>(client), static_cast<unsigned char>(port)};
    snd_seq_port_subscribe_set_sender(subscription, &sender);
    snd_seq_port_subscribe_set_dest(subscription, &dest);
    // Subscribing twice is refused as busy, like a port held exclusively elsewhere.
    if (snd_seq_get_port_subscription(handle_, subscription) == 0) return 0;
    return snd_seq_subscribe_port(handle_, subscription);
}

std::vector<AlsaPortInfo> AlsaLibSequencer::listPorts() {
    std::lock_guard lock(mutex_);
    std::vector<AlsaPortInfo> out;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_malloc(&client);
    snd_seq_port_info_malloc(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(handle_, client) >= 0) {
        const int number = snd_seq_client_info_get_client(client);
        snd_seq_port_info_set_client(port, number);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(handle_, port) >= 0) {
            out.push_back({number, snd_seq_port_info_get_port(port), snd_seq_client_info_get_name(client),
                           snd_seq_port_info_get_name(port), snd_seq_port_info_get_capability(port),
                           drivesDevice(client)});
        }
    }
    snd_seq_port_info_free(port);
    snd_seq_client_info_free(client);
    return out;
}

bool AlsaLibSequencer::drivesDevice(const snd_seq_client_info_t* client) {
    // A kernel client of a card; the kernel's own clients without one (Midi Through) pass events
    // on to other clients, as a program does.
    return snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT &&
           snd_seq_client_info_get_card(client) >= 0;
}

bool AlsaLibSequencer::isKernelClient(int number) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_client_info_malloc(&client);
    const bool kernel = snd_seq_get_any_client_info(handle_, number, client) >= 0 && drivesDevice(client);
    snd_seq_client_info_free(client);
    return kernel;
}

std::vector<AlsaSequencer::Subscriber> AlsaLibSequencer::subscribersOf(int ourPort) {
    std::lock_guard lock(mutex_);
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_malloc(&query);
    snd_seq_addr_t root{static_cast<unsigned char>(clientID_), static_cast<unsigned char>(ourPort)};
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    std::vector<Subscriber> out;
    while (snd_seq_query_port_subscribers(handle_, query) >= 0) {
        const snd_seq_addr_t* address = snd_seq_query_subscribe_get_addr(query);
        out.push_back({address->client, address->port, isKernelClient(address->client)});
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    snd_seq_query_subscribe_free(query);
    return out;
}

std::optional<AlsaSequencer::RawMidi> AlsaLibSequencer::rawMidiOf(int client, int port) {
    std::lock_guard lock(mutex_);
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);
    if (snd_seq_get_any_client_info(handle_, client, clientInfo) < 0 ||
        snd_seq_client_info_get_type(clientInfo) != SND_SEQ_KERNEL_CLIENT ||
        snd_seq_get_any_port_info(handle_, client, port, portInfo) < 0)
        return std::nullopt;
    const int card = snd_seq_client_info_get_card(clientInfo);
    // The kernel's MIDI driver client numbers a card's ports by raw MIDI device (32 subdevices
    // each) and marks them as hardware; virtual and software ports of a card are not backed so.
    if (card < 0 || !(snd_seq_port_info_get_type(portInfo) & SND_SEQ_PORT_TYPE_HARDWARE)) return std::nullopt;
    return RawMidi{card, port / 32, port % 32};
}

bool AlsaLibSequencer::hasRoomFor(const snd_seq_event_t& event) {
    // An event takes a cell, and its variable data as many more as it fills.
    const std::size_t cell = sizeof(snd_seq_event_t);
    const std::size_t cells =
        1 + (snd_seq_ev_is_variable(&event) ? (event.data.ext.len + cell - 1) / cell : 0);
    // A sixteenth of the receiver's pool stays free for the kernel's own announcements, which
    // nobody checks for room: one arriving at a pool our sends filled is an overrun there, and
    // the receiver drops every SysEx it had unfinished.
    auto room = [&](int client) {
        ClientPool pool{};
        pool.client = client;
        if (fd_ < 0 || ::ioctl(fd_, kGetClientPool, &pool) < 0 || pool.inputPool <= 0) return true;
        const auto size = static_cast<std::size_t>(pool.inputPool);
        const std::size_t reserve =
            cells + size / 16 <= size ? size / 16 : 0; // an event that would never fit
        return static_cast<std::size_t>(pool.inputFree) >= cells + reserve;
    };
    if (event.dest.client != SND_SEQ_ADDRESS_SUBSCRIBERS) return room(event.dest.client);
    std::lock_guard lock(mutex_);
    snd_seq_query_subscribe_t* query = nullptr;
    snd_seq_query_subscribe_alloca(&query);
    const snd_seq_addr_t root{static_cast<unsigned char>(clientID_), event.source.port};
    snd_seq_query_subscribe_set_root(query, &root);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(handle_, query) >= 0) {
        if (!room(snd_seq_query_subscribe_get_addr(query)->client)) return false;
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return true;
}

int AlsaLibSequencer::outputDirect(snd_seq_event_t& event) {
    std::lock_guard lock(mutex_);
    const int result = snd_seq_event_output_direct(handle_, &event);
    return result < 0 ? result : 0;
}

void AlsaLibSequencer::waitForInput(std::chrono::milliseconds timeout) {
    const int count = snd_seq_poll_descriptors_count(handle_, POLLIN);
    std::vector<pollfd> fds(static_cast<std::size_t>(count > 0 ? count : 0) + 1);
    const int filled = snd_seq_poll_descriptors(handle_, fds.data(), static_cast<unsigned>(count), POLLIN);
    fds.resize(static_cast<std::size_t>(filled > 0 ? filled : 0) + 1);
    fds.back() = {wakeFd_, POLLIN, 0};
    if (::poll(fds.data(), fds.size(), static_cast<int>(timeout.count())) > 0 && fds.back().revents) {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto ignored = ::read(wakeFd_, &value, sizeof value);
    }
}

void AlsaLibSequencer::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(wakeFd_, &one, sizeof one);
}

int AlsaLibSequencer::input(snd_seq_event_t** event) {
    return snd_seq_event_input(handle_, event);
}

int AlsaLibSequencer::inputPending() {
    return snd_seq_event_input_pending(handle_, 0);
}

} // namespace platform::midi
