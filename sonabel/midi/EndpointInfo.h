#pragma once
// A description of one MIDI endpoint read from its properties, for showing it and for storing a
// choice to compare later. Equal when every field but the endpoint handle is equal, so the same
// device read again after a replug compares equal.
#include "platform/midi/MIDITypes.h"
#include "platform/midi/Server.h"

#include <nlohmann/json_fwd.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace sonabel {

struct EndpointInfo {
    std::string name;
    std::string displayName;
    std::string model;
    std::string manufacturer;
    std::string image;
    std::string driverOwner;
    MIDIUniqueID midiUniqueID = 0;
    MIDIEndpointRef midiEndpointRef = 0;
    // Absent in every description read from the server.
    std::optional<MIDIPortRef> midiPortRef;

    EndpointInfo() = default;
    EndpointInfo(std::string name, std::string displayName, std::string model, std::string manufacturer,
                 std::string image, std::string driverOwner, MIDIUniqueID midiUniqueID,
                 MIDIEndpointRef midiEndpointRef, std::optional<MIDIPortRef> midiPortRef);
    // Reads the properties; one the server does not deliver reads as "" or 0.
    EndpointInfo(MIDIEndpointRef endpoint, platform::midi::Server& server);
    // On the process's current server.
    explicit EndpointInfo(MIDIEndpointRef endpoint);

    bool operator==(const EndpointInfo& other) const;
    std::size_t hashValue() const;
};

// Keyed encoding: the nine fields under their own names, "midiPortRef" left out when absent.
// Decoding throws nlohmann::json's error for a missing key or a wrong type.
void to_json(nlohmann::json& json, const EndpointInfo& info);
void from_json(const nlohmann::json& json, EndpointInfo& info);

} // namespace sonabel

template <> struct std::hash<sonabel::EndpointInfo> {
    std::size_t operator()(const sonabel::EndpointInfo& info) const noexcept { return info.hashValue(); }
};
