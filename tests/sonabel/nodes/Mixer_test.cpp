#include "NodeTestSupport.h"

#include "sonabel/internals/engine/EngineExtensions.h"
#include "sonabel/internals/engine/EngineResetNode.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/mixing/Mixer.h"

#include <cmath>

using namespace sonabel;
using namespace nodetest;
using platform::AudioConnectionPoint;

TEST(Mixer, NamesVolumeAndPan) {
    Mixer unnamed;
    EXPECT_EQ(unnamed.name().size(), 18u);
    EXPECT_EQ(unnamed.name().rfind("0x", 0), 0u);
    Mixer half(0.5f, "Half");
    EXPECT_EQ(half.name(), "Half");
    EXPECT_EQ(half.volume(), 0.5f);
    EXPECT_EQ(half.mixerAU->outputVolume(), 0.5f); // the initial volume reaches the platform mixer
    EXPECT_TRUE(half.isStarted());
    half.setVolume(-1);
    EXPECT_EQ(half.volume(), 0.0f);
    EXPECT_EQ(half.mixerAU->outputVolume(), 0.0f);
    EXPECT_FALSE(half.isStarted());
    half.setVolume(std::nanf(""));
    EXPECT_EQ(half.volume(), 0.0f);
    EXPECT_EQ(Mixer(-2.0f).volume(), 0.0f);
    half.setPan(3);
    EXPECT_EQ(half.pan(), 1.0f);
    half.setPan(-3);
    EXPECT_EQ(half.pan(), -1.0f);
    EXPECT_EQ(half.mixerAU->pan(), -1.0f);
    half.setName("Renamed");
    EXPECT_EQ(half.connectionTreeDescription(), "Sonabel | ↳Mixer(\"Renamed\")");
}

TEST(Mixer, InputsAddedOnceRemovedEverywhere) {
    platform::ScopedLogCapture capture;
    auto x = std::make_shared<Constant>(1), y = std::make_shared<Constant>(1);
    Mixer twice(std::vector<std::shared_ptr<Node>>{x, y, x}, "Twice");
    EXPECT_TRUE(twice.hasInput(x));
    twice.addInput(y);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "Mixer.cpp", "addInput(_:)",
                          "🛑 Error: Node is already connected to Mixer."));
    EXPECT_EQ(twice.inputs().size(), 3u);
    twice.removeInput(x);
    EXPECT_EQ(twice.inputs(), std::vector<std::shared_ptr<Node>>{y});
    twice.removeAllInputs();
    EXPECT_TRUE(twice.inputs().empty());
    twice.removeAllInputs();
    EXPECT_TRUE(twice.inputs().empty());
}

TEST(Mixer, ResizeInputBusses) {
    Mixer fixed;
    auto& busses = fixed.mixerAU->auAudioUnit()->inputBusses();
    ASSERT_TRUE(busses.setBusCount(8));
    busses.setCountChangeable(false);
    EXPECT_EQ(fixed.resizeInputBusses(12), 8);
    EXPECT_EQ(fixed.resizeInputBusses(4), 4);
    EXPECT_EQ(fixed.resizeInputBusses(-3), 0);
    Mixer free;
    EXPECT_EQ(free.resizeInputBusses(12), 12);
    EXPECT_EQ(free.mixerAU->numberOfInputs(), 12u);
    EXPECT_EQ(free.resizeInputBusses(3), 3);
    EXPECT_EQ(free.mixerAU->numberOfInputs(), 12u);
    EXPECT_EQ(free.resizeInputBusses(5000), 12); // beyond what the platform allows: the count stays
}

TEST(Mixer, RemovingAnInputKeepsItsOtherDestination) {
    OfflineEngine o;
    auto shared = std::make_shared<Constant>(0.5f);
    auto m1 = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{shared}, "M1");
    auto m2 = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{shared}, "M2");
    auto top = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{m1, m2}, "Top");
    o.output(top->avAudioNode());
    top->makeAVConnections();
    ASSERT_EQ(o.engine->outputConnectionPoints(shared->avAudioNode(), 0).size(), 2u);
    m1->removeInput(shared);
    EXPECT_EQ(o.engine->outputConnectionPoints(shared->avAudioNode(), 0),
              (std::vector<AudioConnectionPoint>{{m2->avAudioNode(), 0}}));
    EXPECT_EQ(shared->avAudioNode()->engine(), o.engine); // stays attached
    o.render(32);
    EXPECT_FLOAT_EQ(o.at(0, 0), 0.5f);
    m2->removeAllInputs();
    EXPECT_TRUE(o.engine->outputConnectionPoints(shared->avAudioNode(), 0).empty());

    // Adding a connection twice makes one.
    addInputConnection(m1->avAudioNode(), shared->avAudioNode(), stereo());
    addInputConnection(m1->avAudioNode(), shared->avAudioNode(), stereo());
    EXPECT_EQ(o.engine->outputConnectionPoints(shared->avAudioNode(), 0).size(), 1u);
    // Nodes outside an engine are left alone.
    auto loose = std::make_shared<Constant>(1);
    removeInputConnection(loose->avAudioNode(), shared->avAudioNode());
    addInputConnection(loose->avAudioNode(), shared->avAudioNode(), std::nullopt);
    EXPECT_EQ(o.engine->outputConnectionPoints(shared->avAudioNode(), 0).size(), 1u);
}

TEST(Mixer, RunningEngineGetsAPlaceholderOnlyWhileAddingTheFirstInput) {
    OfflineEngine o;
    auto mixer = std::make_shared<Mixer>(0.5f, "Main");
    o.output(mixer->avAudioNode());
    EXPECT_FALSE(initializeMixer(*o.engine, mixer->avAudioNode())); // stopped
    o.engine->start();
    auto plain = std::make_shared<Delay>();
    o.engine->attach(plain->avAudioNode());
    EXPECT_FALSE(initializeMixer(*o.engine, plain->avAudioNode())); // not a mixer
    {
        platform::ScopedLogCapture capture;
        auto dummy = initializeMixer(*o.engine, mixer->avAudioNode());
        ASSERT_TRUE(dummy);
        EXPECT_TRUE(std::dynamic_pointer_cast<EngineResetNode>(dummy));
        ASSERT_EQ(capture.lines().size(), 1u);
        EXPECT_TRUE(isLogLine(capture.lines()[0], "EngineExtensions.cpp", "initializeMixer(_:)",
                              "⚠️🎚 Added dummy to mixer (" + mixer->avAudioNode()->description() +
                                  " with format " + Settings::audioFormat().description()));
        EXPECT_FALSE(initializeMixer(*o.engine, mixer->avAudioNode())); // it has an input now
        o.engine->detach(dummy);
    }
    auto input = std::make_shared<Constant>(1.0f);
    mixer->addInput(input);
    for (const auto& node : o.engine->attachedNodes())
        EXPECT_FALSE(std::dynamic_pointer_cast<EngineResetNode>(node));
    o.render(16);
    EXPECT_FLOAT_EQ(o.at(0, 5), 0.5f);
    mixer->setPan(1.0f); // the mixer's pan applies where it is mixed, not at the output node
    mixer->setVolume(2.0f);
    o.render(16);
    EXPECT_FLOAT_EQ(o.at(1, 5), 2.0f);
}
