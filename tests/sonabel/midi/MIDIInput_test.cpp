// Listing sources, opening and closing inputs, on a server that delivers when told to.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/ServerOperation.h"

#include <gtest/gtest.h>

using namespace miditest;
using platform::midi::ServerOperation;

namespace {

const std::vector<std::uint8_t> kNoteOn{0x90, 0x3C, 0x64};

struct Instruments : Rig {
    explicit Instruments(bool universal = true) : Rig(true, universal) {
        nameless = addSource("", 10);
        velmor = addSource("Velmor", 11);
        toskar = addSource("Toskar MK2", 12);
        run();
    }
    MIDIEndpointRef nameless, velmor, toskar;
};

std::vector<std::string> closeLines(const platform::ScopedLogCapture& capture) {
    return logContents(capture, "closeInput(uid:)");
}

} // namespace

TEST(MIDIInput, ListsNamedSourcesWithUniqueIDsButNotOwnVirtualOnesAsOneList) {
    Instruments rig;
    rig.midi->createVirtualOutputPorts(1, std::vector<std::int32_t>{90}, std::vector<std::string>{"Velmor"});
    EXPECT_EQ(rig.midi->inputNames(), (std::vector<std::string>{"Velmor", "Toskar MK2"}));
    EXPECT_EQ(rig.midi->inputUIDs(), (std::vector<MIDIUniqueID>{11, 12}));
    EXPECT_EQ(rig.midi->uidForInputAt(0), 11);
    EXPECT_EQ(rig.midi->uidForInputAt(2), 0);
    EXPECT_EQ(rig.midi->uidForInputAt(-1), 0);
    EXPECT_EQ(rig.midi->inputName(12), "Toskar MK2");
    EXPECT_EQ(rig.midi->inputName(10), std::nullopt);
}

TEST(MIDIInput, OpensByNameUniqueIDOrIndexTheSourceThatIsListed) {
    for (bool universal : {true, false}) {
        Instruments rig(universal);
        auto listener = rig.listen();
        // The nameless source stands first in the server's list: index 0 is still Velmor.
        rig.midi->openInputAtIndex(0);
        EXPECT_EQ(rig.server->connectedSources(rig.midi->inputPorts().at(11)),
                  std::vector<MIDIEndpointRef>{rig.velmor});
        rig.midi->openInput(MIDIUniqueID{12});
        rig.midi->openInput("Nobody"); // unknown name: nothing
        EXPECT_EQ(rig.midi->inputPorts().size(), 2u);
        EXPECT_EQ(rig.midi->endpoints(),
                  (std::map<MIDIUniqueID, MIDIEndpointRef>{{11, rig.velmor}, {12, rig.toskar}}));

        rig.server->sendFromSource(rig.toskar, kNoteOn, 500);
        rig.run();
        ASSERT_EQ(listener->count(), 1u);
        EXPECT_EQ(listener->calls()[0].portID, 12);
        // Packet lists stamp only SysEx and one-byte system messages.
        EXPECT_EQ(listener->calls()[0].timeStamp,
                  universal ? std::optional<MIDITimeStamp>(500) : std::nullopt);
    }
}

TEST(MIDIInput, EmptyNameOpensEveryListedSourceAndOpeningTwiceDeliversOnce) {
    Instruments rig;
    auto listener = rig.listen();
    rig.midi->openInput("");
    rig.midi->openInput("Velmor");
    rig.midi->openInput(MIDIUniqueID{0});
    EXPECT_EQ(rig.midi->inputPorts().size(), 2u);
    EXPECT_EQ(rig.server->portsOf(rig.midi->client()).size(), 2u);
    rig.server->sendFromSource(rig.velmor, kNoteOn);
    rig.run();
    EXPECT_EQ(listener->count(), 1u);
}

TEST(MIDIInput, RefusedPortIsLoggedAndRecordsNothing) {
    for (bool universal : {true, false}) {
        platform::ScopedLogCapture capture;
        Instruments rig(universal);
        rig.server->failNext(universal ? ServerOperation::inputPortCreateWithProtocol
                                       : ServerOperation::inputPortCreateWithBlock,
                             kMIDIInvalidClient);
        rig.midi->openInput("Velmor");
        EXPECT_TRUE(hasLine(capture, "Error creating MIDI Input Port: -10830"));
        EXPECT_TRUE(rig.midi->inputPorts().empty());
        EXPECT_TRUE(rig.midi->endpoints().empty());
        EXPECT_TRUE(rig.server->portsOf(rig.midi->client()).empty());
        rig.midi->openInput("Velmor"); // not left half-open: the next try opens it
        EXPECT_EQ(rig.midi->inputPorts().size(), 1u);
    }
}

TEST(MIDIInput, ClosingLogsAndRemovesOnlyTheInputsEntries) {
    platform::ScopedLogCapture capture;
    Instruments rig;
    rig.addDestination("Velmor", 21);
    rig.midi->openInput("Velmor");
    rig.midi->openOutput("Velmor");
    capture.clear();
    rig.midi->closeInput("Velmor");
    EXPECT_EQ(closeLines(capture),
              (std::vector<std::string>{"Closing MIDI Input 'Velmor'",
                                        "Disconnected Velmor and removed it from endpoints and input ports",
                                        "Disposed Velmor"}));
    EXPECT_TRUE(rig.midi->inputPorts().empty());
    EXPECT_EQ(rig.midi->endpoints().size(), 1u);                       // the destination stays
    EXPECT_TRUE(rig.server->portsOf(rig.midi->client()).size() == 1u); // the output port

    capture.clear();
    rig.midi->closeInput(MIDIUniqueID{999});
    rig.midi->closeInput(MIDIUniqueID{12}); // listed, not open
    rig.midi->closeInput("Nobody");
    EXPECT_EQ(closeLines(capture),
              (std::vector<std::string>{"Trying to close midi input 999, but no name was found",
                                        "Closing MIDI Input 'Toskar MK2'"}));
}

TEST(MIDIInput, CloseAllClosesEveryOpenInputAndNothingArrivesAfterwards) {
    Instruments rig;
    auto listener = rig.listen();
    rig.midi->openInput("");
    rig.server->sendFromSource(rig.velmor, kNoteOn); // queued, not yet delivered
    rig.midi->closeInput();
    rig.run();
    EXPECT_EQ(listener->count(), 0u);
    EXPECT_TRUE(rig.midi->inputPorts().empty());
    EXPECT_TRUE(rig.midi->endpoints().empty());
    EXPECT_TRUE(rig.server->portsOf(rig.midi->client()).empty());
}

TEST(MIDIInput, ClosesFromTheInputTableAfterUnplugOrClearedEndpoints) {
    platform::ScopedLogCapture capture;
    Instruments rig;
    rig.midi->openInput("Velmor");
    rig.midi->openInput("Toskar MK2");
    rig.server->removeExternalEndpoint(rig.velmor);
    rig.run();
    capture.clear();
    rig.midi->closeInput("Velmor"); // no longer listed: found by the name given at open
    EXPECT_EQ(closeLines(capture),
              (std::vector<std::string>{"Closing MIDI Input 'Velmor'",
                                        "Velmor was unplugged: nothing to disconnect", "Disposed Velmor"}));
    for (const auto& entry : capture.entries())
        EXPECT_NE(entry.level, platform::LogLevel::error) << entry.text;
    EXPECT_EQ(rig.midi->inputPorts().count(11), 0u);

    rig.midi->clearEndpoints();
    rig.midi->closeInput(MIDIUniqueID{12});
    EXPECT_TRUE(rig.midi->inputPorts().empty());
    EXPECT_TRUE(rig.server->portsOf(rig.midi->client()).empty());
}

TEST(MIDIInput, AReplugUnderTheSameUniqueIDIsOpenedAnew) {
    Instruments rig;
    auto listener = rig.listen();
    rig.midi->openInput("Velmor");
    rig.server->removeExternalEndpoint(rig.velmor);
    const auto again = rig.addSource("Velmor", 11);
    rig.midi->openInput("Velmor");
    EXPECT_EQ(rig.server->portsOf(rig.midi->client()).size(), 1u);
    rig.server->sendFromSource(again, kNoteOn);
    rig.run();
    EXPECT_EQ(listener->kinds(),
              (std::vector<std::string>{"notification", "setup", "notification", "setup", "noteOn"}));
}

TEST(MIDIInput, FailedDisconnectOrDisposeIsLoggedAndEntriesFollowTheDispose) {
    platform::ScopedLogCapture capture;
    Instruments rig;
    rig.midi->openInput("Velmor");
    rig.server->failNext(ServerOperation::portDisconnectSource, kMIDINoConnection);
    capture.clear();
    rig.midi->closeInput("Velmor");
    EXPECT_EQ(closeLines(capture),
              (std::vector<std::string>{"Closing MIDI Input 'Velmor'",
                                        "Error disconnecting MIDI port: -10833", "Disposed Velmor"}));
    EXPECT_TRUE(rig.midi->inputPorts().empty()); // disposed, so nothing can arrive: gone

    rig.midi->openInput("Velmor");
    rig.server->failNext(ServerOperation::portDisconnectSource, kMIDINoConnection);
    rig.server->failNext(ServerOperation::portDispose, kMIDIInvalidPort);
    capture.clear();
    rig.midi->closeInput("Velmor");
    EXPECT_EQ(closeLines(capture), (std::vector<std::string>{"Closing MIDI Input 'Velmor'",
                                                             "Error disconnecting MIDI port: -10833",
                                                             "Error displosing  MIDI port: -10831"}));
    EXPECT_EQ(rig.midi->inputPorts().size(), 1u); // still connected: still open
    rig.midi->closeInput("Velmor");
    EXPECT_TRUE(rig.midi->inputPorts().empty());
}

TEST(MIDIInput, SysExLeftUnfinishedByAVanishedSourceIsDropped) {
    Instruments rig;
    auto listener = rig.listen();
    rig.midi->openInput("Velmor");
    const auto piece = [&](std::uint32_t first) {
        const AlignedBuffer list(eventListBytes({{1, {first, 0x01020304}}}));
        rig.midi->receiveEventList(list.as<MIDIEventList>(), list.size(), 11);
    };
    piece(0x30167E7F); // start
    rig.server->removeExternalEndpoint(rig.velmor);
    rig.run();
    listener->clear();
    piece(0x30320000); // an end without its start now
    EXPECT_EQ(listener->count(), 0u);
}

TEST(MIDIInput, APacketListInputGivesUpASysExWhoseF7DoesNotComeWithinASecond) {
    Instruments rig(false);
    auto listener = rig.listen();
    rig.midi->openInput("Velmor");
    const auto send = [&](MIDITimeStamp time, const std::vector<std::uint8_t>& bytes) {
        rig.server->sendFromSource(rig.velmor, bytes, time);
        rig.run();
    };
    constexpr MIDITimeStamp start = 5'000'000'000;
    send(start, {0xF0, 0x01, 0x02});
    send(start + 1'000'000'000, kNoteOn); // still the SysEx's
    EXPECT_EQ(listener->count(), 0u);
    send(start + 2'000'000'001, kNoteOn);
    send(start + 2'000'000'001, {0xF0, 0x03, 0xF7});
    ASSERT_EQ(listener->kinds(), (std::vector<std::string>{"noteOn", "system"}));
    EXPECT_EQ(listener->calls()[1].bytes, (std::vector<std::uint8_t>{0xF0, 0x03, 0xF7}));
}
