#pragma once
// The MIDI server calls under the platform's names, over the process's current Server.
//
// Our own shapes where the platform's would be unsafe or foreign to C++: names and property
// names are string views, string properties come back in a std::string, and every call that
// reads a caller's packet list takes the list's byte size, so the walk never trusts its counts.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/Server.h"

#include <memory>
#include <string>
#include <string_view>

// The server the calls below use. Until one is installed, the first call installs an empty
// in-process server. Installing another does not dispose what the previous one holds.
void setMIDIServer(std::shared_ptr<platform::midi::Server> server);
std::shared_ptr<platform::midi::Server> currentMIDIServer();

OSStatus MIDIClientCreateWithBlock(std::string_view name, MIDIClientRef* outClient,
                                   MIDINotifyBlock notifyBlock);
OSStatus MIDIClientDispose(MIDIClientRef client);

OSStatus MIDIInputPortCreateWithProtocol(MIDIClientRef client, std::string_view portName,
                                         MIDIProtocolID protocol, MIDIPortRef* outPort,
                                         MIDIReceiveBlock receiveBlock);
OSStatus MIDIInputPortCreateWithBlock(MIDIClientRef client, std::string_view portName, MIDIPortRef* outPort,
                                      MIDIReadBlock readBlock);
OSStatus MIDIOutputPortCreate(MIDIClientRef client, std::string_view portName, MIDIPortRef* outPort);
OSStatus MIDIPortConnectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon);
OSStatus MIDIPortDisconnectSource(MIDIPortRef port, MIDIEndpointRef source);
OSStatus MIDIPortDispose(MIDIPortRef port);

ItemCount MIDIGetNumberOfSources();
MIDIEndpointRef MIDIGetSource(ItemCount sourceIndex);
ItemCount MIDIGetNumberOfDestinations();
MIDIEndpointRef MIDIGetDestination(ItemCount destIndex);

OSStatus MIDIObjectGetIntegerProperty(MIDIObjectRef object, std::string_view propertyID,
                                      std::int32_t* outValue);
OSStatus MIDIObjectSetIntegerProperty(MIDIObjectRef object, std::string_view propertyID, std::int32_t value);
OSStatus MIDIObjectGetStringProperty(MIDIObjectRef object, std::string_view propertyID,
                                     std::string* outValue);
OSStatus MIDIObjectSetStringProperty(MIDIObjectRef object, std::string_view propertyID,
                                     std::string_view value);

OSStatus MIDISend(MIDIPortRef port, MIDIEndpointRef dest, const MIDIPacketList* pktlist, ByteCount listSize);
OSStatus MIDIReceived(MIDIEndpointRef src, const MIDIPacketList* pktlist, ByteCount listSize);

OSStatus MIDIDestinationCreateWithBlock(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outDest,
                                        MIDIReadBlock readBlock);
OSStatus MIDISourceCreate(MIDIClientRef client, std::string_view name, MIDIEndpointRef* outSrc);
OSStatus MIDIEndpointDispose(MIDIEndpointRef endpt);

// Packet lists in a caller's buffer. Init empties the list and returns where its first packet
// goes. Add puts one packet right after curPacket (the packet the previous call returned) and
// returns it, or nullptr when it does not fit or curPacket is not the list's last packet. A
// packet of up to 256 bytes fits when it ends within listSize. A longer one must end exactly at
// listSize: long packets go into a buffer sized for them (14 + n bytes for one n-byte packet),
// so a 65536-byte list takes one 65522-byte packet while a 272-byte MIDIPacketList takes 256
// bytes and refuses 257. Packets after the first may be unaligned: see MIDITypes.h.
MIDIPacket* MIDIPacketListInit(MIDIPacketList* pktlist);
MIDIPacket* MIDIPacketListAdd(MIDIPacketList* pktlist, ByteCount listSize, MIDIPacket* curPacket,
                              MIDITimeStamp time, ByteCount nData, const std::uint8_t* data);

// Event lists in a caller's buffer. Add appends the words to curPacket when it is the last
// packet, has the same time stamp and room for them (64 words a packet); otherwise it starts a
// new packet. nullptr when the words do not fit in listSize.
MIDIEventPacket* MIDIEventListInit(MIDIEventList* evtlist, MIDIProtocolID protocol);
MIDIEventPacket* MIDIEventListAdd(MIDIEventList* evtlist, ByteCount listSize, MIDIEventPacket* curPacket,
                                  MIDITimeStamp time, ByteCount wordCount, const std::uint32_t* words);
