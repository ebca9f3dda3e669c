#include "sonabel/midi/MIDIControl.h"
#include "sonabel/midi/MIDICustomMetaEvent.h"
#include "sonabel/midi/MIDIMessage.h"
#include "sonabel/midi/MIDIStatus.h"
#include "sonabel/midi/MIDISystemCommand.h"
#include "sonabel/midi/MIDISystemCommandType.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <unordered_set>

using namespace sonabel;
using Bytes = std::vector<MIDIByte>;

static_assert(MIDIMessage<MIDIStatus>);
static_assert(MIDIMessage<MIDISystemCommand>);
static_assert(MIDIMessage<MIDICustomMetaEvent>);

TEST(MIDIStatus, ClassifiesEveryByte) {
    const MIDIStatus noteOn(0x93);
    EXPECT_EQ(noteOn.channel(), 3);
    EXPECT_EQ(noteOn.type(), MIDIStatusType::noteOn);
    EXPECT_EQ(noteOn.length(), 3);
    EXPECT_EQ(noteOn.description(), "Note On channel 3");
    EXPECT_EQ(messageData(noteOn), Bytes{0x93});

    const MIDIStatus clock(0xF8);
    EXPECT_FALSE(clock.type());
    EXPECT_EQ(clock.length(), 0);
    EXPECT_EQ(clock.description(), "Command: Timing Clock");
    EXPECT_EQ(MIDIStatus(0xF4).description(), "Invalid message");
    EXPECT_EQ(MIDIStatus(0x45).description(), "Invalid message");
    EXPECT_EQ(MIDIStatus(0x90).description(), "Note On channel 0");
    EXPECT_EQ(MIDIStatus(0xEF).description(), "Pitch Wheel channel 15");
    EXPECT_EQ(MIDIStatus(0xF1).description(), "Command: Timecode Quater Frame");

    EXPECT_FALSE(MIDIStatus::make(0x7F));
    EXPECT_FALSE(MIDIStatus::make(0xF0));
    EXPECT_EQ(MIDIStatus::make(0x80), MIDIStatus(0x80));
    EXPECT_EQ(MIDIStatus::make(0xEF), MIDIStatus(0xEF));

    for (int byte = 0; byte < 256; ++byte) {
        const MIDIStatus status(static_cast<MIDIByte>(byte));
        const int nibble = byte >> 4;
        const int expected = (nibble == 0xC || nibble == 0xD) ? 2 : (nibble >= 8 && nibble <= 0xE) ? 3 : 0;
        EXPECT_EQ(status.length(), expected) << byte;
        EXPECT_EQ(status.type().has_value(), nibble >= 8 && nibble <= 0xE) << byte;
    }
}

TEST(MIDIStatus, MadeFromTypeAndChannel) {
    const MIDIStatus program(MIDIStatusType::programChange, 9);
    EXPECT_EQ(program.byte, 0xC9);
    EXPECT_EQ(program.length(), 2);
    EXPECT_EQ(MIDIStatus(MIDIStatusType::pitchWheel, 15).byte, 0xEF);
    // A channel out of range cannot turn the status into another kind.
    EXPECT_EQ(MIDIStatus(MIDIStatusType::noteOn, 16).type(), MIDIStatusType::noteOn);
}

TEST(MIDIStatusType, TableOfKinds) {
    const std::vector<std::tuple<int, std::string, int>> table{
        {8, "Note Off", 3},        {9, "Note On", 3},         {10, "Polyphonic Aftertouch / Pressure", 3},
        {11, "Control Change", 3}, {12, "Program Change", 2}, {13, "Channel Aftertouch / Pressure", 2},
        {14, "Pitch Wheel", 3},
    };
    for (const auto& [raw, description, length] : table) {
        const auto type = MIDIStatusType::make(raw);
        ASSERT_TRUE(type) << raw;
        EXPECT_EQ(type->rawValue(), raw);
        EXPECT_EQ(type->description(), description);
        EXPECT_EQ(type->length(), length);
    }
    EXPECT_FALSE(MIDIStatusType::make(7));
    EXPECT_FALSE(MIDIStatusType::make(15));
    EXPECT_FALSE(MIDIStatusType::make(-1));
    EXPECT_EQ(MIDIStatusType::from(0xB5), MIDIStatusType::controllerChange);
    EXPECT_FALSE(MIDIStatusType::from(0xF8));
    EXPECT_FALSE(MIDIStatusType::from(0x3C));
}

TEST(MIDISystemCommand, TableOfSystemMessages) {
    const std::vector<std::pair<MIDIByte, std::string>> table{
        {0xF0, "SysEx Begin"},    {0xF1, "Timecode Quater Frame"},
        {0xF2, "Song Position"},  {0xF3, "Song Selection"},
        {0xF6, "Tune Request"},   {0xF7, "SysEx End"},
        {0xF8, "Timing Clock"},   {0xFA, "Start"},
        {0xFB, "Continue"},       {0xFC, "Stop"},
        {0xFE, "Active Sensing"}, {0xFF, "System Reset"},
    };
    for (const auto& [raw, description] : table) {
        const auto command = MIDISystemCommand::make(raw);
        ASSERT_TRUE(command) << int(raw);
        EXPECT_EQ(command->rawValue(), raw);
        EXPECT_EQ(command->description(), description);
        EXPECT_EQ(messageData(*command), Bytes{raw});
    }
    int known = 0;
    for (int byte = 0; byte < 256; ++byte)
        known += MIDISystemCommand::make(static_cast<MIDIByte>(byte)) ? 1 : 0;
    EXPECT_EQ(known, 12);
    EXPECT_FALSE(MIDISystemCommand::make(0xF9));
    EXPECT_FALSE(MIDISystemCommand::make(0x7F));
    EXPECT_EQ(MIDISystemCommand::make(0xFF), MIDISystemCommand::sysReset);

    std::unordered_set<MIDISystemCommand> set{MIDISystemCommand::clock, MIDISystemCommand::start,
                                              MIDISystemCommand::clock};
    EXPECT_EQ(set.size(), 2u);
    std::unordered_set<MIDISystemCommandType> families{MIDISystemCommandType::systemRealtime,
                                                       MIDISystemCommandType::systemCommon};
    EXPECT_EQ(families.size(), 2u);
}

TEST(MIDIControl, NamesAndNumbers) {
    EXPECT_EQ(MIDIControl::allCases.size(), 81u);
    std::unordered_set<MIDIControl> distinct;
    for (const auto c : MIDIControl::allCases) {
        EXPECT_EQ(MIDIControl::make(MIDIControl(c).rawValue()), c);
        distinct.insert(c);
    }
    EXPECT_EQ(distinct.size(), 81u);

    EXPECT_FALSE(MIDIControl::make(36));
    EXPECT_EQ(MIDIControl::make(10)->description(), "Stereo Panning");
    EXPECT_EQ(MIDIControl::make(20)->description(), "CC #20");
    EXPECT_EQ(MIDIControl::make(0)->description(), "CC #0");
    EXPECT_EQ(MIDIControl::make(66)->description(), "Sustenuto On/Off");
    EXPECT_EQ(MIDIControl(MIDIControl::celesteLevel).description(), "Celeste Level or Detune");
    EXPECT_EQ(MIDIControl(MIDIControl::NrpnLsb).description(), "Non-registered Parameter Number LSB");
    EXPECT_EQ(MIDIControl(MIDIControl::soundControl10).description(), "Sound Control 10");
    EXPECT_EQ(MIDIControl(MIDIControl::gpButton4).rawValue(), 83);
    EXPECT_EQ(MIDIControl(MIDIControl::effectControl2Lsb).description(), "Effect CTRL 2 LSB");
    EXPECT_EQ(MIDIControl(MIDIControl::modulationWheelLsb).description(), "Mod Wheel LSB");
    EXPECT_EQ(MIDIControl(MIDIControl::polyOperation).rawValue(), 127);
    EXPECT_FALSE(MIDIControl::make(200));
    EXPECT_FALSE(MIDIControl::make(128));
    for (int unnamed : {36, 41, 46, 63, 68, 69, 84, 90, 102, 119}) {
        EXPECT_FALSE(MIDIControl::make(static_cast<MIDIByte>(unnamed))) << unnamed;
    }
}

TEST(MIDICustomMetaEventType, TypeBytes) {
    EXPECT_FALSE(MIDICustomMetaEventType::make(0x0B));
    EXPECT_EQ(MIDICustomMetaEventType::make(0x0C), MIDICustomMetaEventType::metaEvent12);
    EXPECT_EQ(MIDICustomMetaEventType::make(0x7F)->description(), "Sequence Specific");
    EXPECT_EQ(MIDICustomMetaEventType::make(0x54)->description(), "SMPTE Offset");
    EXPECT_EQ(MIDICustomMetaEventType::make(0x09)->description(), "Device (Port) Name");
    EXPECT_EQ(MIDICustomMetaEventType::make(0x2F)->description(), "End of Track");
    int known = 0;
    for (int byte = 0; byte < 256; ++byte) {
        known += MIDICustomMetaEventType::make(static_cast<MIDIByte>(byte)) ? 1 : 0;
    }
    EXPECT_EQ(known, 20);
}

TEST(MIDICustomMetaEvent, ParsesHeaderAndPayload) {
    const auto trackName = MIDICustomMetaEvent::make(Bytes{0xFF, 0x03, 0x04, 'B', 'a', 's', 's', 0x00, 0x90});
    ASSERT_TRUE(trackName);
    EXPECT_EQ(trackName->type, MIDICustomMetaEventType::trackName);
    EXPECT_EQ(trackName->length, 4);
    EXPECT_EQ(trackName->data, (Bytes{0xFF, 0x03, 0x04, 'B', 'a', 's', 's'}));
    EXPECT_FALSE(trackName->positionInBeats);
    EXPECT_EQ(trackName->text(), "Bass");
    EXPECT_EQ(trackName->description(), "Track Name 4 bytes long - Bass");

    const auto tempo = MIDICustomMetaEvent::make(Bytes{0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20});
    ASSERT_TRUE(tempo);
    EXPECT_EQ(tempo->type, MIDICustomMetaEventType::setTempo);
    EXPECT_EQ(tempo->length, 3);
    EXPECT_EQ(tempo->description(), "Set Tempo 3 bytes long ");

    const auto end = MIDICustomMetaEvent::make(Bytes{0xFF, 0x2F, 0x00});
    ASSERT_TRUE(end);
    EXPECT_EQ(end->description(), "End of Track 0 bytes long ");

    EXPECT_FALSE(MIDICustomMetaEvent::make(Bytes{0xFF, 0x03}));
    EXPECT_FALSE(MIDICustomMetaEvent::make(Bytes{0xF0, 0x03, 0x00}));
    EXPECT_FALSE(MIDICustomMetaEvent::make(Bytes{0xFF, 0x0B, 0x00}));
    EXPECT_FALSE(MIDICustomMetaEvent::make(Bytes{}));
}

TEST(MIDICustomMetaEvent, MultiByteLengthKeepsTheWholePayload) {
    Bytes bytes{0xFF, 0x01, 0x81, 0x00};
    for (int i = 0; i < 128; ++i)
        bytes.push_back('a' + i % 26);
    bytes.push_back(0x00); // the next event's delta time
    const auto text = MIDICustomMetaEvent::make(bytes);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->length, 128);
    EXPECT_EQ(text->data.size(), 132u);
    EXPECT_EQ(text->text()->size(), 128u);

    // A length of 2^32 - 1 is computed in 64 bits and clamped to the input.
    const auto huge = MIDICustomMetaEvent::make(Bytes{0xFF, 0x01, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F, 'h', 'i'});
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->length, 0xFFFFFFFF);
    EXPECT_EQ(huge->data.size(), 9u);
}

TEST(MIDICustomMetaEvent, TextOfACutShortEventIsItsPayloadOnly) {
    const auto cut = MIDICustomMetaEvent::make(Bytes{0xFF, 0x04, 0x06, 'P', 'i'});
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->data.size(), 5u);
    EXPECT_EQ(cut->text(), "Pi");
    EXPECT_EQ(cut->description(), "Instrument Name 6 bytes long - Pi");

    const auto latin1 = MIDICustomMetaEvent::make(Bytes{0xFF, 0x03, 0x02, 'c', 0xE9});
    ASSERT_TRUE(latin1);
    EXPECT_FALSE(latin1->text());
    EXPECT_EQ(latin1->description(), "Track Name 2 bytes long ");

    const auto lyric = MIDICustomMetaEvent::make(Bytes{0xFF, 0x05, 0x02, 'l', 'a'});
    EXPECT_EQ(lyric->description(), "Lyric 2 bytes long ");
    const auto device = MIDICustomMetaEvent::make(Bytes{0xFF, 0x0C, 0x01, 'x'});
    EXPECT_EQ(device->description(), "Meta Event 12 1 bytes long - x");
}

TEST(MIDICustomMetaEvent, EqualityComparesEveryField) {
    auto a = *MIDICustomMetaEvent::make(Bytes{0xFF, 0x2F, 0x00});
    auto b = a;
    EXPECT_EQ(a, b);
    b.positionInBeats = 1.0;
    EXPECT_NE(a, b);
    a.positionInBeats = std::nan("");
    b.positionInBeats = std::nan("");
    EXPECT_NE(a, b);
}
