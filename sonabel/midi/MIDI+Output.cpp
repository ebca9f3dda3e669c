// The output half of the MIDI object: listing destinations, the output port and the send path.
#include "platform/midi/MIDIServices.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/midi/MIDI.h"

#include <array>
#include <cstdint>

namespace sonabel {

namespace {

constexpr const char* kSendMessage = "sendMessage(_:offset:endpointsUIDs:virtualOutputPorts:)";
constexpr const char* kSendMessageWithTime = "sendMessageWithTime(_:time:endpointsUIDs:virtualOutputPorts:)";

} // namespace

// Listing -------------------------------------------------------------------------------------

std::vector<MIDIUniqueID> MIDI::destinationUIDs() const {
    std::vector<MIDIUniqueID> uids;
    for (const auto& destination : listedEndpoints(false))
        uids.push_back(destination.uid);
    return uids;
}

std::vector<std::string> MIDI::destinationNames() const {
    std::vector<std::string> names;
    for (auto& destination : listedEndpoints(false))
        names.push_back(std::move(destination.name));
    return names;
}

std::string MIDI::destinationName(MIDIUniqueID uid) const {
    for (auto& destination : listedEndpoints(false))
        if (destination.uid == uid) return std::move(destination.name);
    return "Unknown";
}

MIDIUniqueID MIDI::uidForDestinationAt(int index) const {
    const auto destination = listedAt(false, index);
    return destination ? destination->uid : 0;
}

// Opening and closing -------------------------------------------------------------------------

void MIDI::openOutput(std::string_view name) {
    for (const auto& destination : listedEndpoints(false))
        if (destination.name == name) {
            openOutput(destination.uid);
            return;
        }
    openOutput(MIDIUniqueID{0});
}

void MIDI::openOutput(MIDIUniqueID uid) {
    std::string portName;
    MIDIPortRef port;
    {
        std::lock_guard lock(mutex_);
        port = outputPort_;
        portName = outputPortName_;
    }
    if (port == 0) {
        if (server_->createOutputPort(client_, portName, &port) != noErr) {
            Log({"openOutput(uid:)", OSLog::midi, OSLogType::error}, "Unable to create MIDIOutputPort");
            return;
        }
        bool kept = false;
        {
            std::lock_guard lock(mutex_);
            if (outputPort_ == 0) {
                outputPort_ = port;
                kept = true;
            }
        }
        if (!kept) server_->disposePort(port); // another thread made one meanwhile
    }
    const auto destinations = listedEndpoints(false);
    std::lock_guard lock(mutex_);
    for (const auto& destination : destinations)
        if (uid == 0 || destination.uid == uid)
            endpoints_[destination.uid] = OpenedEndpoint{destination.ref, false};
}

void MIDI::openOutputAtIndex(int index) {
    if (const auto destination = listedAt(false, index)) openOutput(destination->uid);
}

void MIDI::closeOutput(std::string_view name) {
    for (const auto& destination : listedEndpoints(false))
        if (destination.name == name) {
            closeOutput(destination.uid);
            return;
        }
}

void MIDI::closeOutput(MIDIUniqueID uid) {
    const std::string name = destinationName(uid);
    Log({"closeOutput(uid:)", OSLog::midi, OSLogType::info}, "Closing MIDI Output '" + name + "'");
    MIDIPortRef port = 0;
    {
        std::lock_guard lock(mutex_);
        const auto found = endpoints_.find(uid);
        if (found == endpoints_.end() || found->second.isSource) return;
        endpoints_.erase(found);
        if (endpoints_.empty()) port = std::exchange(outputPort_, 0);
    }
    Log({"closeOutput(uid:)", OSLog::midi, OSLogType::info},
        "Disconnected " + name + " and removed it from endpoints");
    if (port == 0) return;
    const OSStatus status = server_->disposePort(port);
    if (status != noErr)
        Log({"closeOutput(uid:)", OSLog::midi, OSLogType::error},
            "Error disposing  MIDI Output port: " + std::to_string(status));
    else
        Log({"closeOutput(uid:)", OSLog::midi, OSLogType::info}, "Disposed MIDI Output port");
}

void MIDI::closeOutputAtIndex(int index) {
    if (const auto destination = listedAt(false, index)) closeOutput(destination->uid);
}

void MIDI::clearEndpoints() {
    std::lock_guard lock(mutex_);
    endpoints_.clear();
}

// Sending -------------------------------------------------------------------------------------

void MIDI::sendMessage(std::span<const MIDIByte> data, MIDITimeStamp offset, const UIDs& endpointsUIDs,
                       const Ports& virtualOutputPorts) {
    sendMessageWithOutcome(data, offset, endpointsUIDs, virtualOutputPorts);
}

MIDISendOutcome MIDI::sendMessageWithOutcome(std::span<const MIDIByte> data, MIDITimeStamp offset,
                                             const UIDs& endpointsUIDs, const Ports& virtualOutputPorts) {
    const std::size_t listSize = data.size() + sizeOfMIDICombinedHeaders;
    if (listSize > maximumPacketListSize) {
        Log({kSendMessage, OSLog::midi, OSLogType::error},
            "error sending midi : data array is too large, requires a buffer larger than 65536");
        return MIDISendOutcome::refused("the message is longer than " +
                                        std::to_string(maximumPacketListSize - sizeOfMIDICombinedHeaders) +
                                        " bytes");
    }
    // Words keep the list header aligned; sized exactly, so the packet ends at the list's end.
    std::vector<std::uint64_t> buffer((listSize + 7) / 8);
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer.data());
    MIDIPacket* packet = MIDIPacketListInit(list);
    if (!MIDIPacketListAdd(list, listSize, packet, offset, data.size(), data.data())) {
        Log({kSendMessage, OSLog::midi, OSLogType::error},
            "error sending midi: Failed to add packet to packet list.");
        return MIDISendOutcome::refused("it does not fit a packet list");
    }
    return send(list, listSize, endpointsUIDs, virtualOutputPorts, kSendMessage);
}

void MIDI::sendEvent(const MIDIEvent& event, const UIDs& endpointsUIDs, const Ports& virtualOutputPorts) {
    sendMessage(event.data, 0, endpointsUIDs, virtualOutputPorts);
}

MIDISendOutcome MIDI::sendEventWithOutcome(const MIDIEvent& event, const UIDs& endpointsUIDs,
                                           const Ports& virtualOutputPorts) {
    return sendMessageWithOutcome(event.data, 0, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendMessageWithTime(std::span<const MIDIByte> data, MIDITimeStamp time, const UIDs& endpointsUIDs,
                               const Ports& virtualOutputPorts) {
    alignas(MIDIPacketList) std::array<std::uint8_t, sizeOfMIDIPacketList> buffer{};
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer.data());
    MIDIPacket* packet = MIDIPacketListInit(list);
    // The list would take one packet that fills it exactly, up to 258 bytes: refuse what does not
    // fit a packet's own data area.
    if (data.size() > kMIDIPacketDataCapacity ||
        !MIDIPacketListAdd(list, buffer.size(), packet, time, data.size(), data.data())) {
        Log({kSendMessageWithTime, OSLog::midi, OSLogType::error},
            "error sending midi: Failed to add packet to packet list.");
        return;
    }
    send(list, buffer.size(), endpointsUIDs, virtualOutputPorts, kSendMessageWithTime);
}

MIDISendOutcome MIDI::send(const MIDIPacketList* list, ByteCount listSize, const UIDs& endpointsUIDs,
                           const Ports& virtualOutputPorts, const char* function) {
    std::vector<MIDIEndpointRef> targets;
    MIDIPortRef port;
    bool hasVirtualOutputs;
    {
        std::lock_guard lock(mutex_);
        port = outputPort_;
        hasVirtualOutputs = virtualOutputs_ != std::vector<MIDIEndpointRef>{0};
        // Destinations only: an opened source shares the table but cannot be sent to.
        if (!endpointsUIDs) {
            for (const auto& [uid, entry] : endpoints_)
                if (!entry.isSource) targets.push_back(entry.ref);
        } else {
            for (MIDIUniqueID uid : *endpointsUIDs) {
                const auto found = endpoints_.find(uid);
                if (found != endpoints_.end() && !found->second.isSource)
                    targets.push_back(found->second.ref);
            }
        }
    }
    MIDISendOutcome outcome;
    bool tried = false;
    const auto told = [&](OSStatus status, const platform::midi::SendFailure& failure) {
        tried = true;
        if (status == noErr) return;
        Log({function, OSLog::midi, OSLogType::error}, "error sending midi: " + std::to_string(status));
        if (outcome.sent()) outcome = MIDISendOutcome::of(status, failure);
    };
    for (MIDIEndpointRef destination : targets) {
        platform::midi::SendFailure failure;
        told(server_->sendReporting(port, destination, list, listSize, &failure), failure);
    }
    if (hasVirtualOutputs && virtualOutputPorts)
        for (MIDIPortRef source : *virtualOutputPorts) {
            platform::midi::SendFailure failure;
            told(server_->receivedReporting(source, list, listSize, &failure), failure);
        }
    if (!tried) return {MIDISendOutcome::Kind::gone, "no destination is open"};
    return outcome;
}

// Channel messages ----------------------------------------------------------------------------

bool MIDI::channelIsValid(MIDIChannel channel, const char* function) const {
    if (channel <= 15) return true;
    Log({function, OSLog::midi, OSLogType::error},
        "error sending midi: invalid channel " + std::to_string(channel));
    return false;
}

void MIDI::sendNoteOnMessage(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                             const UIDs& endpointsUIDs, const Ports& virtualOutputPorts) {
    if (!channelIsValid(channel,
                        "sendNoteOnMessage(noteNumber:velocity:channel:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0x90 + channel),
                                          static_cast<MIDIByte>(noteNumber & 0x7F),
                                          static_cast<MIDIByte>(velocity & 0x7F)};
    sendMessage(message, 0, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendNoteOffMessage(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                              const UIDs& endpointsUIDs, const Ports& virtualOutputPorts) {
    if (!channelIsValid(channel,
                        "sendNoteOffMessage(noteNumber:velocity:channel:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0x80 + channel),
                                          static_cast<MIDIByte>(noteNumber & 0x7F),
                                          static_cast<MIDIByte>(velocity & 0x7F)};
    sendMessage(message, 0, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendControllerMessage(MIDIByte controller, MIDIByte value, MIDIChannel channel,
                                 const UIDs& endpointsUIDs, const Ports& virtualOutputPorts) {
    if (!channelIsValid(channel, "sendControllerMessage(_:value:channel:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0xB0 + channel),
                                          static_cast<MIDIByte>(controller & 0x7F),
                                          static_cast<MIDIByte>(value & 0x7F)};
    sendMessage(message, 0, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendPitchBendMessage(unsigned value, MIDIChannel channel, const UIDs& endpointsUIDs,
                                const Ports& virtualOutputPorts) {
    if (!channelIsValid(channel, "sendPitchBendMessage(value:channel:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0xE0 + channel),
                                          static_cast<MIDIByte>(value & 0x7F),
                                          static_cast<MIDIByte>((value >> 7) & 0x7F)};
    sendMessage(message, 0, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendNoteOnMessageWithTime(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                     MIDITimeStamp time, const UIDs& endpointsUIDs,
                                     const Ports& virtualOutputPorts) {
    if (!channelIsValid(
            channel,
            "sendNoteOnMessageWithTime(noteNumber:velocity:channel:time:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0x90 + channel),
                                          static_cast<MIDIByte>(noteNumber & 0x7F),
                                          static_cast<MIDIByte>(velocity & 0x7F)};
    sendMessageWithTime(message, time, endpointsUIDs, virtualOutputPorts);
}

void MIDI::sendNoteOffMessageWithTime(MIDINoteNumber noteNumber, MIDIVelocity velocity, MIDIChannel channel,
                                      MIDITimeStamp time, const UIDs& endpointsUIDs,
                                      const Ports& virtualOutputPorts) {
    if (!channelIsValid(
            channel,
            "sendNoteOffMessageWithTime(noteNumber:velocity:channel:time:endpointsUIDs:virtualOutputPorts:)"))
        return;
    const std::array<MIDIByte, 3> message{static_cast<MIDIByte>(0x80 + channel),
                                          static_cast<MIDIByte>(noteNumber & 0x7F),
                                          static_cast<MIDIByte>(velocity & 0x7F)};
    sendMessageWithTime(message, time, endpointsUIDs, virtualOutputPorts);
}

} // namespace sonabel
