#pragma once
// The MIDI server behind the platform-named functions of MIDIServices.h: one virtual per
// operation. Backends: InProcessServer (tests, demo, no hardware) and, later, the ALSA sequencer.
//
// Contract every backend keeps:
// - handles are non-zero and never reused, also after the object went away; a stale handle
//   fails with a nonzero status;
// - endpoint unique IDs are non-zero and unique; setting one that another endpoint holds fails
//   with kMIDIIDNotUnique;
// - read blocks and notify blocks run on one delivery thread, in order, with no server lock held;
// - once disconnectSource, disposePort, disposeEndpoint or disposeClient has returned, no
//   delivery reaches the blocks involved; a delivery in flight is waited for, except when the
//   call comes from the delivery thread itself;
// - lists handed in are walked within their byte size; a malformed list fails as a whole;
// - sending to a source fails; private endpoints are not listed.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/SendFailure.h"

#include <string>
#include <string_view>

namespace platform::midi {

class Server {
public:
    virtual ~Server() = default;

    virtual OSStatus createClient(std::string_view name, MIDINotifyBlock notifyBlock,
                                  MIDIClientRef* outClient) = 0;
    // Disposes the client's ports and the virtual endpoints made on it too.
    virtual OSStatus disposeClient(MIDIClientRef client) = 0;

    virtual OSStatus createInputPortWithProtocol(MIDIClientRef client, std::string_view name,
                                                 MIDIProtocolID protocol, MIDIReceiveBlock receiveBlock,
                                                 MIDIPortRef* outPort) = 0;
    virtual OSStatus createInputPortWithBlock(MIDIClientRef client, std::string_view name,
                                              MIDIReadBlock readBlock, MIDIPortRef* outPort) = 0;
    virtual OSStatus createOutputPort(MIDIClientRef client, std::string_view name, MIDIPortRef* outPort) = 0;
    virtual OSStatus connectSource(MIDIPortRef port, MIDIEndpointRef source, void* connRefCon) = 0;
    virtual OSStatus disconnectSource(MIDIPortRef port, MIDIEndpointRef source) = 0;
    virtual OSStatus disposePort(MIDIPortRef port) = 0;

    // Listed endpoints only (not private ones), in the server's order. An index past the end
    // gives 0.
    virtual ItemCount numberOfSources() = 0;
    virtual MIDIEndpointRef source(ItemCount index) = 0;
    virtual ItemCount numberOfDestinations() = 0;
    virtual MIDIEndpointRef destination(ItemCount index) = 0;

    // A property the object does not have fails with kMIDIUnknownProperty; the out-value is then
    // 0 or the empty string.
    virtual OSStatus getIntegerProperty(MIDIObjectRef object, std::string_view property,
                                        std::int32_t* outValue) = 0;
    virtual OSStatus setIntegerProperty(MIDIObjectRef object, std::string_view property,
                                        std::int32_t value) = 0;
    virtual OSStatus getStringProperty(MIDIObjectRef object, std::string_view property,
                                       std::string* outValue) = 0;
    virtual OSStatus setStringProperty(MIDIObjectRef object, std::string_view property,
                                       std::string_view value) = 0;

    // Sends through an output port to a destination.
    virtual OSStatus send(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                          ByteCount listSize) = 0;
    // Hands data to the ports connected to one of the caller's virtual sources.
    virtual OSStatus received(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize) = 0;
    // The same, and when they fail, `failure` (if given) says what was met, where the backend
    // knows more than its status; a backend that does not leaves it as it was.
    virtual OSStatus sendReporting(MIDIPortRef port, MIDIEndpointRef destination, const MIDIPacketList* list,
                                   ByteCount listSize, SendFailure* /*failure*/) {
        return send(port, destination, list, listSize);
    }
    virtual OSStatus receivedReporting(MIDIEndpointRef source, const MIDIPacketList* list, ByteCount listSize,
                                       SendFailure* /*failure*/) {
        return received(source, list, listSize);
    }

    virtual OSStatus createDestination(MIDIClientRef client, std::string_view name, MIDIReadBlock readBlock,
                                       MIDIEndpointRef* outDestination) = 0;
    virtual OSStatus createSource(MIDIClientRef client, std::string_view name,
                                  MIDIEndpointRef* outSource) = 0;
    virtual OSStatus disposeEndpoint(MIDIEndpointRef endpoint) = 0;

    // Ends the server's work for good, as the process ends: what is queued for delivery or
    // waiting to be paced out is dropped, nothing more is delivered, and the server's threads end,
    // so the jobs they run on can be joined. Waits for a delivery in flight unless called from it.
    virtual void stop() = 0;
};

} // namespace platform::midi
