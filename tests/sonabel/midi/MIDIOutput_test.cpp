// Destinations, the output port and the send path, read back byte for byte at the destinations.
#include "MIDIObjectTestSupport.h"
#include "MIDITestSupport.h"

#include "platform/midi/ServerOperation.h"
#include "testing/RefusingServer.h"

#include <functional>

#include <gtest/gtest.h>

using namespace miditest;
using platform::midi::ExternalPacket;
using platform::midi::SendFailure;
using platform::midi::ServerOperation;
using Outcome = sonabel::MIDISendOutcome;

namespace sonabel {
void PrintTo(const MIDISendOutcome& outcome, std::ostream* out) {
    *out << "{kind " << int(outcome.kind) << ", \"" << outcome.reason << "\"}";
}
} // namespace sonabel

namespace {

constexpr const char* kSendMessage = "sendMessage(_:offset:endpointsUIDs:virtualOutputPorts:)";
constexpr const char* kSendWithTime = "sendMessageWithTime(_:time:endpointsUIDs:virtualOutputPorts:)";

struct Studio : Rig {
    Studio() : Rig(true) {
        velmorIn = addSource("Velmor", 11);
        velmor = addDestination("Velmor", 21);
        toskar = addDestination("Toskar MK2", 22);
        run();
    }
    std::vector<std::uint8_t> onlyPacket(MIDIEndpointRef destination) {
        const auto packets = server->takeReceived(destination);
        if (packets.size() != 1) return {};
        return packets[0].data;
    }
    MIDIEndpointRef velmorIn, velmor, toskar;
};

std::vector<std::uint8_t> sysEx(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i % 0xF0); // 8-bit values too
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

} // namespace

TEST(MIDIOutput, OpensByNameAndAnUnknownNameOpensEveryDestination) {
    Studio rig;
    EXPECT_EQ(rig.midi->destinationNames(), (std::vector<std::string>{"Velmor", "Toskar MK2"}));
    EXPECT_EQ(rig.midi->destinationName(22), "Toskar MK2");
    EXPECT_EQ(rig.midi->destinationName(99), "Unknown");
    EXPECT_EQ(rig.midi->uidForDestinationAt(1), 22);
    rig.midi->openOutput("Toskar MK2");
    EXPECT_EQ(rig.midi->endpoints(), (std::map<MIDIUniqueID, MIDIEndpointRef>{{22, rig.toskar}}));
    EXPECT_NE(rig.midi->outputPort(), 0u);
    const auto port = rig.midi->outputPort();
    rig.midi->openOutput("Nobody");
    EXPECT_EQ(rig.midi->endpoints().size(), 2u);
    EXPECT_EQ(rig.midi->outputPort(), port); // reused
    rig.midi->closeOutput("Nobody");         // does nothing
    EXPECT_EQ(rig.midi->endpoints().size(), 2u);
}

TEST(MIDIOutput, ClosingTheLastEndpointDisposesThePortOnlyWhenNoInputIsLeft) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openInput("Velmor");
    rig.midi->openOutput("Velmor");
    capture.clear();
    rig.midi->closeOutput(MIDIUniqueID{0});
    rig.midi->closeOutput("Velmor");
    EXPECT_EQ(logContents(capture, "closeOutput(uid:)"),
              (std::vector<std::string>{"Closing MIDI Output 'Unknown'", "Closing MIDI Output 'Velmor'",
                                        "Disconnected Velmor and removed it from endpoints"}));
    EXPECT_NE(rig.midi->outputPort(), 0u); // the input keeps the table non-empty

    rig.midi->openOutput(MIDIUniqueID{21});
    rig.midi->closeInput();
    capture.clear();
    rig.server->failNext(ServerOperation::portDispose, kMIDIInvalidPort);
    rig.midi->closeOutput(MIDIUniqueID{21});
    EXPECT_EQ(logContents(capture, "closeOutput(uid:)"),
              (std::vector<std::string>{"Closing MIDI Output 'Velmor'",
                                        "Disconnected Velmor and removed it from endpoints",
                                        "Error disposing  MIDI Output port: -10831"}));
    EXPECT_EQ(rig.midi->outputPort(), 0u);

    rig.midi->openOutput(MIDIUniqueID{21});
    capture.clear();
    rig.midi->closeOutput(MIDIUniqueID{21});
    EXPECT_EQ(logContents(capture, "closeOutput(uid:)").back(), "Disposed MIDI Output port");
}

TEST(MIDIOutput, RefusedOutputPortOpensNothing) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.server->failNext(ServerOperation::outputPortCreate, kMIDIInvalidClient);
    rig.midi->openOutput("Velmor");
    EXPECT_EQ(logContents(capture, "openOutput(uid:)"),
              std::vector<std::string>{"Unable to create MIDIOutputPort"});
    EXPECT_TRUE(rig.midi->endpoints().empty());
    EXPECT_EQ(rig.midi->outputPort(), 0u);
}

TEST(MIDIOutput, SendMessageTakesUpTo65522BytesInOnePacket) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openOutput("Velmor");
    const auto sysex408 = sysEx(408);
    rig.midi->sendMessage(sysex408, 0);
    EXPECT_EQ(rig.onlyPacket(rig.velmor), sysex408);

    const auto largest = sysEx(65522);
    rig.midi->sendMessage(largest, 0);
    EXPECT_EQ(rig.onlyPacket(rig.velmor), largest);
    EXPECT_TRUE(logContents(capture, kSendMessage).empty());

    rig.midi->sendMessage(sysEx(65523), 0);
    EXPECT_TRUE(rig.server->takeReceived(rig.velmor).empty());
    EXPECT_EQ(logContents(capture, kSendMessage),
              std::vector<std::string>{
                  "error sending midi : data array is too large, requires a buffer larger than 65536"});
}

TEST(MIDIOutput, SendMessageWithTimeTakesUpTo256BytesWithItsTime) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openOutput("Velmor");
    const auto full = sysEx(256);
    rig.midi->sendMessageWithTime(full, 123456);
    const auto packets = rig.server->takeReceived(rig.velmor);
    EXPECT_EQ(packets, (std::vector<ExternalPacket>{{123456, full}}));

    // 258 bytes would exactly fill the one-packet list, and still go past the packet's data area.
    rig.midi->sendMessageWithTime(sysEx(257), 1);
    rig.midi->sendMessageWithTime(sysEx(258), 1);
    EXPECT_TRUE(rig.server->takeReceived(rig.velmor).empty());
    EXPECT_EQ(logContents(capture, kSendWithTime),
              std::vector<std::string>(2, "error sending midi: Failed to add packet to packet list."));
}

TEST(MIDIOutput, SendsGoToOpenedDestinationsOnlyNeverToOpenedSources) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openInput("Velmor");
    rig.midi->openOutput("Velmor");
    rig.midi->openOutput("Toskar MK2");
    const std::vector<std::uint8_t> message{0xF0, 0x00, 0x66, 0x2B, 0x96, 0xF7};
    rig.midi->sendEvent(sonabel::MIDIEvent(message));
    EXPECT_EQ(rig.onlyPacket(rig.velmor), message);
    EXPECT_EQ(rig.onlyPacket(rig.toskar), message);
    EXPECT_TRUE(logContents(capture, kSendMessage).empty()); // the source was not tried

    rig.midi->sendMessage(message, 0, std::vector<MIDIUniqueID>{11, 99}); // a source, an unknown
    rig.midi->sendMessage(message, 0, std::vector<MIDIUniqueID>{});
    EXPECT_TRUE(rig.server->takeReceived(rig.velmor).empty());
    EXPECT_TRUE(rig.server->takeReceived(rig.toskar).empty());
    rig.midi->sendMessage(message, 0, std::vector<MIDIUniqueID>{22});
    EXPECT_TRUE(rig.server->takeReceived(rig.velmor).empty());
    EXPECT_EQ(rig.onlyPacket(rig.toskar), message);
    EXPECT_TRUE(logContents(capture, kSendMessage).empty());
}

TEST(MIDIOutput, AFailedSendIsLoggedAndTheOthersStillGo) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openOutput(MIDIUniqueID{0});
    rig.server->failNext(ServerOperation::send, kMIDIMessageSendErr);
    rig.midi->sendNoteOnMessage(60, 100, 0);
    EXPECT_EQ(logContents(capture, kSendMessage), std::vector<std::string>{"error sending midi: -10838"});
    EXPECT_EQ(rig.server->takeReceived(rig.velmor).size() + rig.server->takeReceived(rig.toskar).size(), 1u);
}

TEST(MIDIOutput, ChannelMessagesAreByteExactMaskedAndCheckTheChannel) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->openOutput("Velmor");
    rig.midi->sendPitchBendMessage(8192, 0);
    EXPECT_EQ(hex(rig.onlyPacket(rig.velmor)), "E0 00 40");
    rig.midi->sendPitchBendMessage(0xFFFFF, 3); // only the low 14 bits
    EXPECT_EQ(hex(rig.onlyPacket(rig.velmor)), "E3 7F 7F");
    rig.midi->sendNoteOnMessage(60, 100, 15);
    EXPECT_EQ(hex(rig.onlyPacket(rig.velmor)), "9F 3C 64");
    rig.midi->sendNoteOffMessage(200, 255, 1); // data bytes cut to 7 bits
    EXPECT_EQ(hex(rig.onlyPacket(rig.velmor)), "81 48 7F");
    rig.midi->sendControllerMessage(7, 127, 2);
    EXPECT_EQ(hex(rig.onlyPacket(rig.velmor)), "B2 07 7F");
    rig.midi->sendNoteOnMessageWithTime(61, 1, 4, 777);
    EXPECT_EQ(rig.server->takeReceived(rig.velmor), (std::vector<ExternalPacket>{{777, {0x94, 0x3D, 0x01}}}));
    rig.midi->sendNoteOffMessageWithTime(61, 0, 5, 778);
    EXPECT_EQ(rig.server->takeReceived(rig.velmor), (std::vector<ExternalPacket>{{778, {0x85, 0x3D, 0x00}}}));

    capture.clear();
    rig.midi->sendNoteOnMessage(60, 100, 16);
    rig.midi->sendPitchBendMessage(0, 255);
    EXPECT_TRUE(rig.server->takeReceived(rig.velmor).empty());
    EXPECT_EQ(contents(capture), (std::vector<std::string>{"error sending midi: invalid channel 16",
                                                           "error sending midi: invalid channel 255"}));
}

TEST(MIDIOutput, OwnVirtualSourcesGetOnlyTheListedPortsAndOnlyWhenOneExists) {
    Studio rig;
    auto other = sonabel::MIDI::make({rig.server});
    auto listener = std::make_shared<RecordingListener>();
    other->addListener(listener);
    rig.midi->sendMessage(std::vector<std::uint8_t>{0xC0, 0x01}, 0, std::nullopt,
                          std::vector<MIDIPortRef>{1});
    rig.midi->createVirtualOutputPorts(1, std::vector<std::int32_t>{500},
                                       std::vector<std::string>{"Own Out"});
    rig.run();
    other->openInput("Own Out");
    listener->clear();
    const auto own = rig.midi->virtualOutputs()[0];
    rig.midi->sendMessage(std::vector<std::uint8_t>{0xC0, 0x02}); // no ports listed: none fed
    rig.midi->sendMessage(std::vector<std::uint8_t>{0xC0, 0x03}, 0, std::nullopt,
                          std::vector<MIDIPortRef>{own});
    rig.run();
    ASSERT_EQ(listener->count(), 1u);
    EXPECT_EQ(listener->calls()[0].bytes, std::vector<std::uint8_t>{0x03});
    EXPECT_EQ(listener->calls()[0].portID, 500);
}

TEST(MIDIOutput, ASendTellsHowItWentAndTheOtherDestinationsStillGetIt) {
    const std::vector<std::uint8_t> message{0xF0, 0x7D, 0x01, 0xF7};
    struct Case {
        const char* what;
        // Makes the send to Velmor fail, if it is to; returns the MIDI object to send with.
        std::function<std::shared_ptr<sonabel::MIDI>(Studio&)> arrange;
        Outcome outcome;
        std::vector<std::string> logged;
        bool toskarGetsIt = true;
    };
    const auto opened = [](const std::shared_ptr<sonabel::MIDI>& midi) {
        midi->openOutput("Velmor");
        midi->openOutput("Toskar MK2");
        return midi;
    };
    const std::vector<Case> cases{
        {"sent", [&](Studio& rig) { return opened(rig.midi); }, {}, {}},
        {"a bare status",
         [&](Studio& rig) {
             rig.server->failNext(ServerOperation::send, kMIDIMessageSendErr);
             return opened(rig.midi);
         },
         {Outcome::Kind::refused, "the MIDI server refused it (kMIDIMessageSendErr)"},
         {"error sending midi: -10838"}},
        {"a destination unplugged after it was opened",
         [&](Studio& rig) {
             opened(rig.midi);
             rig.server->removeExternalEndpoint(rig.velmor);
             return rig.midi;
         },
         {Outcome::Kind::gone, "the destination is no longer there"},
         {"error sending midi: -10834"}},
        {"the server's own account",
         [&](Studio& rig) {
             auto refusing = std::make_shared<RefusingServer>(rig.server);
             auto midi = opened(sonabel::MIDI::make({refusing}));
             refusing->refuse(kMIDIMessageSendErr, {SendFailure::Kind::stalled, "the receiver took nothing"});
             return midi;
         },
         {Outcome::Kind::stalled, "the receiver took nothing"},
         {"error sending midi: -10838", "error sending midi: -10838"},
         false},
        {"nothing opened",
         [&](Studio& rig) { return rig.midi; },
         {Outcome::Kind::gone, "no destination is open"},
         {},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        platform::ScopedLogCapture capture;
        Studio rig;
        const auto midi = c.arrange(rig);
        capture.clear();
        EXPECT_EQ(midi->sendEventWithOutcome(sonabel::MIDIEvent(message)), c.outcome);
        EXPECT_EQ(logContents(capture, kSendMessage), c.logged);
        EXPECT_EQ(rig.onlyPacket(rig.toskar), c.toskarGetsIt ? message : std::vector<std::uint8_t>{});
    }
}

TEST(MIDIOutput, AMessageThatCannotBeSentAtAllIsRefused) {
    Studio rig;
    rig.midi->openOutput("Velmor");
    EXPECT_EQ(rig.midi->sendMessageWithOutcome(sysEx(65522)), Outcome{});
    EXPECT_EQ(rig.midi->sendMessageWithOutcome(sysEx(65523)),
              (Outcome{Outcome::Kind::refused, "the message is longer than 65522 bytes"}));
    EXPECT_EQ(rig.server->takeReceived(rig.velmor).size(), 1u);
}

TEST(MIDIOutput, ASendThroughAnOwnSourceThatIsGoneIsLoggedAndTold) {
    platform::ScopedLogCapture capture;
    Studio rig;
    rig.midi->createVirtualOutputPorts(1);
    const auto gone = rig.midi->virtualOutputs()[0];
    ASSERT_TRUE(rig.midi->destroyVirtualOutputPort());
    rig.midi->createVirtualOutputPorts(1);
    const auto kept = rig.midi->virtualOutputs()[0];
    capture.clear();
    const std::vector<std::uint8_t> note{0x90, 0x3C, 0x64};
    EXPECT_EQ(rig.midi->sendMessageWithOutcome(note, 0, std::nullopt, std::vector<MIDIPortRef>{kept}),
              Outcome{});
    EXPECT_TRUE(logContents(capture, kSendMessage).empty());
    EXPECT_EQ(rig.midi->sendMessageWithOutcome(note, 0, std::nullopt, std::vector<MIDIPortRef>{gone, kept}),
              (Outcome{Outcome::Kind::gone, "the destination is no longer there"}));
    EXPECT_EQ(logContents(capture, kSendMessage), std::vector<std::string>{"error sending midi: -10834"});
    // The plain call logs it too.
    rig.midi->sendMessage(note, 0, std::nullopt, std::vector<MIDIPortRef>{gone});
    EXPECT_EQ(logContents(capture, kSendMessage).size(), 2u);
}
