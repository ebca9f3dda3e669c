#pragma once
// The MIDI server over the ALSA sequencer: every USB or DIN interface and every MIDI program on
// the machine appears here. One sequencer handle for the process; the first client's name names
// it. Other clients' ports are listed as sources and destinations (AlsaEndpoints), our input and
// output ports are no-export ports of our own, virtual endpoints exported ones.
//
// Our input ports are no ports of the sequencer's: one port of ours receives, subscribed once to
// each source any of them is connected to, and the polling job hands each event to every port
// connected to its source. A note then takes one cell of our client's input pool, however many
// ports hear it.
//
// One polling job reads the sequencer, stamps events with host time and turns them into packets
// and events at once (no other thread need wake for an event); what one read brought goes to the
// delivery thread together, 64 events at a time, with one wake-up each. It never waits for a delivery, so the
// kernel's input pool never waits on a listener. Deliveries run on the delivery queue's thread, as with the
// in-process server. Sends are ordered and paced per destination (AlsaOutput) and run outside the table lock,
// so a long upload does not stall listing.
#include "platform/midi/DeliveryBatch.h"
#include "platform/midi/TableServer.h"
#include "platform/midi/alsa/AlsaEndpoints.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "platform/midi/alsa/AlsaSequencer.h"
#include "platform/midi/alsa/AlsaServerConfig.h"
#include "platform/midi/alsa/AlsaTranslation.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace platform::midi {

class AlsaServer final : public TableServer<AlsaEndpoints> {
public:
    // Null when the sequencer does not open; errorText then says why.
    static std::shared_ptr<AlsaServer> open(AlsaServerConfig config = {}, std::string* errorText = nullptr);
    AlsaServer(std::unique_ptr<AlsaSequencer> sequencer, AlsaServerConfig config = {});
    ~AlsaServer() override;
    void stop() override;
    AlsaServer(const AlsaServer&) = delete;
    AlsaServer& operator=(const AlsaServer&) = delete;

    // Server, beyond what TableServer does
    OSStatus send(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                  ByteCount listSize) override;
    OSStatus received(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize) override;
    OSStatus sendReporting(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                           ByteCount listSize, SendFailure* failure) override;
    OSStatus receivedReporting(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize,
                               SendFailure* failure) override;

    // Manual delivery: runs what is queued (up to maxCount).
    std::size_t runPending(std::size_t maxCount = SIZE_MAX);
    // True once the polling thread has handled what it read and no delivery is queued or running.
    bool waitUntilIdle(std::chrono::nanoseconds timeout = std::chrono::seconds(5));
    // Re-reads the sequencer's listing now (the polling thread does it on announcements).
    void refreshListing();

private:
    void clientCreated(std::string_view name) override;
    OSStatus openPort(ClientPortTable::Port& port) override;
    void closePort(const ClientPortTable::Port& port) override;
    OSStatus connecting(const ClientPortTable::Port& port, const Endpoint& source) override;
    void disconnecting(const ClientPortTable::Port& port, MIDIEndpointRef source) override;
    OSStatus addOwnEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                            std::shared_ptr<const MIDIReadBlock> readBlock, MIDIEndpointRef* outRef) override;
    Targets removeOwnEndpoint(Endpoint& endpoint) override;
    OSStatus setString(Endpoint& endpoint, std::string_view property, std::string_view value) override;

    // Applies listing changes: connections to vanished sources go, clients hear of it.
    Targets apply(const std::vector<AlsaEndpoints::Change>& changes);

    void poll();
    void queueBatch(bool mayWait = true);
    // Retires without waiting for a delivery in flight, as the polling job never waits for one.
    void drop(const Targets& targets);
    void handle(const snd_seq_event_t& event, MIDITimeStamp now);
    void handleAnnouncement(const snd_seq_event_t& event);
    // The kernel's news that a subscription ended; under mutex_.
    void unsubscribed(const snd_seq_connect_t& connection);
    void lostInput();
    // Drops the port's share of the source's subscription; the last one ends the subscription.
    void release(MIDIPortRef port, MIDIEndpointRef source);
    // A port's connection heard what the event brought.
    void deliver(const ClientPortTable::Port& port, const ClientPortTable::Connection& connection,
                 const snd_seq_event_t& event, std::uint32_t sender, std::string_view senderName,
                 MIDITimeStamp now);

    // The change's own notification; setup changed (1) is the caller's.
    void notify(const AlsaEndpoints::Change& change);

    AlsaServerConfig config_;
    HostClock& clock_;
    std::unique_ptr<AlsaSequencer> sequencer_;
    const int ownClient_;
    AlsaOutput output_;

    std::string clientName_;
    AlsaTranslation translation_; // received events, under mutex_
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint8_t> message_;
    std::vector<std::uint32_t> words_;

    // The subscriptions of our receiving port, under mutex_: by source, the ports connected to it
    // in the order they connected, and whether the kernel holds the subscription (false once it
    // announced its end).
    struct Subscription {
        std::vector<MIDIPortRef> ports;
        bool live = false;
    };
    std::map<MIDIEndpointRef, Subscription> subscriptions_;
    // After the kernel ended a subscription: made again, or the clients are told; under mutex_.
    void resubscribe(MIDIEndpointRef source, Subscription& subscription, std::string_view name);
    int inputPort_ = -1; // made at the first connection
    // Other clients' ports whose start we have heard of (or found listed when we looked, not
    // handling an announcement) and not yet their exit; under mutex_. Handling announcements, only
    // these are added: the listing is newer than the announcement, and a port listed at an address
    // whose old port's exit is still to come would be taken for that old port and removed with it.
    std::set<std::pair<int, int>> started_;
    // Ports found listed at their client's start whose own start is still to be read; under mutex_.
    // That start is the same port's news, not another port at the address: what we sent it stays.
    std::set<std::pair<int, int>> listedAhead_;
    // Under mutex_: the listing brought in whole, every port in it counted as started.
    std::vector<AlsaEndpoints::Change> syncAll();
    std::vector<AlsaEndpoints::Change> syncAll(const std::vector<AlsaPortInfo>& listing);

    DeliveryBatch batch_; // of the polling job: what it handled, not yet queued

    std::atomic<bool> stopping_{false};
    std::atomic<bool> polling_{false}; // reading and handling input
    std::mutex pollMutex_;
    std::condition_variable pollDone_; // handled, or stopped
    bool pollRunning_ = false;
};

} // namespace platform::midi
