#pragma once
// The MIDI server over the ALSA sequencer: every USB or DIN interface and every MIDI program on
// the machine appears here. One sequencer handle for the process; the first client's name names
// it. Other clients' ports are listed as sources and destinations (AlsaEndpoints), our input and
// output ports are no-export ports of our own, virtual endpoints exported ones.
//
// One polling job reads the sequencer and stamps events with host time; deliveries run on the
// delivery queue's thread, as with the in-process server. Sends are serialised and paced
// (AlsaOutput) and run outside the table lock, so a long upload does not stall listing.
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/Server.h"
#include "platform/midi/alsa/AlsaEndpoints.h"
#include "platform/midi/alsa/AlsaOutput.h"
#include "platform/midi/alsa/AlsaPorts.h"
#include "platform/midi/alsa/AlsaSequencer.h"
#include "platform/midi/alsa/AlsaServerConfig.h"
#include "platform/midi/alsa/AlsaTranslation.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::midi {

class AlsaServer final : public Server {
public:
    // Null when the sequencer does not open; errorText then says why.
    static std::shared_ptr<AlsaServer> open(AlsaServerConfig config = {}, std::string* errorText = nullptr);
    AlsaServer(std::unique_ptr<AlsaSequencer> sequencer, AlsaServerConfig config = {});
    ~AlsaServer() override;
    AlsaServer(const AlsaServer&) = delete;
    AlsaServer& operator=(const AlsaServer&) = delete;

    // Server
    OSStatus createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                          MIDIClientRef* outClient) override;
    OSStatus disposeClient(MIDIClientRef client) override;
    OSStatus createInputPortWithProtocol(MIDIClientRef client, std::string_view name, MIDIProtocolID protocol,
                                         MIDIReceiveBlock receiveBlock, MIDIPortRef* outPort) override;
    OSStatus createInputPortWithBlock(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                                      MIDIPortRef* outPort) override;
    OSStatus createOutputPort(MIDIClientRef client, std::string_view name, MIDIPortRef* outPort) override;
    OSStatus connectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) override;
    OSStatus disconnectSource(MIDIPortRef port, MIDIEndpointRef source) override;
    OSStatus disposePort(MIDIPortRef port) override;
    ItemCount numberOfSources() override;
    MIDIEndpointRef source(ItemCount index) override;
    ItemCount numberOfDestinations() override;
    MIDIEndpointRef destination(ItemCount index) override;
    OSStatus getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                std::int32_t* outValue) override;
    OSStatus setIntegerProperty(MIDIObjectRef object, std::string_view property, std::int32_t value) override;
    OSStatus getStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string* outValue) override;
    OSStatus setStringProperty(MIDIObjectRef object, std::string_view property,
                               std::string_view value) override;
    OSStatus send(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                  ByteCount listSize) override;
    OSStatus received(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize) override;
    OSStatus createDestination(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                               MIDIEndpointRef* outDestination) override;
    OSStatus createSource(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSource) override;
    OSStatus disposeEndpoint(MIDIEndpointRef endpoint) override;

    // Manual delivery: runs what is queued (up to maxCount).
    std::size_t runPending(std::size_t maxCount = SIZE_MAX);
    // True once the polling thread has handled what it read and no delivery is queued or running.
    bool waitUntilIdle(std::chrono::nanoseconds timeout = std::chrono::seconds(5));
    // Re-reads the sequencer's listing now (the polling thread does it on announcements).
    void refreshListing();

private:
    using Targets = std::vector<DeliveryQueue::TargetPtr>;

    MIDIObjectRef makeHandle();
    OSStatus addPort(MIDIClientRef client, std::string_view name, AlsaPorts::Kind kind,
                     std::shared_ptr<const MIDIReadBlock> readBlock,
                     std::shared_ptr<const MIDIReceiveBlock> receiveBlock, MIDIPortRef* outPort);
    OSStatus addEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                         std::shared_ptr<const MIDIReadBlock> readBlock, MIDIEndpointRef* outRef);
    Targets removeOwnEndpoint(AlsaEndpoints::Endpoint& endpoint);
    // Applies listing changes: connections to vanished sources go, clients hear of it.
    Targets apply(const std::vector<AlsaEndpoints::Change>& changes);
    void retire(const Targets& targets);

    void poll();
    void handle(const snd_seq_event_t& event, MIDITimeStamp now);
    void handleAnnouncement(const snd_seq_event_t& event);
    void lostInput();

    void notify(const AlsaEndpoints::Change& change);
    void notifySetupChanged();
    void notifyAll(std::function<void(const MIDINotifyBlock&)> call);

    AlsaServerConfig config_;
    HostClock& clock_;
    std::unique_ptr<AlsaSequencer> sequencer_;
    const int ownClient_;
    AlsaOutput output_;

    mutable std::mutex mutex_;
    MIDIObjectRef nextHandle_;
    bool handlesExhausted_ = false;
    std::string clientName_;
    AlsaEndpoints endpoints_;
    AlsaPorts ports_;
    AlsaTranslation translation_; // received events, under mutex_
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint32_t> words_;
    std::unique_ptr<DeliveryQueue> queue_;

    std::atomic<bool> stopping_{false};
    std::atomic<bool> polling_{false}; // reading or handling input
    std::mutex pollMutex_;
    std::condition_variable pollDone_;
    bool pollRunning_ = false;
};

} // namespace platform::midi
