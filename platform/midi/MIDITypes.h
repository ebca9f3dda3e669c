#pragma once
// The MIDI server's records and handles, laid out as callers and devices expect them.
#include "platform/core/OSStatus.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

using MIDIObjectRef = std::uint32_t;
using MIDIClientRef = MIDIObjectRef;
using MIDIPortRef = MIDIObjectRef;
using MIDIDeviceRef = MIDIObjectRef;
using MIDIEntityRef = MIDIObjectRef;
using MIDIEndpointRef = MIDIObjectRef;
using MIDIUniqueID = std::int32_t;
using MIDITimeStamp = std::uint64_t;
using ItemCount = std::size_t;
using ByteCount = std::size_t;

inline constexpr MIDIUniqueID kMIDIInvalidUniqueID = 0;

enum MIDIProtocolID : std::int32_t {
    kMIDIProtocol_1_0 = 1,
    kMIDIProtocol_2_0 = 2,
};

enum MIDIObjectType : std::int32_t {
    kMIDIObjectType_Other = -1,
    kMIDIObjectType_Device = 0,
    kMIDIObjectType_Entity = 1,
    kMIDIObjectType_Source = 2,
    kMIDIObjectType_Destination = 3,
    kMIDIObjectType_ExternalDevice = 0x10 | kMIDIObjectType_Device,
    kMIDIObjectType_ExternalEntity = 0x10 | kMIDIObjectType_Entity,
    kMIDIObjectType_ExternalSource = 0x10 | kMIDIObjectType_Source,
    kMIDIObjectType_ExternalDestination = 0x10 | kMIDIObjectType_Destination,
};

// Property names.
inline constexpr std::string_view kMIDIPropertyName = "name";
inline constexpr std::string_view kMIDIPropertyDisplayName = "displayName";
inline constexpr std::string_view kMIDIPropertyModel = "model";
inline constexpr std::string_view kMIDIPropertyManufacturer = "manufacturer";
inline constexpr std::string_view kMIDIPropertyImage = "image";
inline constexpr std::string_view kMIDIPropertyDriverOwner = "driver";
inline constexpr std::string_view kMIDIPropertyUniqueID = "uniqueID";
inline constexpr std::string_view kMIDIPropertyPrivate = "private";
inline constexpr std::string_view kMIDIPropertyOffline = "offline";

#pragma pack(push, 4)

// One MIDI 1.0 packet: up to 256 data bytes at offset 10. In a list, each packet starts right
// after the previous one's data, unaligned.
struct MIDIPacket {
    MIDITimeStamp timeStamp;
    std::uint16_t length;
    std::uint8_t data[256];
};

struct MIDIPacketList {
    std::uint32_t numPackets;
    MIDIPacket packet[1];
};

// One packet of universal MIDI packet words.
struct MIDIEventPacket {
    MIDITimeStamp timeStamp;
    std::uint32_t wordCount;
    std::uint32_t words[64];
};

struct MIDIEventList {
    MIDIProtocolID protocol;
    std::uint32_t numPackets;
    MIDIEventPacket packet[1];
};

#pragma pack(pop)

static_assert(sizeof(MIDIPacket) == 268);
static_assert(offsetof(MIDIPacket, data) == 10);
static_assert(sizeof(MIDIPacketList) == 272);
static_assert(offsetof(MIDIPacketList, packet) == 4);
static_assert(sizeof(MIDIEventPacket) == 268);
static_assert(sizeof(MIDIEventList) == 276);

// Notifications.
enum MIDINotificationMessageID : std::int32_t {
    kMIDIMsgSetupChanged = 1,
    kMIDIMsgObjectAdded = 2,
    kMIDIMsgObjectRemoved = 3,
    kMIDIMsgPropertyChanged = 4,
    kMIDIMsgThruConnectionsChanged = 5,
    kMIDIMsgSerialPortOwnerChanged = 6,
    kMIDIMsgIOError = 7,
};

struct MIDINotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
};

struct MIDIObjectAddRemoveNotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
    MIDIObjectRef parent;
    MIDIObjectType parentType;
    MIDIObjectRef child;
    MIDIObjectType childType;
};

struct MIDIObjectPropertyChangeNotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
    MIDIObjectRef object;
    MIDIObjectType objectType;
    const char* propertyName; // valid for the duration of the call
};

struct MIDIIOErrorNotification {
    MIDINotificationMessageID messageID;
    std::uint32_t messageSize;
    MIDIDeviceRef driverDevice;
    OSStatus errorCode;
};

// Header sizes of the variable-length lists. A packet list of one n-byte packet takes n + 14
// bytes; an event list of one packet of w words takes 20 + 4w bytes.
inline constexpr ByteCount kMIDIPacketListHeaderSize = offsetof(MIDIPacketList, packet);
inline constexpr ByteCount kMIDIPacketHeaderSize = offsetof(MIDIPacket, data);
inline constexpr ByteCount kMIDIPacketDataCapacity = sizeof(MIDIPacket::data);
inline constexpr ByteCount kMIDIEventListHeaderSize = offsetof(MIDIEventList, packet);
inline constexpr ByteCount kMIDIEventPacketHeaderSize = offsetof(MIDIEventPacket, words);
inline constexpr ByteCount kMIDIEventPacketWordCapacity = sizeof(MIDIEventPacket::words) / 4;
static_assert(kMIDIPacketListHeaderSize == 4 && kMIDIPacketHeaderSize == 10);
static_assert(kMIDIEventListHeaderSize == 8 && kMIDIEventPacketHeaderSize == 12);

// Callbacks: run on the server's delivery thread, never with a server lock held. Each list comes
// with its size in bytes: a reader walks the list within that size and never trusts the counts
// inside it alone. Packets in a packet list start right after the previous packet's data, so
// they may be unaligned: read their headers with memcpy (or PacketListReader).
using MIDINotifyBlock = std::function<void(const MIDINotification* message)>;
using MIDIReadBlock =
    std::function<void(const MIDIPacketList* packetList, ByteCount listSize, void* srcConnRefCon)>;
using MIDIReceiveBlock =
    std::function<void(const MIDIEventList* eventList, ByteCount listSize, void* srcConnRefCon)>;
