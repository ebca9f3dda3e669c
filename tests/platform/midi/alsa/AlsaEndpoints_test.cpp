// The listing logic of the sequencer server over made-up listings.
#include "platform/midi/alsa/AlsaEndpoints.h"

#include <gtest/gtest.h>

#include <alsa/asoundlib.h>

#include <set>
#include <vector>

using namespace platform::midi;
using Change = AlsaEndpoints::Change;

namespace {

constexpr unsigned kIn = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kOut = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
constexpr int kOwn = 128;

struct Table {
    AlsaEndpoints endpoints;
    MIDIObjectRef next = 0x100;
    std::vector<Change> sync(const std::vector<AlsaPortInfo>& listing) {
        return endpoints.sync(listing, kOwn, [&] { return next++; });
    }
    std::vector<std::string> names(bool sources, std::string_view property = kMIDIPropertyName) {
        std::vector<std::string> out;
        for (ItemCount i = 0; i < endpoints.listedCount(sources); ++i) {
            std::string name;
            EXPECT_EQ(
                AlsaEndpoints::getString(*endpoints.find(endpoints.listedAt(sources, i)), property, name),
                noErr);
            out.push_back(name);
        }
        return out;
    }
    MIDIUniqueID uid(MIDIEndpointRef ref) { return endpoints.find(ref)->uniqueID; }
};

const std::vector<AlsaPortInfo> kStudio = {
    {0, 1, "System", "Announce", kIn, true},
    {14, 0, "Midi Through", "Midi Through Port-0", kIn | kOut, true},
    {20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn | kOut, true},
    {24, 0, "UM-4", "UM-4 MIDI 1", kIn | kOut, true},
    {24, 1, "UM-4", "UM-4 MIDI 2", kIn | kOut, true},
    {24, 2, "UM-4", "UM-4 Control", kIn, true},
    {128, 0, "Sonabel", "In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT, false},
    {130, 0, "Sketch", "out", kIn, false},
    {130, 1, "Sketch", "hidden", kIn | kOut | SND_SEQ_PORT_CAP_NO_EXPORT, false},
    {131, 0, "Half", "read only", SND_SEQ_PORT_CAP_READ, false},
    {131, 1, "Half", "write only", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, false},
};

} // namespace

TEST(AlsaEndpoints, CapabilitiesDecideWhatIsListedAndNamesFollowThePortCount) {
    Table t;
    const auto changes = t.sync(kStudio);
    // System client, our own client, no-export ports and ports without subscribe capability
    // are left out; a duplex port gives a source and a destination.
    EXPECT_EQ(t.names(true), (std::vector<std::string>{"Midi Through", "Toskar MK2", "UM-4 MIDI 1",
                                                       "UM-4 MIDI 2", "UM-4 Control", "Sketch"}));
    EXPECT_EQ(t.names(false),
              (std::vector<std::string>{"Midi Through", "Toskar MK2", "UM-4 MIDI 1", "UM-4 MIDI 2", "Half"}));
    EXPECT_EQ(t.names(true, kMIDIPropertyDisplayName)[1], "Toskar MK2: Toskar MK2 MIDI 1");
    EXPECT_EQ(t.names(false, kMIDIPropertyDisplayName)[4], "Half: write only");
    ASSERT_EQ(changes.size(), 11u);
    for (const auto& c : changes)
        EXPECT_EQ(c.messageID, kMIDIMsgObjectAdded);
    EXPECT_EQ(changes[0].type, kMIDIObjectType_Source);
    EXPECT_EQ(changes[6].type, kMIDIObjectType_Destination);
    // Nothing new: nothing to say.
    EXPECT_TRUE(t.sync(kStudio).empty());
    EXPECT_EQ(t.endpoints.listedAt(true, 6), 0u);
}

TEST(AlsaEndpoints, UniqueIDsAreStableDistinctPerDirectionAndProbedAwayFromTakenOnes) {
    Table t;
    t.sync(kStudio);
    const MIDIEndpointRef toskarIn = t.endpoints.listedAt(true, 1),
                          toskarOut = t.endpoints.listedAt(false, 1);
    EXPECT_NE(t.uid(toskarIn), t.uid(toskarOut));
    EXPECT_EQ(t.uid(toskarIn), AlsaEndpoints::deriveUniqueID("Toskar MK2", "Toskar MK2 MIDI 1", true, 0));
    std::set<MIDIUniqueID> all;
    for (bool s : {true, false})
        for (ItemCount i = 0; i < t.endpoints.listedCount(s); ++i)
            all.insert(t.uid(t.endpoints.listedAt(s, i)));
    EXPECT_EQ(all.size(), 11u);
    EXPECT_FALSE(all.contains(0));

    // The same device in another session gets the same IDs, whatever address it has.
    Table other;
    other.sync({{40, 3, "Toskar MK2", "Toskar MK2 MIDI 1", kIn | kOut, true}});
    EXPECT_EQ(other.uid(other.endpoints.listedAt(true, 0)), t.uid(toskarIn));

    // An ID one of our own endpoints holds is kept; the device probes to the next one.
    Table clash;
    AlsaEndpoints::Endpoint own;
    own.ref = 1;
    own.owner = 7;
    own.client = kOwn;
    own.isSource = true;
    own.uniqueID = AlsaEndpoints::deriveUniqueID("Toskar MK2", "Toskar MK2 MIDI 1", true, 0);
    ASSERT_EQ(clash.endpoints.insertOwn(own), noErr);
    own.ref = 2;
    EXPECT_EQ(clash.endpoints.insertOwn(own), kMIDIIDNotUnique);
    clash.sync({{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn, true}});
    const MIDIEndpointRef device = clash.endpoints.findAt(20, 0, true)->ref;
    EXPECT_EQ(clash.uid(device), AlsaEndpoints::deriveUniqueID("Toskar MK2", "Toskar MK2 MIDI 1", true, 1));
    EXPECT_EQ(clash.endpoints.setUniqueID(*clash.endpoints.find(device), own.uniqueID), kMIDIIDNotUnique);
    EXPECT_EQ(clash.endpoints.setUniqueID(*clash.endpoints.find(device), 0), kAudio_ParamError);
    EXPECT_EQ(clash.uid(1), own.uniqueID);
    // Our own endpoint sorts in the listing by its address.
    EXPECT_EQ(clash.endpoints.listedAt(true, 0), device);
    EXPECT_EQ(clash.endpoints.listedAt(true, 1), 1u);
}

TEST(AlsaEndpoints, PortsComingAndGoingRenameTheirNeighboursAndNeverReuseHandles) {
    Table t;
    std::vector<AlsaPortInfo> listing{{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn | kOut, true}};
    t.sync(listing);
    const MIDIEndpointRef in = t.endpoints.findAt(20, 0, true)->ref;
    const MIDIEndpointRef out = t.endpoints.findAt(20, 0, false)->ref;
    const MIDIUniqueID inID = t.uid(in);

    // A second port in: the first is now named after its port, in both directions.
    listing.push_back({20, 1, "Toskar MK2", "Toskar MK2 MIDI 2", kIn, true});
    auto changes = t.sync(listing);
    const MIDIEndpointRef second = t.endpoints.findAt(20, 1, true)->ref;
    EXPECT_EQ(changes, (std::vector<Change>{{kMIDIMsgObjectAdded, second, kMIDIObjectType_Source, ""},
                                            {kMIDIMsgPropertyChanged, in, kMIDIObjectType_Source, "name"}}));
    EXPECT_EQ(t.names(true), (std::vector<std::string>{"Toskar MK2 MIDI 1", "Toskar MK2 MIDI 2"}));
    EXPECT_EQ(t.names(false), (std::vector<std::string>{"Toskar MK2"}));

    // A renamed client: names and display names follow, the unique ID stays.
    listing[0].clientName = listing[1].clientName = "Toskar";
    changes = t.sync(listing);
    EXPECT_EQ(changes.size(), 4u); // display names of both sources, name and display name of the destination
    EXPECT_EQ(t.names(false), (std::vector<std::string>{"Toskar"}));
    EXPECT_EQ(t.uid(in), inID);

    // Unplugged, and another device plugged at the same address before we looked again: the
    // old endpoints leave first, the new ones get new handles.
    changes = t.endpoints.removeAt(20, -1);
    EXPECT_EQ(changes.size(), 3u);
    EXPECT_EQ(t.endpoints.find(in), nullptr);
    t.sync({{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn | kOut, true}});
    const MIDIEndpointRef again = t.endpoints.findAt(20, 0, true)->ref;
    EXPECT_NE(again, in);
    EXPECT_NE(again, second);
    EXPECT_NE(again, out);
    EXPECT_GT(again, second);
    // Same name, same ID as before: the device is recognised.
    EXPECT_EQ(t.uid(again), inID);

    // A port losing its write capability loses its destination only.
    changes = t.sync({{20, 0, "Toskar MK2", "Toskar MK2 MIDI 1", kIn, true}});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].messageID, kMIDIMsgObjectRemoved);
    EXPECT_EQ(changes[0].type, kMIDIObjectType_Destination);
    EXPECT_EQ(t.endpoints.listedCount(false), 0u);
}
