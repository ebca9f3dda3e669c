#pragma once
// The framework's MIDI input and output through the MIDI server: one client, one input port per
// opened source, one output port shared by the opened destinations, own virtual endpoints, and
// the listeners and transformers that received messages go through.
//
// Threads: read blocks and notifications run on the server's delivery thread and call the
// listeners there. The tables are guarded by a mutex that is never held across a server call, so a
// listener may call back into the object. Listeners are called from a snapshot taken for each
// received event (and each notification): one added or removed meanwhile takes effect from the
// next event, also within one packet. Transformers are taken once per packet.
// Blocks given to the server hold the object weakly; its destructor disposes its client, after
// which no delivery reaches it.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/Server.h"
#include "sonabel/midi/EndpointInfo.h"
#include "sonabel/midi/MIDIByte.h"
#include "sonabel/midi/MIDIConfig.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/MIDIEventPacketView.h"
#include "sonabel/midi/MIDIListener.h"
#include "sonabel/midi/MIDISendOutcome.h"
#include "sonabel/midi/MIDITransformer.h"
#include "sonabel/midi/SysExAssembler.h"
#include "sonabel/midi/UMPMessageProcessor.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sonabel {

class MIDI : public std::enable_shared_from_this<MIDI> {
public:
    using Listener = std::shared_ptr<MIDIListener>;
    using Transformer = std::shared_ptr<MIDITransformer>;
    using UIDs = std::optional<std::vector<MIDIUniqueID>>;
    using Ports = std::optional<std::vector<MIDIPortRef>>;

    // Packet-list record sizes: a list of one n-byte packet takes n + 14 bytes.
    static constexpr std::size_t sizeOfMIDIPacketList = sizeof(MIDIPacketList);
    static constexpr std::size_t sizeOfMIDIPacket = sizeof(MIDIPacket);
    static constexpr std::size_t sizeOfMIDIPacketListHeader = sizeOfMIDIPacketList - sizeOfMIDIPacket;
    static constexpr std::size_t sizeOfMIDIPacketHeader = offsetof(MIDIPacket, data);
    static constexpr std::size_t sizeOfMIDICombinedHeaders =
        sizeOfMIDIPacketListHeader + sizeOfMIDIPacketHeader;
    // The largest list sendMessage builds.
    static constexpr std::size_t maximumPacketListSize = 65536;

    // Logs "Initializing MIDI" and creates the client. Never fails: a refused client is logged and
    // the object is returned without one.
    static std::shared_ptr<MIDI> make(MIDIConfig config = {});
    ~MIDI();
    MIDI(const MIDI&) = delete;
    MIDI& operator=(const MIDI&) = delete;

    // Fields ------------------------------------------------------------------------------------
    MIDIClientRef client() const { return client_; }
    static constexpr std::string_view clientName() { return "Sonabel"; }
    static constexpr std::string_view inputPortName() { return "MIDI In Port"; }
    std::string outputPortName() const;
    void setOutputPortName(std::string name);
    // Opened source's unique ID -> its input port.
    std::map<MIDIUniqueID, MIDIPortRef> inputPorts() const;
    // Every opened endpoint, sources and destinations, by unique ID.
    std::map<MIDIUniqueID, MIDIEndpointRef> endpoints() const;
    MIDIPortRef outputPort() const;
    // Own virtual destinations and sources, each list followed by one 0 entry ([0]: none).
    std::vector<MIDIEndpointRef> virtualInputs() const;
    std::vector<MIDIEndpointRef> virtualOutputs() const;
    std::vector<Listener> listeners() const;
    std::vector<Transformer> transformers() const;
    platform::midi::Server& server() const { return *server_; }
    bool usesUniversalPackets() const { return universalPacketInput_; }

    // Registries. Entries are equal when they are the same object; one added twice is called twice.
    void addListener(Listener listener);
    void removeListener(const Listener& listener);
    void clearListeners();
    void addTransformer(Transformer transformer);
    void removeTransformer(const Transformer& transformer);
    void clearTransformers();

    // Inputs (MIDI+Input.cpp) --------------------------------------------------------------------
    // The listed sources: not an own virtual source, unique ID not 0, name not empty; both lists
    // are columns of that one list, in the server's order.
    std::vector<MIDIUniqueID> inputUIDs() const;
    std::vector<std::string> inputNames() const;
    std::optional<std::string> inputName(MIDIUniqueID uid) const;
    // 0 when no source is listed at the index.
    MIDIUniqueID uidForInputAt(int index) const;

    // The first listed source of that name; "" opens every listed source, another unknown name
    // nothing.
    void openInput(std::string_view name);
    // 0 opens every listed source. An input already open stays as it is.
    void openInput(MIDIUniqueID uid);
    void openInputAtIndex(int index);
    // By the name given at open, else by the listed name; an unknown name does nothing.
    void closeInput(std::string_view name);
    // 0 closes every open input. Works from the input table, so an input whose source vanished
    // is still closed.
    void closeInput(MIDIUniqueID uid);
    void closeInput() { closeInput(MIDIUniqueID{0}); }
    void closeInputAtIndex(int index);
    void closeAllInputs();

    // The receive path, public for the fuzz target and tests. `source` is the unique ID the input
    // was opened under; it keys the SysEx reassembly.
    void receiveEventList(const MIDIEventList* eventList, ByteCount listSize, MIDIUniqueID source);
    void receivePacketList(const MIDIPacketList* packetList, ByteCount listSize, MIDIUniqueID source,
                           SysExAssembler& assembler);
    std::vector<MIDIEvent> processUMPMessages(const MIDIEventPacketView& packet, MIDIUniqueID source);
    std::vector<MIDIEvent> applyTransformers(std::vector<MIDIEvent> events);
    // Hands one event to every listener; an event too short for its status, or without a usable
    // status, logs "No usable status detected in handleMIDIMessage" once per listener.
    void handleMIDIMessage(const MIDIEvent& event, MIDIUniqueID fromInput);

    // Outputs (MIDI+Output.cpp) -------------------------------------------------------------------
    // The listed destinations: not an own virtual destination, unique ID not 0, name not empty.
    std::vector<MIDIUniqueID> destinationUIDs() const;
    std::vector<std::string> destinationNames() const;
    // "Unknown" when no listed destination has the unique ID.
    std::string destinationName(MIDIUniqueID uid) const;
    MIDIUniqueID uidForDestinationAt(int index) const;

    // The first listed destination of that name; an unknown name opens every destination.
    void openOutput(std::string_view name);
    // 0 opens every listed destination. Creates the output port on first use.
    void openOutput(MIDIUniqueID uid);
    void openOutput() { openOutput(MIDIUniqueID{0}); }
    void openOutputAtIndex(int index);
    void closeOutput(std::string_view name);
    // Closing the last opened endpoint disposes the output port.
    void closeOutput(MIDIUniqueID uid);
    void closeOutputAtIndex(int index);
    // Forgets every opened endpoint without disposing anything.
    void clearEndpoints();

    // One packet of the bytes as given, with the time stamp (0: now), to the opened destinations
    // (all of them, or those of `endpointsUIDs`) and to the listed own virtual sources. Up to
    // 65522 bytes.
    void sendMessage(std::span<const MIDIByte> data, MIDITimeStamp offset = 0, const UIDs& endpointsUIDs = {},
                     const Ports& virtualOutputPorts = {});
    // The event's bytes, time stamp 0.
    void sendEvent(const MIDIEvent& event, const UIDs& endpointsUIDs = {},
                   const Ports& virtualOutputPorts = {});
    // The same two, returning how it went: sent when every chosen destination and own source took
    // it, else the first failure (logged as above). A message that reaches no destination and no
    // own source is gone: nothing it was meant for is open.
    MIDISendOutcome sendMessageWithOutcome(std::span<const MIDIByte> data, MIDITimeStamp offset = 0,
                                           const UIDs& endpointsUIDs = {},
                                           const Ports& virtualOutputPorts = {});
    MIDISendOutcome sendEventWithOutcome(const MIDIEvent& event, const UIDs& endpointsUIDs = {},
                                         const Ports& virtualOutputPorts = {});
    // As sendMessage, in a one-packet list: up to 256 bytes.
    void sendMessageWithTime(std::span<const MIDIByte> data, MIDITimeStamp time,
                             const UIDs& endpointsUIDs = {}, const Ports& virtualOutputPorts = {});
    // Channel messages: a channel above 15 sends nothing; data bytes are cut to 7 bits.
    void sendNoteOnMessage(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel = 0,
                           const UIDs& endpointsUIDs = {}, const Ports& virtualOutputPorts = {});
    void sendNoteOffMessage(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel = 0,
                            const UIDs& endpointsUIDs = {}, const Ports& virtualOutputPorts = {});
    void sendControllerMessage(MIDIByte controller, MIDIByte value, MIDIChannel channel = 0,
                               const UIDs& endpointsUIDs = {}, const Ports& virtualOutputPorts = {});
    // The low 14 bits of the value, low 7 first.
    void sendPitchBendMessage(unsigned value, MIDIChannel channel = 0, const UIDs& endpointsUIDs = {},
                              const Ports& virtualOutputPorts = {});
    void sendNoteOnMessageWithTime(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                   MIDITimeStamp time, const UIDs& endpointsUIDs = {},
                                   const Ports& virtualOutputPorts = {});
    void sendNoteOffMessageWithTime(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                    MIDITimeStamp time, const UIDs& endpointsUIDs = {},
                                    const Ports& virtualOutputPorts = {});

    // Virtual ports (MIDI+Virtual.cpp) ------------------------------------------------------------
    // Names and unique IDs are taken by position within the call; missing ones get defaults
    // ("Sonabel Input 1", 2000000, 2000002, ...; outputs from 2000001). The unique ID an endpoint
    // really got is the one reported to listeners.
    void createVirtualPorts(int count, const std::optional<std::vector<std::int32_t>>& inputPortIDs = {},
                            const std::optional<std::vector<std::int32_t>>& outputPortIDs = {},
                            const std::optional<std::vector<std::string>>& inputPortNames = {},
                            const std::optional<std::vector<std::string>>& outputPortNames = {});
    void createVirtualInputPorts(int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs = {},
                                 const std::optional<std::vector<std::string>>& names = {});
    void createVirtualOutputPorts(int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs = {},
                                  const std::optional<std::vector<std::string>>& names = {});
    // False when there was none or a disposal failed (the rest then stays).
    bool destroyVirtualInputPort();
    bool destroyVirtualOutputPort();
    // True unless a disposal failed.
    bool destroyAllVirtualPorts();
    std::vector<MIDIUniqueID> virtualInputUIDs() const;
    std::vector<std::string> virtualInputNames() const;
    std::vector<MIDIUniqueID> virtualOutputUIDs() const;
    std::vector<std::string> virtualOutputNames() const;
    // What reaches an own virtual destination: every event to the listeners, no transformers.
    void receiveVirtualPacketList(const MIDIPacketList* packetList, ByteCount listSize, MIDIUniqueID uid,
                                  SysExAssembler& assembler);

    // Endpoint descriptions (MIDI+EndpointInfo.cpp) -----------------------------------------------
    std::vector<EndpointInfo> destinationInfos() const;
    std::vector<EndpointInfo> sourceInfos() const;
    // The trailing placeholder included.
    std::vector<EndpointInfo> virtualInputInfos() const;
    std::vector<EndpointInfo> virtualOutputInfos() const;

private:
    struct Token {};

public:
    MIDI(Token, MIDIConfig config);

private:
    struct InputEntry {
        MIDIPortRef port = 0;
        MIDIEndpointRef endpoint = 0;
        // As given at open, for the closing lines after the source vanished.
        std::string name;
        std::shared_ptr<SysExAssembler> assembler;
    };
    struct OpenedEndpoint {
        MIDIEndpointRef ref = 0;
        bool isSource = false;
    };
    struct ListedEndpoint {
        MIDIEndpointRef ref = 0;
        MIDIUniqueID uid = 0;
        std::string name;
    };
    enum class DestroyResult { none, destroyed, failed };

    void createClient();
    void handleNotification(const MIDINotification* message);
    std::vector<ListedEndpoint> listedEndpoints(bool sources) const;
    std::optional<ListedEndpoint> listedAt(bool sources, int index) const;
    MIDIUniqueID uniqueIDOf(MIDIEndpointRef endpoint) const;
    std::string nameOf(MIDIEndpointRef endpoint) const;
    void openListedInput(const ListedEndpoint& source);
    void closeOpenInput(MIDIUniqueID uid, const std::string& name);
    struct Received;
    // The listener list for one event after another: taken afresh only when the registry changed.
    class ListenerSnapshots {
    public:
        explicit ListenerSnapshots(const MIDI& midi) : midi_(midi) {}
        const std::vector<Listener>& current();

    private:
        const MIDI& midi_;
        std::shared_ptr<const std::vector<Listener>> snapshot_;
        std::uint64_t version_ = 0;
    };
    bool hasTransformers() const;
    // transformed: the transformers are to see the messages, as events.
    void deliverReceived(std::vector<Received>& messages, MIDIUniqueID source, bool transformed);
    void dispatch(const std::vector<Listener>& listeners, const MIDIEvent& event, MIDIUniqueID fromInput);
    // `whole`, when given, holds the same bytes as `data`, for the listeners that take a vector.
    static void dispatchMessage(const std::vector<Listener>& listeners, std::span<const MIDIByte> data,
                                const std::vector<MIDIByte>* whole,
                                const std::optional<MIDITimeStamp>& timeStamp, MIDIUniqueID fromInput);
    std::shared_ptr<const std::vector<Listener>> listenerSnapshot() const;
    MIDISendOutcome send(const MIDIPacketList* list, ByteCount listSize, const UIDs& endpointsUIDs,
                         const Ports& virtualOutputPorts, const char* function);
    bool channelIsValid(MIDIChannel channel, const char* function) const;
    void createVirtual(bool inputs, int count, const std::optional<std::vector<std::int32_t>>& uniqueIDs,
                       const std::optional<std::vector<std::string>>& names);
    DestroyResult destroyVirtual(bool inputs);
    std::vector<EndpointInfo> infosOf(const std::vector<MIDIEndpointRef>& endpoints) const;

    std::shared_ptr<platform::midi::Server> server_;
    const bool universalPacketInput_;
    MIDIClientRef client_ = 0;

    mutable std::mutex mutex_;
    std::map<MIDIUniqueID, InputEntry> inputs_;
    std::map<MIDIUniqueID, OpenedEndpoint> endpoints_;
    std::vector<MIDIEndpointRef> virtualInputs_{0};
    std::vector<MIDIEndpointRef> virtualOutputs_{0};
    // Default unique IDs handed out since the list was last empty, so a later call never repeats one.
    int defaultInputIDs_ = 0;
    int defaultOutputIDs_ = 0;
    MIDIPortRef outputPort_ = 0;
    std::string outputPortName_ = "MIDI Out Port";

    // Copy-on-write, so a dispatch takes its snapshot with one pointer copy.
    mutable std::mutex registryMutex_;
    std::atomic<std::uint64_t> registryVersion_{0}; // bumped with every change of either list
    std::shared_ptr<const std::vector<Listener>> listeners_;
    std::shared_ptr<const std::vector<Transformer>> transformers_;

    UMPMessageProcessor ump_;
};

// The framework's shared MIDI object, made on the process's current server the first time it is
// read. Replacing it releases the previous one (which disposes its client once unused).
std::shared_ptr<MIDI> sharedMIDI();
void setSharedMIDI(std::shared_ptr<MIDI> midi);

} // namespace sonabel
