// Platform-named MIDI calls forwarded to the current server, and the list-building helpers.
#include "platform/midi/MIDIServices.h"

#include "platform/midi/EventListReader.h"
#include "platform/midi/PacketListReader.h"
#include "platform/midi/inprocess/InProcessServer.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

using platform::midi::EventListReader;
using platform::midi::PacketListReader;
using platform::midi::Server;

namespace {

std::mutex& serverMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<Server>& serverSlot() {
    // Made before the slot so they outlive it: the server's delivery job runs on the shared
    // jobs, and the slot's server must stop it before those are joined at exit.
    static platform::BackgroundJobs& jobs = platform::BackgroundJobs::shared();
    static platform::HostClock& clock = platform::HostClock::system();
    (void)jobs;
    (void)clock;
    static std::shared_ptr<Server> server;
    return server;
}

// Holds the server for the length of one call, so swapping servers meanwhile is safe.
std::shared_ptr<Server> server() {
    return currentMIDIServer();
}

} // namespace

void setMIDIServer(std::shared_ptr<Server> server) {
    std::shared_ptr<Server> previous;
    {
        std::lock_guard lock(serverMutex());
        previous = std::exchange(serverSlot(), std::move(server));
    }
    // previous goes away here, outside the lock: its destructor waits for its delivery thread.
}

std::shared_ptr<Server> currentMIDIServer() {
    std::lock_guard lock(serverMutex());
    auto& slot = serverSlot();
    if (!slot) slot = std::make_shared<platform::midi::InProcessServer>();
    return slot;
}

OSStatus MIDIClientCreateWithBlock(std::string_view name, MIDIClientRef* outClient,
                                   MIDINotifyBlock notifyBlock) {
    return server()->createClient(name, std::move(notifyBlock), outClient);
}

OSStatus MIDIClientDispose(MIDIClientRef client) {
    return server()->disposeClient(client);
}

OSStatus MIDIInputPortCreateWithProtocol(MIDIClientRef client, std::string_view portName,
                                         MIDIProtocolID protocol, MIDIPortRef* outPort,
                                         MIDIReceiveBlock receiveBlock) {
    return server()->createInputPortWithProtocol(client, portName, protocol, std::move(receiveBlock),
                                                 outPort);
}

OSStatus MIDIInputPortCreateWithBlock(MIDIClientRef client, std::string_view portName, MIDIPortRef* outPort,
                                      MIDIReadBlock readBlock) {
    return server()->createInputPortWithBlock(client, portName, std::move(readBlock), outPort);
}

OSStatus MIDIOutputPortCreate(MIDIClientRef client, std::string_view portName, MIDIPortRef* outPort) {
    return server()->createOutputPort(client, portName, outPort);
}

OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) {
    return server()->connectSource(port, source, connRefCon);
}

OSStatus MIDIPortDisconnectSource(MIDIPortRef port, MIDIEndpointRef source) {
    return server()->disconnectSource(port, source);
}

OSStatus MIDIPortDispose(MIDIPortRef port) {
    return server()->disposePort(port);
}

ItemCount MIDIGetNumberOfSources() {
    return server()->numberOfSources();
}
MIDIEndpointRef MIDIGetSource(ItemCount sourceIndex) {
    return server()->source(sourceIndex);
}
ItemCount MIDIGetNumberOfDestinations() {
    return server()->numberOfDestinations();
}
MIDIEndpointRef MIDIGetDestination(ItemCount destIndex) {
    return server()->destination(destIndex);
}

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, std::string_view propertyID,
                                      std::int32_t* outValue) {
    return server()->getIntegerProperty(object, propertyID, outValue);
}

OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef object, std::string_view propertyID, std::int32_t value) {
    return server()->setIntegerProperty(object, propertyID, value);
}

OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, std::string_view propertyID,
                                     std::string* outValue) {
    return server()->getStringProperty(object, propertyID, outValue);
}

OSStatus MIDIObjectSetStringProperty(MIDIObjectRef object, std::string_view propertyID,
                                     std::string_view value) {
    return server()->setStringProperty(object, propertyID, value);
}

OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist, ByteCount listSize) {
    return server()->send(port, dest, pktlist, listSize);
}

OSStatus MIDIReceived(MIDIEndpointRef src, const MIDIPacketList* pktlist, ByteCount listSize) {
    return server()->received(src, pktlist, listSize);
}

OSStatus MIDIDestinationCreateWithBlock(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outDest,
                                        MIDIReadBlock readBlock) {
    return server()->createDestination(client, name, std::move(readBlock), outDest);
}

OSStatus MIDISourceCreate(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSrc) {
    return server()->createSource(client, name, outSrc);
}

OSStatus MIDIEndpointDispose(MIDIEndpointRef endpt) {
    return server()->disposeEndpoint(endpt);
}

// Packet and event lists ------------------------------------------------------------------------

namespace {

// Offset of p inside [base, base + size), compared as addresses so a foreign pointer is no UB.
bool offsetWithin(const void* base, ByteCount size, const void* p, ByteCount& offset) {
    const auto b = reinterpret_cast<std::uintptr_t>(base);
    const auto q = reinterpret_cast<std::uintptr_t>(p);
    if (q < b || q - b >= size) return false;
    offset = q - b;
    return true;
}

} // namespace

MIDIPacket* MIDIPacketListInit(MIDIPacketList* pktlist) {
    if (!pktlist) return nullptr;
    const std::uint32_t zero = 0;
    std::memcpy(pktlist, &zero, sizeof zero);
    return reinterpret_cast<MIDIPacket*>(reinterpret_cast<std::uint8_t*>(pktlist) +
                                         kMIDIPacketListHeaderSize);
}

MIDIPacket* MIDIPacketListAdd(MIDIPacketList* pktlist, ByteCount listSize, MIDIPacket* curPacket,
                              MIDITimeStamp time, ByteCount nData, const std::uint8_t* data) {
    if (!pktlist || !curPacket || (nData > 0 && !data) || nData > UINT16_MAX) return nullptr;
    ByteCount current = 0;
    if (!offsetWithin(pktlist, listSize, curPacket, current)) return nullptr;

    // Where the list ends now: after its last packet, which must be curPacket.
    PacketListReader reader(pktlist, listSize);
    PacketListReader::Packet packet;
    ByteCount offset = kMIDIPacketListHeaderSize;
    ByteCount last = 0;
    while (reader.next(packet)) {
        last = packet.offset;
        offset = packet.offset + kMIDIPacketHeaderSize + packet.data.size();
    }
    if (reader.malformed()) return nullptr;
    if (reader.declaredCount() == 0 ? current != kMIDIPacketListHeaderSize : current != last) return nullptr;

    if (listSize - offset < kMIDIPacketHeaderSize || listSize - offset - kMIDIPacketHeaderSize < nData)
        return nullptr;
    const ByteCount end = offset + kMIDIPacketHeaderSize + nData;
    if (nData > kMIDIPacketDataCapacity && end != listSize) return nullptr;

    auto* bytes = reinterpret_cast<std::uint8_t*>(pktlist);
    const auto length = static_cast<std::uint16_t>(nData);
    std::memcpy(bytes + offset, &time, sizeof time);
    std::memcpy(bytes + offset + sizeof time, &length, sizeof length);
    if (nData > 0) std::memmove(bytes + offset + kMIDIPacketHeaderSize, data, nData);
    const std::uint32_t count = reader.declaredCount() + 1;
    std::memcpy(bytes, &count, sizeof count);
    return reinterpret_cast<MIDIPacket*>(bytes + offset);
}

MIDIEventPacket* MIDIEventListInit(MIDIEventList* evtlist, MIDIProtocolID protocol) {
    if (!evtlist) return nullptr;
    const std::uint32_t zero = 0;
    std::memcpy(evtlist, &protocol, sizeof protocol);
    std::memcpy(reinterpret_cast<std::uint8_t*>(evtlist) + sizeof protocol, &zero, sizeof zero);
    return reinterpret_cast<MIDIEventPacket*>(reinterpret_cast<std::uint8_t*>(evtlist) +
                                              kMIDIEventListHeaderSize);
}

MIDIEventPacket* MIDIEventListAdd(MIDIEventList* evtlist, ByteCount listSize, MIDIEventPacket* curPacket,
                                  MIDITimeStamp time, ByteCount wordCount, const std::uint32_t* words) {
    if (!evtlist || !curPacket || (wordCount > 0 && !words) || wordCount > kMIDIEventPacketWordCapacity)
        return nullptr;
    ByteCount current = 0;
    if (!offsetWithin(evtlist, listSize, curPacket, current)) return nullptr;

    EventListReader reader(evtlist, listSize);
    EventListReader::Packet packet;
    ByteCount offset = kMIDIEventListHeaderSize;
    ByteCount last = 0;
    MIDITimeStamp lastTime = 0;
    std::size_t lastWords = 0;
    while (reader.next(packet)) {
        last = offset;
        lastTime = packet.timeStamp;
        lastWords = packet.words.size();
        offset += kMIDIEventPacketHeaderSize + packet.words.size() * 4;
    }
    if (reader.malformed()) return nullptr;
    if (reader.declaredCount() == 0 ? current != kMIDIEventListHeaderSize : current != last) return nullptr;

    auto* bytes = reinterpret_cast<std::uint8_t*>(evtlist);
    const ByteCount wordBytes = wordCount * 4;
    if (listSize - offset < wordBytes) return nullptr;
    if (reader.declaredCount() > 0 && lastTime == time &&
        lastWords + wordCount <= kMIDIEventPacketWordCapacity) {
        if (wordBytes > 0) std::memmove(bytes + offset, words, wordBytes);
        const auto count = static_cast<std::uint32_t>(lastWords + wordCount);
        std::memcpy(bytes + last + sizeof time, &count, sizeof count);
        return reinterpret_cast<MIDIEventPacket*>(bytes + last);
    }
    if (listSize - offset < kMIDIEventPacketHeaderSize + wordBytes) return nullptr;
    const auto count = static_cast<std::uint32_t>(wordCount);
    std::memcpy(bytes + offset, &time, sizeof time);
    std::memcpy(bytes + offset + sizeof time, &count, sizeof count);
    if (wordBytes > 0) std::memmove(bytes + offset + kMIDIEventPacketHeaderSize, words, wordBytes);
    const std::uint32_t packets = reader.declaredCount() + 1;
    std::memcpy(bytes + sizeof(MIDIProtocolID), &packets, sizeof packets);
    return reinterpret_cast<MIDIEventPacket*>(bytes + offset);
}
