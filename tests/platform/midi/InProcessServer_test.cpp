// The in-process server in manual mode: handles, unique IDs, listing, properties, notifications,
// what reaches which receiver, and injected failures.
#include "platform/core/HostClock.h"
#include "platform/core/LogSink.h"
#include "platform/midi/MIDIServices.h"
#include "platform/midi/PacketListBuilder.h"
#include "platform/midi/SysExCollector.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

using namespace platform::midi;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Note {
    MIDINotificationMessageID id;
    MIDIObjectRef object = 0;
    MIDIObjectType type = kMIDIObjectType_Other;
    std::string property = {};
    bool operator==(const Note&) const = default;
};

std::vector<std::uint8_t> noteOn() {
    return {0x90, 0x3C, 0x64};
}

class InProcessServerTest : public ::testing::Test {
protected:
    platform::ManualClock clock{5000};
    InProcessServer server{config()};

    InProcessServerConfig config() {
        InProcessServerConfig c;
        c.manualDelivery = true;
        c.clock = &clock;
        return c;
    }

    MIDIClientRef client(std::vector<Note>* notes = nullptr) {
        MIDIClientRef ref = 0;
        MIDINotifyBlock block;
        if (notes)
            block = [notes](const MIDINotification* n) {
                Note note{n->messageID};
                if (n->messageID == kMIDIMsgObjectAdded || n->messageID == kMIDIMsgObjectRemoved) {
                    auto* r = reinterpret_cast<const MIDIObjectAddRemoveNotification*>(n);
                    EXPECT_EQ(r->messageSize, sizeof *r);
                    note.object = r->child;
                    note.type = r->childType;
                } else if (n->messageID == kMIDIMsgPropertyChanged) {
                    auto* r = reinterpret_cast<const MIDIObjectPropertyChangeNotification*>(n);
                    note.object = r->object;
                    note.type = r->objectType;
                    note.property = r->propertyName;
                }
                notes->push_back(note);
            };
        EXPECT_EQ(server.createClient("Sonabel", block, &ref), noErr);
        return ref;
    }

    MIDIEndpointRef externalSource(std::string name, MIDIUniqueID uid = 0) {
        MIDIEndpointRef ref = 0;
        EXPECT_EQ(server.addExternalSource({.name = name, .uniqueID = uid}, &ref), noErr);
        return ref;
    }

    MIDIEndpointRef externalDestination(std::string name) {
        MIDIEndpointRef ref = 0;
        EXPECT_EQ(server.addExternalDestination({.name = name}, &ref), noErr);
        return ref;
    }

    // A packet-list input port that records what arrives.
    MIDIPortRef packetPort(MIDIClientRef c, std::vector<miditest::Packet>& got, void** refCon = nullptr) {
        MIDIPortRef port = 0;
        EXPECT_EQ(server.createInputPortWithBlock(
                      c, "MIDI In Port",
                      [&got, refCon](const MIDIPacketList* l, ByteCount n, void* r) {
                          if (refCon) *refCon = r;
                          auto p = miditest::packetsOf(l, n);
                          got.insert(got.end(), p.begin(), p.end());
                      },
                      &port),
                  noErr);
        return port;
    }

    MIDIPortRef eventPort(MIDIClientRef c, std::vector<std::uint32_t>& words) {
        MIDIPortRef port = 0;
        EXPECT_EQ(server.createInputPortWithProtocol(
                      c, "MIDI In Port", kMIDIProtocol_1_0,
                      [&words](const MIDIEventList* l, ByteCount n, void*) {
                          EXPECT_EQ(l->protocol, kMIDIProtocol_1_0);
                          auto w = miditest::wordsOf(l, n);
                          words.insert(words.end(), w.begin(), w.end());
                      },
                      &port),
                  noErr);
        return port;
    }

    MIDIPortRef outputPort(MIDIClientRef c) {
        MIDIPortRef port = 0;
        EXPECT_EQ(server.createOutputPort(c, "MIDI Out Port", &port), noErr);
        return port;
    }
};

} // namespace

TEST_F(InProcessServerTest, HandlesAreNonZeroAndNeverReused) {
    std::set<MIDIObjectRef> seen;
    for (int round = 0; round < 3; ++round) {
        const MIDIClientRef c = client();
        const MIDIPortRef out = outputPort(c);
        MIDIEndpointRef source = 0;
        ASSERT_EQ(server.createSource(c, "Out", &source), noErr);
        for (MIDIObjectRef ref : {c, out, source}) {
            EXPECT_NE(ref, 0u);
            EXPECT_TRUE(seen.insert(ref).second) << ref;
        }
        ASSERT_EQ(server.disposeClient(c), noErr);
        // Gone for good: the stale handles fail.
        EXPECT_EQ(server.disposeClient(c), kMIDIInvalidClient);
        EXPECT_EQ(server.disposePort(out), kMIDIInvalidPort);
        EXPECT_EQ(server.disposeEndpoint(source), kMIDIUnknownEndpoint);
        std::string name;
        EXPECT_EQ(server.getStringProperty(source, kMIDIPropertyName, &name), kMIDIObjectNotFound);
    }
    // An index is never taken for a handle.
    EXPECT_EQ(server.disposePort(0), kMIDIInvalidPort);
    EXPECT_EQ(server.disposePort(1), kMIDIInvalidPort);
}

TEST_F(InProcessServerTest, UniqueIDsAreNonZeroUniqueAndDuplicatesRefused) {
    const MIDIClientRef c = client();
    std::set<MIDIUniqueID> ids;
    std::vector<MIDIEndpointRef> refs;
    for (int i = 0; i < 200; ++i) {
        MIDIEndpointRef ref = 0;
        ASSERT_EQ(server.createSource(c, "s", &ref), noErr);
        std::int32_t id = 0;
        ASSERT_EQ(server.getIntegerProperty(ref, kMIDIPropertyUniqueID, &id), noErr);
        EXPECT_NE(id, 0);
        EXPECT_TRUE(ids.insert(id).second);
        refs.push_back(ref);
    }
    EXPECT_EQ(server.setIntegerProperty(refs[0], kMIDIPropertyUniqueID, 2000000), noErr);
    EXPECT_EQ(server.setIntegerProperty(refs[1], kMIDIPropertyUniqueID, 2000000), kMIDIIDNotUnique);
    std::int32_t id = 0;
    server.getIntegerProperty(refs[1], kMIDIPropertyUniqueID, &id);
    EXPECT_NE(id, 2000000); // the refused ID is not taken on
    EXPECT_EQ(server.setIntegerProperty(refs[0], kMIDIPropertyUniqueID, 2000000), noErr); // its own already
    EXPECT_EQ(server.setIntegerProperty(refs[1], kMIDIPropertyUniqueID, 0), kAudio_ParamError);

    MIDIEndpointRef ext = 0;
    EXPECT_EQ(server.addExternalSource({.name = "Toskar", .uniqueID = 2000000}, &ext), kMIDIIDNotUnique);
    EXPECT_EQ(ext, 0u);
    // Free again once its holder is gone.
    ASSERT_EQ(server.disposeEndpoint(refs[0]), noErr);
    EXPECT_EQ(server.addExternalSource({.name = "Toskar", .uniqueID = 2000000}, &ext), noErr);
}

TEST_F(InProcessServerTest, ListingFollowsCreationOrderAndLeavesOutPrivateEndpoints) {
    const MIDIClientRef c = client();
    const MIDIEndpointRef a = externalSource("Velmor");
    MIDIEndpointRef hidden = 0;
    ASSERT_EQ(server.addExternalSource({.name = "Hidden", .isPrivate = true}, &hidden), noErr);
    MIDIEndpointRef own = 0;
    ASSERT_EQ(server.createSource(c, "Sonabel Output 1", &own), noErr);
    const MIDIEndpointRef b = externalSource("Toskar MK2");
    const MIDIEndpointRef dest = externalDestination("Toskar MK2");

    ASSERT_EQ(server.numberOfSources(), 3u);
    EXPECT_EQ(server.source(0), a);
    EXPECT_EQ(server.source(1), own);
    EXPECT_EQ(server.source(2), b);
    EXPECT_EQ(server.source(3), 0u);
    EXPECT_EQ(server.numberOfDestinations(), 1u);
    EXPECT_EQ(server.destination(0), dest);

    ASSERT_EQ(server.setIntegerProperty(own, kMIDIPropertyPrivate, 1), noErr);
    EXPECT_EQ(server.numberOfSources(), 2u);
    EXPECT_EQ(server.source(1), b);
    std::int32_t isPrivate = 0;
    EXPECT_EQ(server.getIntegerProperty(own, kMIDIPropertyPrivate, &isPrivate), noErr);
    EXPECT_EQ(isPrivate, 1);
}

TEST_F(InProcessServerTest, PropertiesOfEndpointsClientsAndPorts) {
    const MIDIClientRef c = client();
    MIDIEndpointRef ext = 0;
    ASSERT_EQ(
        server.addExternalDestination({.name = "ORVANE", .model = "ORVANE", .manufacturer = "Malvo"}, &ext),
        noErr);
    std::string value = "stale";
    EXPECT_EQ(server.getStringProperty(ext, kMIDIPropertyName, &value), noErr);
    EXPECT_EQ(value, "ORVANE");
    EXPECT_EQ(server.getStringProperty(ext, kMIDIPropertyDisplayName, &value), noErr);
    EXPECT_EQ(value, "ORVANE");
    EXPECT_EQ(server.getStringProperty(ext, kMIDIPropertyManufacturer, &value), noErr);
    EXPECT_EQ(value, "Malvo");
    EXPECT_EQ(server.getStringProperty(ext, kMIDIPropertyImage, &value), kMIDIUnknownProperty);
    EXPECT_EQ(value, "");
    std::int32_t number = 7;
    EXPECT_EQ(server.getIntegerProperty(ext, "no such property", &number), kMIDIUnknownProperty);
    EXPECT_EQ(number, 0);
    EXPECT_EQ(server.getStringProperty(ext, kMIDIPropertyName, nullptr), kAudio_ParamError);

    // Hardware's own properties are not the clients' to change.
    EXPECT_EQ(server.setStringProperty(ext, kMIDIPropertyName, "x"), kMIDINotPermitted);
    EXPECT_EQ(server.setIntegerProperty(ext, kMIDIPropertyUniqueID, 5), kMIDINotPermitted);

    const MIDIPortRef out = outputPort(c);
    EXPECT_EQ(server.getStringProperty(c, kMIDIPropertyName, &value), noErr);
    EXPECT_EQ(value, "Sonabel");
    EXPECT_EQ(server.getStringProperty(out, kMIDIPropertyName, &value), noErr);
    EXPECT_EQ(value, "MIDI Out Port");
    EXPECT_EQ(server.getIntegerProperty(out, kMIDIPropertyUniqueID, &number), kMIDIUnknownProperty);
}

TEST_F(InProcessServerTest, PlugUnplugAndRenameNotifyEveryClientInOrder) {
    std::vector<Note> first, second;
    client(&first);
    client(&second);
    client(); // no notify block: nothing to call

    const MIDIEndpointRef source = externalSource("Toskar");
    ASSERT_EQ(server.renameExternalEndpoint(source, "Toskar MK2"), noErr);
    ASSERT_EQ(server.renameExternalEndpoint(source, "Toskar MK2"), noErr); // no change, no news
    ASSERT_EQ(server.removeExternalEndpoint(source), noErr);
    MIDIEndpointRef hidden = 0;
    ASSERT_EQ(server.addExternalDestination({.name = "Hidden", .isPrivate = true}, &hidden), noErr);
    ASSERT_EQ(server.renameExternalEndpoint(hidden, "Still hidden"), noErr); // private: changes unheard
    server.postIOError(0x42, -1);
    EXPECT_TRUE(first.empty()) << "nothing is delivered before runPending in manual mode";
    server.runPending();

    const std::vector<Note> expected{
        {kMIDIMsgObjectAdded, source, kMIDIObjectType_Source, ""},
        {kMIDIMsgSetupChanged},
        {kMIDIMsgPropertyChanged, source, kMIDIObjectType_Source, "name"},
        {kMIDIMsgSetupChanged},
        {kMIDIMsgObjectRemoved, source, kMIDIObjectType_Source, ""},
        {kMIDIMsgSetupChanged},
        {kMIDIMsgIOError},
    };
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    std::string name;
    EXPECT_EQ(server.getStringProperty(source, kMIDIPropertyName, &name), kMIDIObjectNotFound);
}

TEST_F(InProcessServerTest, DisposingAClientDisposesItsPortsAndEndpoints) {
    std::vector<Note> other, own;
    client(&other);
    const MIDIClientRef c = client(&own);
    std::vector<miditest::Packet> got;
    const MIDIPortRef in = packetPort(c, got);
    const MIDIPortRef out = outputPort(c);
    MIDIEndpointRef source = 0, dest = 0;
    ASSERT_EQ(server.createSource(c, "Sonabel Output 1", &source), noErr);
    ASSERT_EQ(server.createDestination(
                  c, "Sonabel Input 1", [](auto, auto, auto) {}, &dest),
              noErr);
    const MIDIEndpointRef ext = externalSource("Velmor");
    ASSERT_EQ(server.connectSource(in, ext, nullptr), noErr);
    server.runPending();
    other.clear();
    own.clear();
    ASSERT_EQ(server.sendFromSource(ext, noteOn()), noErr); // queued, never delivered

    ASSERT_EQ(server.disposeClient(c), noErr);
    server.runPending();
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(server.portsOf(c).empty());
    EXPECT_TRUE(server.endpointsOf(c).empty());
    EXPECT_EQ(server.disposePort(in), kMIDIInvalidPort);
    EXPECT_EQ(server.disposePort(out), kMIDIInvalidPort);
    EXPECT_EQ(server.numberOfSources(), 1u);
    EXPECT_EQ(server.numberOfDestinations(), 0u);
    // The others hear that its endpoints went; it hears nothing more itself.
    EXPECT_EQ(other, (std::vector<Note>{{kMIDIMsgObjectRemoved, source, kMIDIObjectType_Source, ""},
                                        {kMIDIMsgSetupChanged},
                                        {kMIDIMsgObjectRemoved, dest, kMIDIObjectType_Destination, ""},
                                        {kMIDIMsgSetupChanged}}));
    EXPECT_TRUE(own.empty());
}

TEST_F(InProcessServerTest, SendingGoesToDestinationsOnly) {
    const MIDIClientRef c = client();
    const MIDIPortRef out = outputPort(c);
    std::vector<miditest::Packet> got;
    const MIDIPortRef in = packetPort(c, got);
    const MIDIEndpointRef source = externalSource("Toskar MK2");
    MIDIEndpointRef own = 0;
    ASSERT_EQ(server.createSource(c, "Sonabel Output 1", &own), noErr);
    const MIDIEndpointRef dest = externalDestination("Toskar MK2");

    PacketListBuilder list;
    list.add(0, noteOn());
    EXPECT_EQ(server.send(out, source, list.list(), list.size()), kMIDIWrongEndpointType);
    EXPECT_EQ(server.send(out, own, list.list(), list.size()), kMIDIWrongEndpointType);
    EXPECT_EQ(server.send(in, dest, list.list(), list.size()), kMIDIInvalidPort);
    EXPECT_EQ(server.send(0, dest, list.list(), list.size()), kMIDIInvalidPort);
    EXPECT_EQ(server.send(out, 0, list.list(), list.size()), kMIDIUnknownEndpoint);
    EXPECT_EQ(server.received(dest, list.list(), list.size()), kMIDIWrongEndpointType);
    EXPECT_EQ(server.received(source, list.list(), list.size()), kMIDINotPermitted);
    EXPECT_EQ(server.connectSource(in, dest, nullptr), kMIDIWrongEndpointType);
    EXPECT_EQ(server.connectSource(out, source, nullptr), kMIDIInvalidPort);
    // A list whose count lies fails as a whole.
    EXPECT_EQ(server.send(out, dest, list.list(), list.size() - 1), kAudio_ParamError);
    EXPECT_EQ(server.send(out, dest, nullptr, 100), kAudio_ParamError);
    EXPECT_TRUE(server.takeReceived(dest).empty());

    ASSERT_EQ(server.send(out, dest, list.list(), list.size()), noErr);
    EXPECT_EQ(server.takeReceived(dest), (std::vector<ExternalPacket>{{5000, noteOn()}}))
        << "stamped with now";
}

TEST_F(InProcessServerTest, PacketListPortsGetPacketsOfAtMost256Bytes) {
    const MIDIClientRef c = client();
    std::vector<miditest::Packet> got;
    void* refCon = nullptr;
    const MIDIPortRef in = packetPort(c, got, &refCon);
    const MIDIEndpointRef source = externalSource("Pellandor");
    int tag = 0;
    ASSERT_EQ(server.connectSource(in, source, &tag), noErr);
    ASSERT_EQ(server.connectSource(in, source, &tag), noErr); // twice: still one delivery
    EXPECT_EQ(server.connectedSources(in), std::vector<MIDIEndpointRef>{source});

    const Bytes sysEx = miditest::eightBitSysEx(600);
    ASSERT_EQ(server.sendFromSource(source, sysEx, 777), noErr);
    EXPECT_EQ(server.runPending(), 1u);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& p : got) {
        EXPECT_LE(p.data.size(), 256u);
        EXPECT_EQ(p.timeStamp, 777u);
    }
    EXPECT_EQ(miditest::concat(got), sysEx);
    EXPECT_EQ(refCon, &tag);
}

TEST_F(InProcessServerTest, UniversalPacketPortsGetMIDI1Words) {
    const MIDIClientRef c = client();
    std::vector<std::uint32_t> words;
    const MIDIPortRef in = eventPort(c, words);
    const MIDIEndpointRef source = externalSource("Toskar MK2");
    ASSERT_EQ(server.connectSource(in, source, nullptr), noErr);

    const Bytes sysEx = miditest::eightBitSysEx(408);
    ASSERT_EQ(server.sendFromSource(source, noteOn()), noErr);
    ASSERT_EQ(server.sendFromSource(source, sysEx), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF8}), noErr);
    server.runPending();
    ASSERT_GE(words.size(), 3u);
    EXPECT_EQ(words.front(), 0x20903C64u);
    EXPECT_EQ(words.back(), 0x10F80000u);
    EXPECT_EQ(miditest::sysExMessages(words), std::vector<Bytes>{sysEx});

    MIDIPortRef port = 0;
    EXPECT_EQ(server.createInputPortWithProtocol(
                  c, "x", kMIDIProtocol_2_0, [](auto, auto, auto) {}, &port),
              kAudio_UnimplementedError);
    EXPECT_EQ(server.createInputPortWithProtocol(
                  c, "x", MIDIProtocolID(9), [](auto, auto, auto) {}, &port),
              kAudio_ParamError);
    EXPECT_EQ(server.createInputPortWithProtocol(c, "x", kMIDIProtocol_1_0, {}, &port), kAudio_ParamError);
}

TEST_F(InProcessServerTest, VirtualEndpointsCarryDataBetweenClients) {
    const MIDIClientRef a = client();
    const MIDIClientRef b = client();
    MIDIEndpointRef aOut = 0, aIn = 0;
    ASSERT_EQ(server.createSource(a, "A Output 1", &aOut), noErr);
    std::vector<miditest::Packet> atA;
    ASSERT_EQ(server.createDestination(
                  a, "A Input 1",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      auto p = miditest::packetsOf(l, n);
                      atA.insert(atA.end(), p.begin(), p.end());
                  },
                  &aIn),
              noErr);
    std::vector<miditest::Packet> atB;
    const MIDIPortRef bIn = packetPort(b, atB);
    ASSERT_EQ(server.connectSource(bIn, aOut, nullptr), noErr);
    const MIDIPortRef bOut = outputPort(b);

    PacketListBuilder list;
    list.add(0, noteOn());
    ASSERT_EQ(server.received(aOut, list.list(), list.size()), noErr);
    const Bytes big = miditest::eightBitSysEx(1000);
    PacketListBuilder bigList;
    bigList.add(9, big);
    ASSERT_EQ(server.send(bOut, aIn, bigList.list(), bigList.size()), noErr);
    server.runPending();
    ASSERT_EQ(atB.size(), 1u);
    EXPECT_EQ(atB[0].data, noteOn());
    EXPECT_EQ(miditest::concat(atA), big);
    for (const auto& p : atA)
        EXPECT_LE(p.data.size(), 256u);
}

TEST_F(InProcessServerTest, ExternalDestinationHandlerSeesPacketsAsSent) {
    const MIDIClientRef c = client();
    const MIDIPortRef out = outputPort(c);
    std::vector<ExternalPacket> heard;
    MIDIEndpointRef dest = 0;
    ASSERT_EQ(server.addExternalDestination({.name = "Toskar MK2"}, &dest,
                                            [&](MIDIEndpointRef d, const ExternalPacket& p) {
                                                EXPECT_EQ(d, dest);
                                                heard.push_back(p);
                                            }),
              noErr);
    // The longest message the MIDI object sends, in the list it builds for it.
    std::vector<std::uint8_t> buffer(65536);
    auto* list = reinterpret_cast<MIDIPacketList*>(buffer.data());
    const Bytes message = miditest::eightBitSysEx(65522);
    ASSERT_NE(
        MIDIPacketListAdd(list, buffer.size(), MIDIPacketListInit(list), 0, message.size(), message.data()),
        nullptr);
    ASSERT_EQ(server.send(out, dest, list, buffer.size()), noErr);
    server.runPending();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].data, message);
    EXPECT_TRUE(server.takeReceived(dest).empty());
}

TEST_F(InProcessServerTest, DeliveriesKeepTheOrderTheyWereCausedIn) {
    std::vector<std::string> log;
    MIDIClientRef c = 0;
    ASSERT_EQ(
        server.createClient(
            "c", [&](const MIDINotification* n) { log.push_back("n" + std::to_string(n->messageID)); }, &c),
        noErr);
    MIDIPortRef in = 0;
    ASSERT_EQ(server.createInputPortWithBlock(
                  c, "in",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      log.push_back("d" + std::to_string(miditest::packetsOf(l, n)[0].data[1]));
                  },
                  &in),
              noErr);
    const MIDIEndpointRef source = externalSource("Velmor");
    ASSERT_EQ(server.connectSource(in, source, nullptr), noErr);
    server.sendFromSource(source, Bytes{0x90, 1, 1});
    externalDestination("Other");
    server.sendFromSource(source, Bytes{0x90, 2, 1});
    server.runPending();
    EXPECT_EQ(log, (std::vector<std::string>{"n2", "n1", "d1", "n2", "n1", "d2"}));
}

TEST_F(InProcessServerTest, NothingReachesAPortAfterDisconnectOrDispose) {
    const MIDIClientRef c = client();
    std::vector<miditest::Packet> got;
    const MIDIPortRef in = packetPort(c, got);
    const MIDIEndpointRef source = externalSource("Velmor");
    ASSERT_EQ(server.connectSource(in, source, nullptr), noErr);
    server.sendFromSource(source, noteOn());
    ASSERT_EQ(server.disconnectSource(in, source), noErr);
    EXPECT_EQ(server.disconnectSource(in, source), kMIDINoConnection);
    ASSERT_EQ(server.connectSource(in, source, nullptr), noErr); // a new connection gets only new data
    server.runPending();
    EXPECT_TRUE(got.empty());

    // Disposing from inside the port's own block: no wait, and nothing after it.
    MIDIPortRef self = 0;
    int calls = 0;
    ASSERT_EQ(server.createInputPortWithBlock(
                  c, "self",
                  [&](auto, auto, auto) {
                      ++calls;
                      EXPECT_EQ(server.disposePort(self), noErr);
                  },
                  &self),
              noErr);
    ASSERT_EQ(server.connectSource(self, source, nullptr), noErr);
    server.sendFromSource(source, noteOn());
    server.sendFromSource(source, noteOn());
    server.runPending();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(got.size(), 2u);

    // Unplugging the source ends its connections.
    ASSERT_EQ(server.removeExternalEndpoint(source), noErr);
    EXPECT_TRUE(server.connectedSources(in).empty());
}

TEST_F(InProcessServerTest, EveryOperationCanBeMadeToFail) {
    const MIDIClientRef c = client();
    const MIDIPortRef out = outputPort(c);
    std::vector<miditest::Packet> got;
    const MIDIPortRef in = packetPort(c, got);
    const MIDIEndpointRef source = externalSource("Velmor");
    const MIDIEndpointRef dest = externalDestination("Velmor");
    MIDIEndpointRef own = 0;
    ASSERT_EQ(server.createSource(c, "own", &own), noErr);
    ASSERT_EQ(server.connectSource(in, source, nullptr), noErr);
    PacketListBuilder list;
    list.add(0, noteOn());
    const auto noBlock = [](auto, auto, auto) {};

    const std::vector<std::pair<ServerOperation, std::function<OSStatus()>>> calls{
        {ServerOperation::clientCreate,
         [&] {
             MIDIClientRef r = 1;
             const OSStatus s = server.createClient("x", {}, &r);
             EXPECT_EQ(r == 0, s != noErr);
             return s;
         }},
        {ServerOperation::clientDispose, [&] { return server.disposeClient(c); }},
        {ServerOperation::inputPortCreateWithProtocol,
         [&] {
             MIDIPortRef r;
             return server.createInputPortWithProtocol(c, "x", kMIDIProtocol_1_0, noBlock, &r);
         }},
        {ServerOperation::inputPortCreateWithBlock,
         [&] {
             MIDIPortRef r;
             return server.createInputPortWithBlock(c, "x", noBlock, &r);
         }},
        {ServerOperation::outputPortCreate,
         [&] {
             MIDIPortRef r;
             return server.createOutputPort(c, "x", &r);
         }},
        {ServerOperation::portDisconnectSource, [&] { return server.disconnectSource(in, source); }},
        {ServerOperation::portConnectSource, [&] { return server.connectSource(in, source, nullptr); }},
        {ServerOperation::getIntegerProperty,
         [&] {
             std::int32_t v;
             return server.getIntegerProperty(own, kMIDIPropertyUniqueID, &v);
         }},
        {ServerOperation::setIntegerProperty,
         [&] { return server.setIntegerProperty(own, kMIDIPropertyUniqueID, 2000001); }},
        {ServerOperation::getStringProperty,
         [&] {
             std::string v;
             return server.getStringProperty(own, kMIDIPropertyName, &v);
         }},
        {ServerOperation::setStringProperty,
         [&] { return server.setStringProperty(own, kMIDIPropertyName, "renamed"); }},
        {ServerOperation::send, [&] { return server.send(out, dest, list.list(), list.size()); }},
        {ServerOperation::received, [&] { return server.received(own, list.list(), list.size()); }},
        {ServerOperation::destinationCreate,
         [&] {
             MIDIEndpointRef r;
             return server.createDestination(c, "x", noBlock, &r);
         }},
        {ServerOperation::sourceCreate,
         [&] {
             MIDIEndpointRef r;
             return server.createSource(c, "x", &r);
         }},
        {ServerOperation::endpointDispose, [&] { return server.disposeEndpoint(own); }},
        {ServerOperation::portDispose, [&] { return server.disposePort(in); }},
    };
    for (const auto& [operation, call] : calls) {
        SCOPED_TRACE(std::string(serverOperationName(operation)));
        const auto portsBefore = server.portsOf(c);
        const auto endpointsBefore = server.endpointsOf(c);
        const auto connectionsBefore = server.connectedSources(in);
        server.failNext(operation, kMIDIMessageSendErr);
        EXPECT_EQ(call(), kMIDIMessageSendErr);
        EXPECT_EQ(server.portsOf(c), portsBefore);
        EXPECT_EQ(server.endpointsOf(c), endpointsBefore);
        EXPECT_EQ(server.connectedSources(in), connectionsBefore);
        if (operation != ServerOperation::clientDispose) {
            EXPECT_EQ(call(), noErr) << "only the next call fails";
        }
    }
    EXPECT_EQ(server.takeReceived(dest).size(), 1u);

    server.failNext(ServerOperation::send, -1, 2);
    EXPECT_EQ(server.send(out, dest, list.list(), list.size()), -1);
    server.clearFailures();
    EXPECT_EQ(server.send(out, dest, list.list(), list.size()), noErr);
}

TEST_F(InProcessServerTest, ASourceWhoseSysExNeverEndsIsHeardAgainAfterASecondOfSilenceAndIsBounded) {
    const MIDIClientRef c = client();
    std::vector<miditest::Packet> packets;
    std::vector<std::uint32_t> words;
    const MIDIEndpointRef source = externalSource("Velmor");
    ASSERT_EQ(server.connectSource(packetPort(c, packets), source, nullptr), noErr);
    ASSERT_EQ(server.connectSource(eventPort(c, words), source, nullptr), noErr);
    platform::ScopedLogCapture log;
    constexpr MIDITimeStamp second = 1'000'000'000, start = 5 * second;

    // The 8-bit contract: a second after its last packet, any packet (a note too) continues it.
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF0, 0x7D, 0x01}, start), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x90, 0x3C, 0x64}, start + second), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF0, 0xF7}, start + 2 * second), noErr);
    // Silent for more than a second: the unfinished one goes, with a line, and a note gets through.
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF0, 0x7D, 0x02}, start + 3 * second), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x90, 0x3C, 0x64}, start + 4 * second + 1), noErr);
    server.runPending();
    const Bytes whole{0xF0, 0x7D, 0x01, 0x90, 0x3C, 0x64, 0xF0, 0xF7};
    EXPECT_EQ(miditest::concat(packets),
              (Bytes{0xF0, 0x7D, 0x01, 0x90, 0x3C, 0x64, 0xF0, 0xF7, 0x90, 0x3C, 0x64}));
    EXPECT_EQ(packets.front().timeStamp, start + 2 * second);
    EXPECT_EQ(miditest::sysExMessages(words), std::vector<Bytes>{whole});
    EXPECT_EQ(words.back(), 0x20903C64u);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Velmor: an unfinished SysEx of 3 bytes is dropped"}));

    // Resuming with the dropped one's tail: the whole messages after it reach both kinds alike.
    // Bytes that begin no message (running status, an F0 behind a data byte) reach neither, with
    // a line: universal packets got the start of a SysEx that never ended.
    packets.clear();
    words.clear();
    log.clear();
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF0, 0x7D, 0x04}, start + 5 * second), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x03, 0xF7, 0xF0, 0x7D, 0x05, 0xF7, 0x90, 0x3C, 0x64},
                                    start + 6 * second + 1),
              noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x80, 0x3C, 0x00, 0x3E, 0x00}, start + 7 * second), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x3E, 0xF0, 0x60}, start + 7 * second), noErr);
    server.runPending();
    EXPECT_EQ(miditest::concat(packets), (Bytes{0xF0, 0x7D, 0x05, 0xF7, 0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00}));
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x7D, 0x05, 0xF7}}));
    EXPECT_EQ(std::vector<std::uint32_t>(words.end() - 2, words.end()),
              (std::vector<std::uint32_t>{0x20903C64u, 0x20803C00u}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Velmor: an unfinished SysEx of 3 bytes is dropped",
                               "MIDI input from Velmor: 2 bytes that begin no message are dropped",
                               "MIDI input from Velmor: 3 bytes that begin no message are dropped"}));

    // The same from a client's port to a virtual destination.
    log.clear();
    Bytes toDestination;
    MIDIEndpointRef destination = 0;
    ASSERT_EQ(server.createDestination(
                  c, "Virtual In",
                  [&](const MIDIPacketList* l, ByteCount n, void*) {
                      const auto bytes = miditest::concat(miditest::packetsOf(l, n));
                      toDestination.insert(toDestination.end(), bytes.begin(), bytes.end());
                  },
                  &destination),
              noErr);
    const MIDIPortRef out = outputPort(c);
    for (const auto& [time, bytes] : {std::pair{start, Bytes{0xF0, 0x7D, 0x03}},
                                      std::pair{start + second + 1, Bytes{0x90, 0x3C, 0x64}}}) {
        PacketListBuilder list;
        list.add(time, bytes);
        ASSERT_EQ(server.send(out, destination, list.list(), list.size()), noErr);
    }
    server.runPending();
    EXPECT_EQ(toDestination, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from MIDI Out Port: an unfinished SysEx of 3 bytes is dropped"}));

    // Beyond the bound the SysEx is dropped, with a line, and the rest of it up to its F7 skipped.
    packets.clear();
    words.clear();
    log.clear();
    Bytes chunk(65535, 0x55);
    chunk[0] = 0xF0;
    for (std::size_t sent = 0; sent <= SysExCollector::kMaxBytes; sent += chunk.size()) {
        ASSERT_EQ(server.sendFromSource(source, chunk, start), noErr);
        chunk[0] = 0x55;
    }
    ASSERT_EQ(server.sendFromSource(source, Bytes{0x01, 0xF7, 0xF0, 0x7D, 0xF7}, start), noErr);
    server.runPending();
    EXPECT_EQ(miditest::concat(packets), (Bytes{0xF0, 0x7D, 0xF7}));
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x7D, 0xF7}}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "MIDI input from Velmor: a SysEx longer than 1048576 bytes is dropped"}));
}

TEST_F(InProcessServerTest, UndefinedRealTimeBytesAndCutMessagesAreLeftOutAndTheMessagesAroundThemArrive) {
    const MIDIClientRef c = client();
    const struct {
        Bytes sent;
        Bytes packets;
        std::vector<std::uint32_t> words; // after the SysEx's
        std::vector<std::string> log = {};
    } cases[] = {
        {{0xF0, 0x7D, 0xF7, 0xC7, 0xFD, 0x02}, {0xF0, 0x7D, 0xF7, 0xC7, 0x02}, {0x20C70200u}},
        {{0xF9, 0x90, 0x3C, 0x64, 0xFD}, {0x90, 0x3C, 0x64}, {0x20903C64u}},
        {{0x90, 0xF9, 0x3C, 0xF8, 0xFD, 0x64, 0xC0, 0x05},
         {0xF8, 0x90, 0x3C, 0x64, 0xC0, 0x05},
         {0x10F80000u, 0x20903C64u, 0x20C00500u}},
        {{0xFD}, {}, {}},
        // A status byte cuts a message short and begins the next one.
        {{0x90, 0x3C, 0x80, 0x3C, 0x40},
         {0x80, 0x3C, 0x40},
         {0x20803C40u},
         {"MIDI input from Velmor 5: 2 bytes that begin no message are dropped"}},
        {{0x90, 0xF8, 0x3C, 0x80, 0x3C, 0x40},
         {0xF8, 0x80, 0x3C, 0x40},
         {0x10F80000u, 0x20803C40u},
         {"MIDI input from Velmor 6: 2 bytes that begin no message are dropped"}},
    };
    int n = 0;
    for (const auto& k : cases) {
        SCOPED_TRACE(::testing::PrintToString(k.sent));
        std::vector<miditest::Packet> packets;
        std::vector<std::uint32_t> words;
        const MIDIEndpointRef source = externalSource("Velmor " + std::to_string(++n));
        ASSERT_EQ(server.connectSource(packetPort(c, packets), source, nullptr), noErr);
        ASSERT_EQ(server.connectSource(eventPort(c, words), source, nullptr), noErr);
        platform::ScopedLogCapture log;
        ASSERT_EQ(server.sendFromSource(source, k.sent, 10), noErr);
        server.runPending();
        EXPECT_EQ(miditest::concat(packets), k.packets);
        ASSERT_GE(words.size(), k.words.size());
        EXPECT_EQ(std::vector<std::uint32_t>(words.end() - static_cast<std::ptrdiff_t>(k.words.size()),
                                             words.end()),
                  k.words);
        EXPECT_EQ(log.lines(), k.log);
    }
}

TEST_F(InProcessServerTest, ARealTimeByteInsideAMessageComesFirstAndTheMessageWholeAfterIt) {
    const MIDIClientRef c = client();
    std::vector<miditest::Packet> packets;
    std::vector<std::uint32_t> words;
    const MIDIEndpointRef source = externalSource("Velmor");
    ASSERT_EQ(server.connectSource(packetPort(c, packets), source, nullptr), noErr);
    ASSERT_EQ(server.connectSource(eventPort(c, words), source, nullptr), noErr);
    platform::ScopedLogCapture log;
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xF0, 0x01, 0xF7, 0x90, 0xF8, 0x3C, 0x64}, 10), noErr);
    ASSERT_EQ(server.sendFromSource(source, Bytes{0xB0, 0x07, 0xFE, 0xFA, 0x7F, 0xC0, 0x05}, 20), noErr);
    server.runPending();
    EXPECT_EQ(miditest::concat(packets),
              (Bytes{0xF0, 0x01, 0xF7, 0xF8, 0x90, 0x3C, 0x64, 0xFE, 0xFA, 0xB0, 0x07, 0x7F, 0xC0, 0x05}));
    EXPECT_EQ(miditest::sysExMessages(words), (std::vector<Bytes>{{0xF0, 0x01, 0xF7}}));
    ASSERT_GE(words.size(), 6u);
    EXPECT_EQ(std::vector<std::uint32_t>(words.end() - 6, words.end()),
              (std::vector<std::uint32_t>{0x10F80000u, 0x20903C64u, 0x10FE0000u, 0x10FA0000u, 0x20B0077Fu,
                                          0x20C00500u}));
    EXPECT_TRUE(log.lines().empty());
}
