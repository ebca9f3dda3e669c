// Own virtual destinations and sources: names, unique IDs, destruction, and what they receive.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/ServerOperation.h"

#include <gtest/gtest.h>

using namespace miditest;
using platform::midi::ServerOperation;
using IDs = std::vector<std::int32_t>;
using Names = std::vector<std::string>;

TEST(MIDIVirtual, CountBelowOneLogsAndCreatesNothing) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    capture.clear();
    rig.midi->createVirtualPorts(0);
    rig.midi->createVirtualInputPorts(-1);
    rig.midi->createVirtualOutputPorts(0);
    const std::string line = "Error: Number of port to create can't be less than one)";
    EXPECT_EQ(
        logContents(capture,
                    "createVirtualPorts(count:inputPortIDs:outputPortIDs:inputPortNames:outputPortNames:)"),
        Names{line});
    EXPECT_EQ(logContents(capture, "createVirtualInputPorts(count:uniqueIDs:names:)"), Names{line});
    EXPECT_EQ(logContents(capture, "createVirtualOutputPorts(count:uniqueIDs:names:)"), Names{line});
    EXPECT_EQ(rig.midi->virtualInputs(), std::vector<MIDIEndpointRef>{0});
}

TEST(MIDIVirtual, DefaultsNeverRepeatAcrossCallsAndAreLeftOutOfTheLists) {
    Rig rig(true);
    rig.addDestination("Velmor", 21);
    rig.midi->createVirtualPorts(2);
    const auto inputs = rig.midi->virtualInputs();
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_EQ(inputs[2], 0u);
    EXPECT_EQ(rig.midi->virtualInputNames(), (Names{"Sonabel Input 1", "Sonabel Input 2"}));
    EXPECT_EQ(rig.midi->virtualInputUIDs(), (std::vector<MIDIUniqueID>{2000000, 2000002}));
    EXPECT_EQ(rig.midi->virtualOutputNames(), (Names{"Sonabel Output 1", "Sonabel Output 2"}));
    EXPECT_EQ(rig.midi->virtualOutputUIDs(), (std::vector<MIDIUniqueID>{2000001, 2000003}));
    EXPECT_EQ(rig.midi->destinationUIDs(), std::vector<MIDIUniqueID>{21});
    EXPECT_TRUE(rig.midi->inputUIDs().empty());

    rig.midi->createVirtualInputPorts(2, IDs{77}, Names{"Named"}); // by position within the call
    EXPECT_EQ(rig.midi->virtualInputNames(),
              (Names{"Sonabel Input 1", "Sonabel Input 2", "Named", "Sonabel Input 3"}));
    EXPECT_EQ(rig.midi->virtualInputUIDs(), (std::vector<MIDIUniqueID>{2000000, 2000002, 77, 2000004}));
}

TEST(MIDIVirtual, GivenIDsComeFirstThenDefaults) {
    Rig rig(true);
    rig.midi->createVirtualInputPorts(2, IDs{42});
    EXPECT_EQ(rig.midi->virtualInputUIDs(), (std::vector<MIDIUniqueID>{42, 2000000}));
}

TEST(MIDIVirtual, TwoObjectsAskingForOneIDEachReportTheirOwn) {
    Rig rig(true);
    auto other = sonabel::MIDI::make({rig.server});
    auto sender = sonabel::MIDI::make({rig.server});
    rig.midi->createVirtualInputPorts(1, IDs{2000000}, Names{"A In"});
    other->createVirtualInputPorts(1, IDs{2000000}, Names{"B In"});
    const auto a = rig.midi->virtualInputUIDs();
    const auto b = other->virtualInputUIDs();
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a, std::vector<MIDIUniqueID>{2000000});
    EXPECT_NE(b[0], 2000000);

    rig.run();
    auto listener = std::make_shared<RecordingListener>();
    other->addListener(listener);
    sender->openOutput("B In");
    sender->sendNoteOnMessage(60, 1, 0);
    rig.run();
    ASSERT_EQ(listener->kinds(), Names{"noteOn"});
    EXPECT_EQ(listener->calls()[0].portID, b[0]); // the ID the endpoint really has
}

TEST(MIDIVirtual, RefusedCreationIsLoggedAndTheOtherPortsAreStillMade) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    rig.server->failNext(ServerOperation::destinationCreate, kMIDIInvalidClient);
    rig.server->failNext(ServerOperation::sourceCreate, kMIDIInvalidClient);
    capture.clear();
    rig.midi->createVirtualInputPorts(2, std::nullopt, Names{"First", "Second"});
    rig.midi->createVirtualOutputPorts(1);
    const auto lines = contents(capture);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Error -10830 Creating Virtual Input Port:\nFirst --\n0");
    EXPECT_NE(lines[1].find("kMIDIInvalidClient"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "Error -10830 Creating Virtual Output Port:\nSonabel Output 1 --\n0");
    EXPECT_EQ(rig.midi->virtualInputNames(), Names{"Second"});
    EXPECT_EQ(rig.midi->virtualOutputs(), (std::vector<MIDIEndpointRef>{0, 0}));
    EXPECT_TRUE(rig.midi->destroyAllVirtualPorts());
    EXPECT_EQ(rig.midi->virtualOutputs(), std::vector<MIDIEndpointRef>{0});
}

TEST(MIDIVirtual, DestroyDisposesEveryOwnEndpointAndReportsFailures) {
    Rig rig(true);
    EXPECT_FALSE(rig.midi->destroyVirtualInputPort());
    EXPECT_FALSE(rig.midi->destroyVirtualOutputPort());
    EXPECT_TRUE(rig.midi->destroyAllVirtualPorts()); // nothing failed

    rig.midi->createVirtualInputPorts(2);
    EXPECT_TRUE(rig.midi->destroyAllVirtualPorts()); // inputs only: still true
    EXPECT_EQ(rig.midi->virtualInputs(), std::vector<MIDIEndpointRef>{0});
    EXPECT_TRUE(rig.server->endpointsOf(rig.midi->client()).empty());

    rig.midi->createVirtualInputPorts(1);
    EXPECT_EQ(rig.midi->virtualInputUIDs(), std::vector<MIDIUniqueID>{2000000}); // defaults start over

    rig.midi->createVirtualOutputPorts(3);
    const auto outputs = rig.midi->virtualOutputs(); // [o1, o2, o3, 0]
    // The last port goes first; the middle one refuses: the rest stays listed.
    rig.server->failNext(ServerOperation::endpointDispose, noErr);
    rig.server->failNext(ServerOperation::endpointDispose, kMIDIUnknownEndpoint);
    EXPECT_FALSE(rig.midi->destroyVirtualOutputPort());
    EXPECT_EQ(rig.midi->virtualOutputs(), (std::vector<MIDIEndpointRef>{outputs[0], outputs[1], 0}));
    rig.server->failNext(ServerOperation::endpointDispose, kMIDIUnknownEndpoint);
    EXPECT_FALSE(rig.midi->destroyAllVirtualPorts());
    EXPECT_TRUE(rig.midi->destroyAllVirtualPorts());
    EXPECT_EQ(rig.midi->virtualOutputs(), std::vector<MIDIEndpointRef>{0});
    EXPECT_EQ(rig.midi->virtualInputs(), std::vector<MIDIEndpointRef>{0});
}

TEST(MIDIVirtual, VirtualInputDeliversEveryMessageWithItsUniqueIDAndSysExWhole) {
    platform::ScopedLogCapture capture;
    Rig rig(true);
    auto listener = rig.listen();
    rig.midi->createVirtualInputPorts(1, IDs{4711}, Names{"Own In"});
    auto sender = sonabel::MIDI::make({rig.server});
    rig.run();
    sender->openOutput("Own In");
    listener->clear();
    std::vector<std::uint8_t> sysex(300, 0x96);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    sender->sendMessage(sysex);
    sender->sendControllerMessage(7, 100, 1);
    rig.run();
    const auto calls = listener->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].bytes, sysex);
    EXPECT_EQ(calls[0].portID, 4711);
    EXPECT_EQ(calls[1].kind, "controller");
    EXPECT_FALSE(hasLine(capture, "No usable status detected in handleMIDIMessage"));
}
