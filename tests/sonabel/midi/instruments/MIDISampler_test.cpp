#include "InstrumentTestSupport.h"

#include "sonabel/internals/utilities/PointerString.h"
#include "sonabel/midi/instruments/MIDISampler.h"

#include <gtest/gtest.h>

using namespace instrumenttest;
using sonabel::MIDISampler;

namespace {

// What reached the sampler unit: its scheduled MIDI is taken in by the next render cycle.
std::vector<std::string> received(const MIDISampler& sampler) {
    auto unit = sampler.samplerUnit->auAudioUnit();
    unit->beginRender(0);
    unit->applyEventsDue(0);
    std::vector<std::string> out;
    for (const auto& midi : sampler.samplerUnit->receivedMIDI())
        out.push_back(hex(midi.bytes) + (midi.cable == 0 ? "" : " cable"));
    return out;
}

class MIDISamplerTest : public ::testing::Test {
protected:
    Rig rig{true};
};

} // namespace

TEST_F(MIDISamplerTest, EverythingOnTheDestinationReachesTheUnitUnchanged) {
    auto sampler = MIDISampler::make("Sampler", rig.midi);
    ASSERT_NE(sampler->midiIn(), 0u);
    EXPECT_EQ(rig.nameOf(sampler->midiIn()), "Sampler");
    EXPECT_EQ(rig.integerOf(sampler->midiIn(), kMIDIPropertyPrivate), 1);
    rig.send(sampler->midiIn(), {{0x90, 0x3C, 0x00}, {0xC0, 0x05}, {0xF0, 0x7E, 0x01, 0xF7}, {0xF8}});
    rig.server->runPending(); // on the delivery thread, no main queue involved
    EXPECT_EQ(received(*sampler), (std::vector<std::string>{"90 3C 00", "C0 05", "F0 7E 01 F7", "F8"}));
    EXPECT_EQ(rig.driver.runUntilIdle(), 0u);
}

TEST_F(MIDISamplerTest, DirectNoteAndControllerOperations) {
    auto sampler = MIDISampler::make("Direct", rig.midi);
    sampler->handleNoteOn(60, 0, 0);
    sampler->handleNoteOn(62, 90, 1);
    sampler->handleController(7, 100, 2);
    sampler->stop(62, 1);
    EXPECT_EQ(received(*sampler), (std::vector<std::string>{"80 3C 00", "91 3E 5A", "B2 07 64", "81 3E 00"}));
}

TEST_F(MIDISamplerTest, ClosingDisposesTheDestinationOnce) {
    auto sampler = MIDISampler::make("Closing", rig.midi);
    auto other = MIDISampler::make("Other", rig.midi);
    sampler->closeVirtualInput();
    EXPECT_EQ(sampler->midiIn(), 0u);
    EXPECT_EQ(rig.server->endpointsOf(rig.midi->client()), (std::vector<MIDIEndpointRef>{other->midiIn()}));
    sampler->closeVirtualInput();
    EXPECT_EQ(rig.server->endpointsOf(rig.midi->client()), (std::vector<MIDIEndpointRef>{other->midiIn()}));
    platform::ScopedLogCapture capture;
    sampler.reset();
    other.reset(); // its end closes it
    EXPECT_TRUE(rig.server->endpointsOf(rig.midi->client()).empty());
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(MIDISamplerTest, AUnitWithoutMIDIGetsNoDestination) {
    auto sampler = MIDISampler::make("Deaf", rig.midi);
    sampler->closeVirtualInput();
    sampler->samplerUnit->auAudioUnit()->setMIDIHandler(nullptr);
    platform::ScopedLogCapture capture;
    sampler->openVirtualInput(rig.midi->client());
    EXPECT_EQ(sampler->midiIn(), 0u);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find(":Expected AU to respond to MIDI. ("), std::string::npos);
    EXPECT_EQ(capture.entries()[0].category, "general");
    EXPECT_TRUE(rig.server->endpointsOf(rig.midi->client()).empty());
}

TEST_F(MIDISamplerTest, NameAndDefaults) {
    auto sampler = MIDISampler::make(std::nullopt, rig.midi);
    EXPECT_EQ(sampler->name(), sonabel::pointerString(sampler.get()));
    EXPECT_EQ(rig.nameOf(sampler->midiIn()), sampler->name());
    sampler->setName("Renamed");
    EXPECT_EQ(sampler->name(), "Renamed");
    // Named like any named node, through the interface.
    std::shared_ptr<sonabel::NamedNode> named = sampler;
    EXPECT_EQ(named->name(), "Renamed");
    named->setName("Again");
    EXPECT_EQ(sampler->name(), "Again");

    struct Bare : MIDISampler {};
    Bare bare;
    EXPECT_EQ(bare.midiIn(), 0u);
    EXPECT_EQ(bare.name(), "(unset)");
    // The sampler node under it.
    EXPECT_EQ(bare.internalAU(), bare.samplerUnit->auAudioUnit());
    EXPECT_NE(bare.samplerUnit, sampler->samplerUnit);
    EXPECT_EQ(bare.avAudioNode(), bare.samplerUnit);
    EXPECT_TRUE(bare.audioFiles().empty());
    EXPECT_FALSE(bare.token());
    EXPECT_EQ(bare.amplitude(), 0.0f);
    EXPECT_EQ(bare.volume(), 1.0f);
    EXPECT_EQ(bare.pan(), 0.0f);
    EXPECT_TRUE(bare.connections().empty());
    bare.setVolume(0.5f);
    bare.setPan(-0.25f);
    EXPECT_EQ(bare.samplerUnit->volume(), 0.5f);
    EXPECT_EQ(bare.samplerUnit->pan(), -0.25f);
}
