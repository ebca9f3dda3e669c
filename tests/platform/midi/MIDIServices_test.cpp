// The platform-named calls: which server they reach and what they hand it.
#include "platform/midi/MIDIServices.h"
#include "platform/midi/inprocess/InProcessServer.h"
#include "testing/MIDITestSupport.h"

#include <gtest/gtest.h>

using namespace platform::midi;

TEST(MIDIServices, TheFirstCallInstallsAnEmptyInProcessServer) {
    setMIDIServer(nullptr);
    EXPECT_EQ(MIDIGetNumberOfSources(), 0u);
    EXPECT_EQ(MIDIGetSource(0), 0u);
    auto first = currentMIDIServer();
    ASSERT_NE(dynamic_cast<InProcessServer*>(first.get()), nullptr);
    EXPECT_EQ(currentMIDIServer(), first);
    MIDIClientRef client = 0;
    EXPECT_EQ(MIDIClientCreateWithBlock("Sonabel", &client, {}), noErr);
    EXPECT_NE(client, 0u);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
    setMIDIServer(nullptr);
}

TEST(MIDIServices, CallsReachTheInstalledServer) {
    InProcessServerConfig config;
    config.manualDelivery = true;
    auto server = std::make_shared<InProcessServer>(config);
    setMIDIServer(server);

    MIDIEndpointRef toskar = 0, toskarIn = 0;
    ASSERT_EQ(server->addExternalSource({.name = "Toskar MK2", .uniqueID = 1234}, &toskar), noErr);
    ASSERT_EQ(server->addExternalDestination({.name = "Toskar MK2"}, &toskarIn), noErr);
    ASSERT_EQ(MIDIGetNumberOfSources(), 1u);
    ASSERT_EQ(MIDIGetSource(0), toskar);
    ASSERT_EQ(MIDIGetNumberOfDestinations(), 1u);
    ASSERT_EQ(MIDIGetDestination(0), toskarIn);
    std::string name;
    EXPECT_EQ(MIDIObjectGetStringProperty(toskar, kMIDIPropertyName, &name), noErr);
    EXPECT_EQ(name, "Toskar MK2");
    std::int32_t uid = 0;
    EXPECT_EQ(MIDIObjectGetIntegerProperty(toskar, kMIDIPropertyUniqueID, &uid), noErr);
    EXPECT_EQ(uid, 1234);

    server->failNext(ServerOperation::clientCreate, kMIDIServerStartErr);
    MIDIClientRef client = 99;
    EXPECT_EQ(MIDIClientCreateWithBlock("Sonabel", &client, {}), kMIDIServerStartErr);
    EXPECT_EQ(client, 0u);
    ASSERT_EQ(MIDIClientCreateWithBlock("Sonabel", &client, {}), noErr);

    std::vector<miditest::Packet> got;
    MIDIPortRef in = 0, out = 0;
    ASSERT_EQ(MIDIInputPortCreateWithBlock(client, "MIDI In Port", &in,
                                           [&](const MIDIPacketList* l, ByteCount n, void*) {
                                               auto p = miditest::packetsOf(l, n);
                                               got.insert(got.end(), p.begin(), p.end());
                                           }),
              noErr);
    ASSERT_EQ(MIDIOutputPortCreate(client, "MIDI Out Port", &out), noErr);
    ASSERT_EQ(MIDIPortConnectSource(in, toskar, nullptr), noErr);
    MIDIEndpointRef virtualIn = 0, virtualOut = 0;
    ASSERT_EQ(MIDIDestinationCreateWithBlock(client, "Sonabel Input 1", &virtualIn, [](auto, auto, auto) {}),
              noErr);
    ASSERT_EQ(MIDISourceCreate(client, "Sonabel Output 1", &virtualOut), noErr);
    EXPECT_EQ(MIDIObjectSetIntegerProperty(virtualIn, kMIDIPropertyPrivate, 1), noErr);
    EXPECT_EQ(MIDIGetNumberOfDestinations(), 1u);
    EXPECT_EQ(MIDIObjectSetStringProperty(virtualOut, kMIDIPropertyName, "Renamed"), noErr);

    // A fixed 272-byte list, as sendMessageWithTime builds it.
    MIDIPacketList list;
    const std::uint8_t bytes[] = {0x90, 0x3C, 0x64};
    ASSERT_NE(MIDIPacketListAdd(&list, sizeof list, MIDIPacketListInit(&list), 0, 3, bytes), nullptr);
    EXPECT_EQ(MIDISend(out, toskarIn, &list, sizeof list), noErr);
    EXPECT_EQ(MIDISend(out, toskar, &list, sizeof list), kMIDIWrongEndpointType);
    EXPECT_EQ(MIDIReceived(virtualOut, &list, sizeof list), noErr);
    EXPECT_EQ(server->takeReceived(toskarIn).size(), 1u);

    ASSERT_EQ(server->sendFromSource(toskar, std::vector<std::uint8_t>{0xF8}), noErr);
    server->runPending();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, std::vector<std::uint8_t>{0xF8});

    EXPECT_EQ(MIDIPortDisconnectSource(in, toskar), noErr);
    EXPECT_EQ(MIDIPortDispose(in), noErr);
    EXPECT_EQ(MIDIEndpointDispose(virtualIn), noErr);
    EXPECT_EQ(MIDIEndpointDispose(0), kMIDIUnknownEndpoint);
    EXPECT_EQ(MIDIClientDispose(client), noErr);
    EXPECT_TRUE(server->endpointsOf(client).empty());
    setMIDIServer(nullptr);
}
