#include "sonabel/midi/EndpointInfo.h"

#include "platform/midi/MIDIServices.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <limits>
#include <utility>

namespace sonabel {

namespace {

std::string stringProperty(platform::midi::Server& server, MIDIEndpointRef endpoint,
                           std::string_view property) {
    std::string value;
    if (server.getStringProperty(endpoint, property, &value) != noErr) return {};
    return value;
}

void combine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9E37'79B9'7F4A'7C15ULL + (seed << 6) + (seed >> 2);
}

} // namespace

EndpointInfo::EndpointInfo(std::string name, std::string displayName, std::string model,
                           std::string manufacturer, std::string image, std::string driverOwner,
                           MIDIUniqueID midiUniqueID, MIDIEndpointRef midiEndpointRef,
                           std::optional<MIDIPortRef> midiPortRef)
    : name(std::move(name)), displayName(std::move(displayName)), model(std::move(model)),
      manufacturer(std::move(manufacturer)), image(std::move(image)), driverOwner(std::move(driverOwner)),
      midiUniqueID(midiUniqueID), midiEndpointRef(midiEndpointRef), midiPortRef(midiPortRef) {}

EndpointInfo::EndpointInfo(MIDIEndpointRef endpoint, platform::midi::Server& server)
    : name(stringProperty(server, endpoint, kMIDIPropertyName)),
      displayName(stringProperty(server, endpoint, kMIDIPropertyDisplayName)),
      model(stringProperty(server, endpoint, kMIDIPropertyModel)),
      manufacturer(stringProperty(server, endpoint, kMIDIPropertyManufacturer)),
      image(stringProperty(server, endpoint, kMIDIPropertyImage)),
      driverOwner(stringProperty(server, endpoint, kMIDIPropertyDriverOwner)), midiEndpointRef(endpoint) {
    std::int32_t uid = 0;
    if (server.getIntegerProperty(endpoint, kMIDIPropertyUniqueID, &uid) == noErr) midiUniqueID = uid;
}

EndpointInfo::EndpointInfo(MIDIEndpointRef endpoint) : EndpointInfo(endpoint, *currentMIDIServer()) {}

bool EndpointInfo::operator==(const EndpointInfo& other) const {
    return name == other.name && displayName == other.displayName && model == other.model &&
           manufacturer == other.manufacturer && image == other.image && driverOwner == other.driverOwner &&
           midiUniqueID == other.midiUniqueID && midiPortRef == other.midiPortRef;
}

std::size_t EndpointInfo::hashValue() const {
    std::size_t seed = 0;
    const std::hash<std::string> strings;
    for (const std::string* field : {&name, &displayName, &model, &manufacturer, &image, &driverOwner})
        combine(seed, strings(*field));
    combine(seed, static_cast<std::uint32_t>(midiUniqueID));
    combine(seed, midiPortRef ? 1 : 0);
    if (midiPortRef) combine(seed, *midiPortRef);
    return seed;
}

void to_json(nlohmann::json& json, const EndpointInfo& info) {
    json = nlohmann::json::object();
    json["name"] = info.name;
    json["displayName"] = info.displayName;
    json["model"] = info.model;
    json["manufacturer"] = info.manufacturer;
    json["image"] = info.image;
    json["driverOwner"] = info.driverOwner;
    json["midiUniqueID"] = info.midiUniqueID;
    json["midiEndpointRef"] = info.midiEndpointRef;
    if (info.midiPortRef) json["midiPortRef"] = *info.midiPortRef;
}

namespace {

// Integers must be whole and fit the field: a stored 2^40 must not wrap into another endpoint.
template <class Int> Int integerAt(const nlohmann::json& json, const char* key) {
    const auto& value = json.at(key);
    if (!value.is_number_integer())
        throw nlohmann::json::type_error::create(
            302, std::string("type must be number, but is ") + value.type_name(), &value);
    if (value.is_number_unsigned()) {
        const auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
            throw nlohmann::json::out_of_range::create(406, std::string("value out of range for ") + key,
                                                       &value);
        return static_cast<Int>(v);
    }
    const auto v = value.get<std::int64_t>();
    if (v < static_cast<std::int64_t>(std::numeric_limits<Int>::min()) ||
        v > static_cast<std::int64_t>(std::numeric_limits<Int>::max()))
        throw nlohmann::json::out_of_range::create(406, std::string("value out of range for ") + key, &value);
    return static_cast<Int>(v);
}

} // namespace

void from_json(const nlohmann::json& json, EndpointInfo& info) {
    EndpointInfo decoded;
    json.at("name").get_to(decoded.name);
    json.at("displayName").get_to(decoded.displayName);
    json.at("model").get_to(decoded.model);
    json.at("manufacturer").get_to(decoded.manufacturer);
    json.at("image").get_to(decoded.image);
    json.at("driverOwner").get_to(decoded.driverOwner);
    decoded.midiUniqueID = integerAt<MIDIUniqueID>(json, "midiUniqueID");
    decoded.midiEndpointRef = integerAt<MIDIEndpointRef>(json, "midiEndpointRef");
    // Other coders write an absent optional as null.
    if (json.contains("midiPortRef") && !json.at("midiPortRef").is_null())
        decoded.midiPortRef = integerAt<MIDIPortRef>(json, "midiPortRef");
    info = std::move(decoded);
}

} // namespace sonabel
