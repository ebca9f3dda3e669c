#include "InstrumentTestSupport.h"

#include "platform/midi/ServerOperation.h"
#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/midi/instruments/MIDIInstrument.h"

#include <gtest/gtest.h>

using namespace instrumenttest;
using sonabel::MIDIInstrument;

namespace {

// Records the overridable operations it reaches.
class RecordingInstrument : public MIDIInstrument {
public:
    static std::shared_ptr<RecordingInstrument> make(Rig& rig, std::optional<std::string> name = "Recorder") {
        std::shared_ptr<RecordingInstrument> instrument(new RecordingInstrument(rig.queue));
        instrument->setUp(std::move(name), rig.midi);
        return instrument;
    }
    using MIDIInstrument::start;
    using MIDIInstrument::stop;
    void start(sonabel::MIDINoteNumber n, sonabel::MIDIVelocity v, sonabel::MIDIChannel c,
               std::optional<MIDITimeStamp> t) override {
        calls.push_back("start " + std::to_string(n) + " " + std::to_string(v) + " " + std::to_string(c) +
                        (t ? " time" : ""));
    }
    void stop(sonabel::MIDINoteNumber n, sonabel::MIDIChannel c, std::optional<MIDITimeStamp> t) override {
        calls.push_back("stop " + std::to_string(n) + " " + std::to_string(c) + (t ? " time" : ""));
    }
    void programChange(sonabel::MIDIByte p, sonabel::MIDIChannel c, std::optional<MIDITimeStamp>) override {
        calls.push_back("program " + std::to_string(p) + " " + std::to_string(c));
    }
    void receivedMIDIController(sonabel::MIDIByte n, sonabel::MIDIByte v, sonabel::MIDIChannel c,
                                std::optional<MIDIUniqueID> p, std::optional<MIDITimeStamp> t) override {
        calls.push_back("controller " + std::to_string(n) + " " + std::to_string(v) + " " +
                        std::to_string(c) + (p || t ? " source" : ""));
    }
    void receivedMIDIAftertouch(sonabel::MIDINoteNumber n, sonabel::MIDIByte v, sonabel::MIDIChannel c,
                                std::optional<MIDIUniqueID>, std::optional<MIDITimeStamp>) override {
        calls.push_back("polyAftertouch " + std::to_string(n) + " " + std::to_string(v) + " " +
                        std::to_string(c));
    }
    void receivedMIDIAftertouch(sonabel::MIDIByte v, sonabel::MIDIChannel c, std::optional<MIDIUniqueID>,
                                std::optional<MIDITimeStamp>) override {
        calls.push_back("aftertouch " + std::to_string(v) + " " + std::to_string(c));
    }
    void receivedMIDIPitchWheel(sonabel::MIDIWord v, sonabel::MIDIChannel c, std::optional<MIDIUniqueID>,
                                std::optional<MIDITimeStamp>) override {
        calls.push_back("pitch " + std::to_string(v) + " " + std::to_string(c));
    }
    std::vector<std::string> take() { return std::exchange(calls, {}); }
    std::vector<std::string> calls;

private:
    explicit RecordingInstrument(platform::MainQueue& queue) : MIDIInstrument(queue) {}
};

class MIDIInstrumentTest : public ::testing::Test {
protected:
    Rig rig{true};
    void deliver(MIDIEndpointRef destination, const std::vector<Bytes>& messages) {
        rig.send(destination, messages);
        rig.server->runPending();
    }
};

} // namespace

TEST_F(MIDIInstrumentTest, MakesAPrivateDestinationNamedAfterItself) {
    auto instrument = MIDIInstrument::make("Velmor Lead", rig.midi, rig.queue);
    ASSERT_NE(instrument->midiIn(), 0u);
    EXPECT_EQ(instrument->name(), "Velmor Lead");
    EXPECT_EQ(rig.nameOf(instrument->midiIn()), "Velmor Lead");
    EXPECT_EQ(rig.integerOf(instrument->midiIn(), kMIDIPropertyPrivate), 1);
    EXPECT_EQ(rig.server->endpointsOf(rig.midi->client()),
              (std::vector<MIDIEndpointRef>{instrument->midiIn()}));
    EXPECT_EQ(MIDIGetNumberOfDestinations(), 0u); // hidden from other clients
    EXPECT_TRUE(instrument->connections().empty());
    ASSERT_TRUE(instrument->avAudioNode());
    EXPECT_EQ(instrument->avAudioNode()->typeName(), "AVAudioNode");
    EXPECT_NE(instrument->avAudioNode(), MIDIInstrument::make("Other", rig.midi, rig.queue)->avAudioNode());
    instrument->setName("Renamed");
    EXPECT_EQ(instrument->name(), "Renamed");
}

TEST_F(MIDIInstrumentTest, WithoutANameItIsNamedByItsAddress) {
    auto instrument = MIDIInstrument::make(std::nullopt, rig.midi, rig.queue);
    const auto name = instrument->name();
    EXPECT_EQ(name, sonabel::pointerString(instrument.get()));
    EXPECT_EQ(name.size(), 18u);
    EXPECT_EQ(name.substr(0, 2), "0x");
    EXPECT_EQ(rig.nameOf(instrument->midiIn()), name);
}

TEST_F(MIDIInstrumentTest, DefaultsBeforeSetUp) {
    struct Bare : MIDIInstrument {
        explicit Bare(platform::MainQueue& queue) : MIDIInstrument(queue) {}
    };
    auto bare = std::make_shared<Bare>(rig.queue);
    EXPECT_EQ(bare->midiIn(), 0u);
    EXPECT_EQ(bare->name(), "(unset)");
    EXPECT_TRUE(bare->mpeActiveNotes().empty());
}

TEST_F(MIDIInstrumentTest, VirtualInputDispatchesOnTheMainQueue) {
    auto instrument = RecordingInstrument::make(rig);
    deliver(instrument->midiIn(), {{0x93, 0x3C, 0x00},
                                   {0x93, 0x3C, 0x40},
                                   {0x83, 0x3C, 0x7F},
                                   {0xE0, 0x00, 0x40},
                                   {0xC0, 0x05},
                                   {0xD2, 0x33},
                                   {0xA1, 0x3C, 0x22},
                                   {0xB4, 0x07, 0x64},
                                   {0xF8},
                                   {0xF0, 0x01, 0x02, 0x03, 0xF7}});
    EXPECT_TRUE(instrument->calls.empty()); // nothing before the main queue runs
    rig.driver.runUntilIdle();
    // Program change and channel pressure arrive with their one data byte; the clock is
    // dropped; no source or time stamp is passed on.
    EXPECT_EQ(instrument->take(), (std::vector<std::string>{"stop 60 3", "start 60 64 3", "stop 60 3",
                                                            "pitch 8192 0", "program 5 0", "aftertouch 51 2",
                                                            "polyAftertouch 60 34 1", "controller 7 100 4"}));
    EXPECT_TRUE(instrument->mpeActiveNotes().empty()); // the dispatch does not track notes
}

TEST_F(MIDIInstrumentTest, DispatchChannelMessageByStatus) {
    auto instrument = RecordingInstrument::make(rig);
    instrument->dispatchChannelMessage(0xC0, 0x05, 0x00);
    instrument->dispatchChannelMessage(0xDF, 0x40, 0x00);
    instrument->dispatchChannelMessage(0xEF, 0x7F, 0x7F);
    instrument->dispatchChannelMessage(0xE0, 0x00, 0x00);
    instrument->dispatchChannelMessage(0xF2, 0x01, 0x02);
    instrument->dispatchChannelMessage(0x40, 0x01, 0x02);
    EXPECT_EQ(instrument->take(),
              (std::vector<std::string>{"program 5 0", "aftertouch 64 15", "pitch 16383 15", "pitch 0 0"}));
}

TEST_F(MIDIInstrumentTest, ListenerPathTracksActiveNotes) {
    auto instrument = RecordingInstrument::make(rig);
    instrument->receivedMIDINoteOn(60, 100, 0, 5, 123);
    instrument->receivedMIDINoteOn(60, 90, 0, 5, 124);
    instrument->receivedMIDINoteOn(62, 80, 1, std::nullopt, std::nullopt);
    using Notes = std::vector<MIDIInstrument::NotePair>;
    EXPECT_EQ(instrument->mpeActiveNotes(), (Notes{{60, 0}, {60, 0}, {62, 1}}));
    instrument->receivedMIDINoteOff(60, 0, 0, 5, 125); // both pairs of note 60, channel 0
    EXPECT_EQ(instrument->mpeActiveNotes(), (Notes{{62, 1}}));
    instrument->receivedMIDINoteOff(62, 0, 2, 5, 125); // another channel: kept
    instrument->receivedMIDINoteOn(64, 70, 1, 5, 126);
    instrument->receivedMIDINoteOn(64, 0, 1, 5, 127); // velocity 0 ends it as a note off does
    EXPECT_EQ(instrument->mpeActiveNotes(), (Notes{{62, 1}}));
    EXPECT_EQ(instrument->take(),
              (std::vector<std::string>{"start 60 100 0", "start 60 90 0", "start 62 80 1", "stop 60 0",
                                        "stop 62 2", "start 64 70 1", "stop 64 1"}));
}

TEST_F(MIDIInstrumentTest, RegisteredWithAMIDIObject) {
    auto instrument = RecordingInstrument::make(rig);
    rig.midi->addListener(instrument);
    MIDIEndpointRef source = 0;
    rig.server->addExternalSource({.name = "Keys", .uniqueID = 77}, &source);
    rig.server->runPending();
    rig.midi->openInput(MIDIUniqueID{77});
    const Bytes bytes{0x92, 0x40, 0x50, 0x82, 0x40, 0x00, 0xB2, 0x01, 0x02};
    rig.server->sendFromSource(source, bytes);
    rig.server->runPending();
    EXPECT_EQ(instrument->take(),
              (std::vector<std::string>{"start 64 80 2", "stop 64 2", "controller 1 2 2 source"}));
    EXPECT_TRUE(instrument->mpeActiveNotes().empty());
}

TEST_F(MIDIInstrumentTest, ARefusedDestinationIsLoggedAndTheListenerStillWorks) {
    rig.server->failNext(platform::midi::ServerOperation::destinationCreate, kMIDINoConnection);
    platform::ScopedLogCapture capture;
    auto instrument = RecordingInstrument::make(rig);
    EXPECT_EQ(instrument->midiIn(), 0u);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_NE(capture.lines().front().find("kMIDINoConnection"), std::string::npos);
    instrument->receivedMIDINoteOn(60, 1, 0, std::nullopt, std::nullopt);
    EXPECT_EQ(instrument->take(), (std::vector<std::string>{"start 60 1 0"}));
}

TEST_F(MIDIInstrumentTest, WhatArrivesAfterTheInstrumentIsGoneIsDropped) {
    auto instrument = RecordingInstrument::make(rig);
    const auto destination = instrument->midiIn();
    rig.send(destination, {{0x90, 0x3C, 0x40}});
    rig.server->runPending(); // queued on the main queue
    auto other = MIDIInstrument::make("Other", rig.midi, rig.queue);
    instrument.reset(); // its destination goes with it
    EXPECT_EQ(rig.server->endpointsOf(rig.midi->client()), (std::vector<MIDIEndpointRef>{other->midiIn()}));
    std::string name;
    EXPECT_NE(rig.server->getStringProperty(destination, kMIDIPropertyName, &name), noErr);
    deliver(destination, {{0x90, 0x3C, 0x40}});
    EXPECT_EQ(rig.driver.runUntilIdle(), 1u); // the task queued before: ran, found nothing
    other.reset();
    EXPECT_TRUE(rig.server->endpointsOf(rig.midi->client()).empty());
}

TEST_F(MIDIInstrumentTest, UsesTheSharedMIDIObjectByDefault) {
    sonabel::setSharedMIDI(rig.midi);
    auto instrument = MIDIInstrument::make("Shared", nullptr, rig.queue);
    EXPECT_EQ(rig.server->endpointsOf(rig.midi->client()),
              (std::vector<MIDIEndpointRef>{instrument->midiIn()}));
    sonabel::setSharedMIDI(nullptr);
}
