#include "sonabel/midi/MIDIEvent.h"

#include "MIDITestSupport.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/midi/MIDIMessage.h"
#include "sonabel/midi/SysExAssembler.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace sonabel;
using miditest::Bytes;
using miditest::logContents;
using miditest::makePacket;

static_assert(MIDIMessage<MIDIEvent>);

TEST(MIDIEventClassifier, KeepsWhatTheFirstByteAllows) {
    EXPECT_EQ(MIDIEvent(Bytes{0x90, 0xBD, 0xE4}).data, (Bytes{0x90, 0x3D, 0x64}));
    EXPECT_EQ(MIDIEvent(Bytes{0xC5}).data, (Bytes{0xC5}));
    EXPECT_EQ(MIDIEvent(Bytes{0xF8, 0x01}).data, (Bytes{0xF8, 0x01}));
    EXPECT_EQ(MIDIEvent(Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7, 0x12}).data,
              (Bytes{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7, 0x12}));
    // SysEx bytes of 80 and above are carried unchanged: the instruments put 8-bit values there.
    EXPECT_EQ(MIDIEvent(Bytes{0xF0, 0x96, 0xE9, 0xF7}).data, (Bytes{0xF0, 0x96, 0xE9, 0xF7}));
    // No length is enforced on channel messages.
    EXPECT_EQ(MIDIEvent(Bytes{0x90, 0x3C, 0x64, 0x01, 0x02}).length(), 5u);
    EXPECT_TRUE(MIDIEvent(Bytes{0x3C, 0x64}).data.empty());
    EXPECT_TRUE(MIDIEvent(Bytes{0xF4}).data.empty());
    EXPECT_TRUE(MIDIEvent(Bytes{0xFD, 0x01}).data.empty());
    EXPECT_TRUE(MIDIEvent(Bytes{}).data.empty());

    const MIDIEvent stamped(Bytes{0xF8}, 1234);
    EXPECT_EQ(stamped.timeStamp, 1234u);
    EXPECT_FALSE(stamped.offset);
    EXPECT_FALSE(stamped.positionInBeats);
}

TEST(MIDIEventClassifier, LogsMetaEventTypeBytes) {
    platform::ScopedLogCapture capture;
    EXPECT_TRUE(MIDIEvent(Bytes{0x2F, 0x00}).data.empty());
    EXPECT_TRUE(MIDIEvent(Bytes{0x0B, 0x00}).data.empty());
    EXPECT_TRUE(MIDIEvent(Bytes{0x7F}).data.empty());
    EXPECT_EQ(logContents(capture, "init(data:timeStamp:)"),
              (std::vector<std::string>{"is meta event End of Track", "is meta event Sequence Specific"}));
    ASSERT_EQ(capture.entries().size(), 2u);
    EXPECT_EQ(capture.entries()[0].category, "midi");
    EXPECT_EQ(capture.entries()[0].level, platform::LogLevel::info);
    EXPECT_EQ(capture.lines()[0].rfind("MIDIEvent.cpp:init(data:timeStamp:):", 0), 0u);

    capture.clear();
    Settings::setLoggingEnabled(false);
    MIDIEvent(Bytes{0x2F, 0x00});
    Settings::setLoggingEnabled(true);
    EXPECT_TRUE(capture.lines().empty());
}

TEST(MIDIEventClassifier, DoesNotDependOnPendingSysEx) {
    SysExAssembler assembler;
    MIDIEvent(makePacket(1, {0xF0, 0x43, 0x10}), assembler);
    ASSERT_TRUE(assembler.isReceivingSysEx());
    EXPECT_EQ(MIDIEvent(Bytes{0x90, 0x3C, 0x64}).data, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(MIDIEvent(Bytes{0xF0, 0x01, 0xF7, 0x90}).data, (Bytes{0xF0, 0x01, 0xF7, 0x90}));
}

TEST(MIDIEventFromPacket, FirstMessageWithThePacketsTimeStamp) {
    SysExAssembler assembler;
    const MIDIEvent songSelect(makePacket(77, {0xF3, 0x05}), assembler);
    EXPECT_EQ(songSelect.data, (Bytes{0xF3, 0x05}));
    EXPECT_EQ(songSelect.timeStamp, 77u);

    const MIDIEvent note(makePacket(5, {0x90, 0x3C, 0x64, 0x80}), assembler);
    EXPECT_EQ(note.data, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(note.timeStamp, 5u);
    // A program change keeps its two bytes, not the next message's first.
    EXPECT_EQ(MIDIEvent(makePacket(5, {0xC0, 0x05, 0x90, 0x3C, 0x64}), assembler).data, (Bytes{0xC0, 0x05}));
    EXPECT_EQ(MIDIEvent(makePacket(5, {0xFA, 0x00}), assembler).data, (Bytes{0xFA}));

    // Nothing past the packet's length is read: a message cut short gives no bytes.
    MIDIPacket cut = makePacket(5, {0x90, 0x3C, 0x64});
    cut.length = 2;
    EXPECT_TRUE(MIDIEvent(cut, assembler).data.empty());
    EXPECT_TRUE(MIDIEvent(makePacket(5, {0xF2, 0x01}), assembler).data.empty());
    EXPECT_TRUE(MIDIEvent(makePacket(5, {0xF7}), assembler).data.empty());
    EXPECT_TRUE(MIDIEvent(makePacket(5, {}), assembler).data.empty());
    EXPECT_EQ(MIDIEvent(makePacket(5, {}), assembler).timeStamp, 5u);
    EXPECT_FALSE(assembler.isReceivingSysEx());
}

TEST(MIDIEventFromPacket, StartsSysExInTheAssembler) {
    platform::ScopedLogCapture capture;
    SysExAssembler assembler;
    const MIDIEvent whole(makePacket(9, {0xF0, 0x43, 0x10, 0xF7}), assembler);
    EXPECT_EQ(whole.data, (Bytes{0xF0, 0x43, 0x10, 0xF7}));
    EXPECT_EQ(whole.timeStamp, 9u);
    EXPECT_FALSE(assembler.isReceivingSysEx());
    EXPECT_EQ(logContents(capture, "startReceivingSysEx(with:)"),
              std::vector<std::string>{"Starting to receive SysEx"});
    EXPECT_EQ(logContents(capture, "stopReceivingSysEx()"), std::vector<std::string>{"Done receiving SysEx"});

    const MIDIEvent pending(makePacket(9, {0xF0, 0x43, 0x10}), assembler);
    EXPECT_TRUE(pending.data.empty());
    EXPECT_TRUE(assembler.isReceivingSysEx());
    EXPECT_EQ(assembler.incomingSysEx(), (Bytes{0xF0, 0x43, 0x10}));

    // A packet on its own shows only its 256-byte data area, whatever its length says.
    MIDIPacket lying = makePacket(1, Bytes(256, 0x01));
    lying.data[0] = 0xF0;
    lying.length = 0xFFFF;
    EXPECT_TRUE(MIDIEvent(lying, assembler).data.empty());
    EXPECT_EQ(assembler.incomingSysEx().size(), 256u);
}

TEST(MIDIEvent, MadeFromParts) {
    EXPECT_EQ(MIDIEvent::initNoteOn(60, 100, 1).data, (Bytes{0x91, 60, 100}));
    EXPECT_EQ(MIDIEvent::initNoteOff(60, 0, 15).data, (Bytes{0x8F, 60, 0}));
    EXPECT_EQ(MIDIEvent::initControllerChange(7, 200, 2).data, (Bytes{0xB2, 7, 72}));
    EXPECT_EQ(MIDIEvent::initProgramChange(5, 9).data, (Bytes{0xC9, 5}));
    // A channel above 15 cannot turn the message into another kind.
    EXPECT_EQ(MIDIEvent::initNoteOn(60, 100, 16).data[0], 0x90);

    const auto position = MIDIEvent::initCommand(MIDISystemCommand::songPosition, 0x10, 0x20);
    EXPECT_EQ(position.data, (Bytes{0xF2, 0x10, 0x20}));
    EXPECT_FALSE(position.timeStamp);
    // Stored as given, without the classifier.
    EXPECT_EQ(MIDIEvent::initCommand(MIDISystemCommand::songSelect, 0xFF).data, (Bytes{0xF3, 0xFF}));
}

TEST(MIDIEvent, ReadsItsParts) {
    EXPECT_FALSE(MIDIEvent(Bytes{0xFF, 0x2F, 0x00}).command());
    EXPECT_EQ(MIDIEvent(Bytes{0xFA}).command(), MIDISystemCommand::start);
    EXPECT_FALSE(MIDIEvent(Bytes{0x90, 0x3C, 0x64}).command());
    EXPECT_EQ(MIDIEvent(Bytes{0xE0, 0x00, 0x40}).pitchbendAmount(), 8192);
    EXPECT_EQ(MIDIEvent(Bytes{0xE3, 0x7F, 0x7F}).pitchbendAmount(), 16383);
    EXPECT_FALSE(MIDIEvent(Bytes{0xE0, 0x00}).pitchbendAmount());
    EXPECT_EQ(MIDIEvent(Bytes{0x80, 0x3C}).noteNumber(), 60);
    EXPECT_FALSE(MIDIEvent(Bytes{0x90}).noteNumber());
    EXPECT_FALSE(MIDIEvent(Bytes{0xA0, 0x3C, 0x10}).noteNumber());
    EXPECT_FALSE(MIDIEvent(Bytes{}).status());
    EXPECT_EQ(MIDIEvent(Bytes{0xB4, 0x07, 0x10}).status(), MIDIStatus(0xB4));
    EXPECT_EQ(MIDIEvent(Bytes{0xB4, 0x07, 0x10}).channel(), 4);
    EXPECT_FALSE(MIDIEvent(Bytes{0xF8}).channel());
    EXPECT_FALSE(MIDIEvent(Bytes{0xF8}).status());

    // Fields set by hand may hold bytes above 7F; nothing overflows.
    MIDIEvent raw;
    raw.data = {0xE0, 0xFF, 0xFF};
    EXPECT_EQ(raw.pitchbendAmount(), 0xFF * 128 + 0xFF);
}

TEST(MIDIEvent, ChunkedInto256BytePieces) {
    MIDIEvent event;
    event.data = Bytes(300, 0x01);
    auto pieces = event.chunked();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 256u);
    EXPECT_EQ(pieces[1].size(), 44u);

    event.data = Bytes(256, 0x01);
    pieces = event.chunked();
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].size(), 256u);
    EXPECT_TRUE(pieces[1].empty());

    event.data.clear();
    pieces = event.chunked();
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_TRUE(pieces[0].empty());
}

TEST(MIDIEvent, Descriptions) {
    EXPECT_EQ(MIDIEvent(Bytes{}).description(), "Unhandled event []");
    EXPECT_EQ(MIDIEvent(Bytes{0x90, 0x3C, 0x64}).description(), "Note On channel 0 - [144, 60, 100]");
    EXPECT_EQ(MIDIEvent(Bytes{0xF0, 0x01, 0xF7}).description(), "SysEx Begin - [240, 1, 247]");
    EXPECT_EQ(MIDIEvent(Bytes{0xF1, 0x01}).description(), "Timecode Quater Frame - [241, 1]");
    EXPECT_EQ(MIDIEvent(Bytes{0xFF, 0x03, 0x01, 0x41}).description(),
              "Track Name 1 bytes long - A - [255, 3, 1, 65]");
    EXPECT_EQ(MIDIEvent(Bytes{0xFF}).description(), "Unhandled event [255]");
    MIDIEvent raw;
    raw.data = {0x3C, 0x40};
    EXPECT_EQ(raw.description(), "Unhandled event [60, 64]");
}

TEST(MIDIEvent, Equality) {
    MIDIEvent a(Bytes{0x90, 0x3C, 0x64}, 5);
    MIDIEvent b = a;
    EXPECT_EQ(a, b);
    b.timeStamp.reset();
    EXPECT_NE(a, b);
    b = a;
    b.offset = 0;
    EXPECT_NE(a, b);
    b = a;
    a.positionInBeats = std::nan("");
    b.positionInBeats = std::nan("");
    EXPECT_NE(a, b);
}

TEST(MIDIEvent, BluetoothPacketsWithRunningStatus) {
    auto events = MIDIEvent::events(Bytes{0x80, 0x80, 0x90, 0x3C, 0x64, 0x81, 0x40, 0x00});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].data, (Bytes{0x90, 0x3C, 0x64}));
    EXPECT_EQ(events[1].data, (Bytes{0x90, 0x40, 0x00}));
    EXPECT_FALSE(events[0].timeStamp);

    EXPECT_TRUE(MIDIEvent::events(Bytes{0x80, 0x00, 0x90, 0x3C, 0x64}).empty());
    EXPECT_TRUE(MIDIEvent::events(Bytes{0x80, 0x80, 0x90, 0x3C}).empty());
    EXPECT_TRUE(MIDIEvent::events(Bytes{0x80, 0x80}).empty());

    events = MIDIEvent::events(Bytes{0x80, 0x80, 0xF0, 0x01, 0x02, 0x03, 0xF7});
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].data, (Bytes{0xF0, 0x01, 0x02, 0x03, 0xF7}));
}
