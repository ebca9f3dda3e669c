#pragma once
// A MIDI server inside the process: clients, ports, virtual endpoints and "hardware" endpoints
// that test code and the instrument emulator plug in, unplug, rename, send from and listen to.
// Always available and deterministic; used by the tests and the demo run.
//
// Deliveries (read blocks, notify blocks, external destination handlers) run on one delivery
// thread in the order they were caused, or, in manual mode, inside runPending().
#include "platform/midi/DeliveryQueue.h"
#include "platform/midi/ServerOperation.h"
#include "platform/midi/TableServer.h"
#include "platform/midi/inprocess/ExternalEndpoint.h"
#include "platform/midi/inprocess/ExternalPacket.h"
#include "platform/midi/inprocess/InProcessEndpoints.h"
#include "platform/midi/inprocess/InProcessServerConfig.h"
#include "platform/midi/inprocess/InProcessTranslation.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace platform::midi {

class InProcessServer final : public TableServer<InProcessEndpoints> {
public:
    // Runs on the delivery thread, once per packet sent to the destination, in order.
    using ExternalReceiveHandler = InProcessEndpoints::ExternalReceiveHandler;

    explicit InProcessServer(InProcessServerConfig config = {});
    ~InProcessServer() override;
    InProcessServer(const InProcessServer&) = delete;
    InProcessServer& operator=(const InProcessServer&) = delete;

    // Server, beyond what TableServer does
    OSStatus send(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                  ByteCount listSize) override;
    OSStatus received(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize) override;

    // Hardware side. Plugging notifies every client with "added" (2) then "setup changed" (1),
    // unplugging with "removed" (3) then 1, a property change with "property changed" (4, with
    // the property's name) then 1. Private endpoints are neither listed nor announced.
    OSStatus addExternalSource(const ExternalEndpoint& description, MIDIEndpointRef* outSource);
    // Without a handler, what is sent to the destination is kept for takeReceived().
    OSStatus addExternalDestination(const ExternalEndpoint& description, MIDIEndpointRef* outDestination,
                                    ExternalReceiveHandler handler = {});
    OSStatus setExternalReceiveHandler(MIDIEndpointRef destination, ExternalReceiveHandler handler);
    std::vector<ExternalPacket> takeReceived(MIDIEndpointRef destination);
    OSStatus removeExternalEndpoint(MIDIEndpointRef endpoint);
    OSStatus renameExternalEndpoint(MIDIEndpointRef endpoint, std::string_view name);
    OSStatus setExternalStringProperty(MIDIEndpointRef endpoint, std::string_view property,
                                       std::string_view value);
    OSStatus setExternalIntegerProperty(MIDIEndpointRef endpoint, std::string_view property,
                                        std::int32_t value);
    // Data from an external source to the ports connected to it; time 0 means now. Any length:
    // the bytes go out as one packet, or as several of up to 65535 bytes.
    OSStatus sendFromSource(MIDIEndpointRef source, std::span<const std::uint8_t> bytes,
                            MIDITimeStamp time = 0);
    OSStatus sendFromSource(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize);
    // Notifications with nothing behind them on this server (5, 6) and I/O errors (7).
    void postNotification(MIDINotificationMessageID messageID);
    void postIOError(MIDIDeviceRef device, OSStatus errorCode);

    // The next `times` calls of the operation fail with the status and change nothing.
    void failNext(ServerOperation operation, OSStatus status, int times = 1);
    void clearFailures();

    // Manual mode: runs the deliveries queued so far and those they cause (up to maxCount).
    std::size_t runPending(std::size_t maxCount = SIZE_MAX);
    // Both modes: true once nothing is queued or being delivered.
    bool waitUntilIdle(std::chrono::nanoseconds timeout = std::chrono::seconds(5));
    std::size_t pendingDeliveries() const;

    // Inspection for tests.
    std::vector<MIDIPortRef> portsOf(MIDIClientRef client) const;
    std::vector<MIDIEndpointRef> connectedSources(MIDIPortRef port) const;
    std::vector<MIDIEndpointRef> endpointsOf(MIDIClientRef client) const;
    std::size_t clientCount() const;

private:
    OSStatus injected(ServerOperation operation) override;
    OSStatus addOwnEndpoint(MIDIClientRef client, std::string_view name, bool isSource,
                            std::shared_ptr<const MIDIReadBlock> readBlock, MIDIEndpointRef* outRef) override;
    Targets removeOwnEndpoint(Endpoint& endpoint) override { return removeEndpoint(endpoint); }
    void closePort(const ClientPortTable::Port& port) override { translation_.forget(port.ref); }
    OSStatus setString(Endpoint& endpoint, std::string_view property, std::string_view value) override;

    OSStatus addEndpoint(Endpoint endpoint, MIDIEndpointRef* outRef);
    // Takes the endpoint out of every table; returns what must be retired.
    Targets removeEndpoint(Endpoint& endpoint);
    // Reads the list into packets with time stamps 0 set to now; false when it is malformed.
    bool readList(const MIDIPacketList* list, ByteCount listSize, std::vector<PacketListReader::Packet>& out);
    void deliverFromSource(MIDIEndpointRef source, std::span<const PacketListReader::Packet> packets);
    void deliverToDestination(Endpoint& destination, const ClientPortTable::Port& port,
                              std::span<const PacketListReader::Packet> packets);

    // Added or removed (2 or 3) then setup changed (1); nothing for a private endpoint.
    void notifyAddedOrRemoved(MIDINotificationMessageID messageID, const Endpoint& endpoint);
    // Property changed (4) then setup changed (1).
    void notifyPropertyChanged(MIDIObjectRef object, MIDIObjectType type, std::string_view property);

    InProcessServerConfig config_;
    HostClock& clock_;
    InProcessTranslation translation_;
    std::array<std::deque<OSStatus>, kServerOperationCount> failures_;
    std::vector<PacketListReader::Packet> packets_; // scratch of the sends, under the lock
};

} // namespace platform::midi
