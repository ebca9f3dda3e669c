#include "NodeTestSupport.h"
#include "sonabel/nodes/DynamicWaveformNode.h"

#include "platform/audio/AudioUnitSampler.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/nodes/mixing/Mixer.h"

using namespace sonabel;
using namespace nodetest;
using platform::AudioConnectionPoint;

TEST(Node, ChainIsAttachedAndConnectedBusByBusAndRenders) {
    OfflineEngine o;
    auto a = std::make_shared<Mixer>(1.0f, "A");
    auto b = std::make_shared<Delay>();
    auto c = std::make_shared<Constant>(0.25f);
    b->inputs = {c};
    a->addInput(b); // not in an engine yet: nothing is connected
    EXPECT_FALSE(b->avAudioNode()->engine());
    o.output(a->avAudioNode());
    a->makeAVConnections();
    EXPECT_EQ(b->avAudioNode()->engine(), o.engine);
    EXPECT_EQ(o.engine->outputConnectionPoints(c->avAudioNode(), 0),
              (std::vector<AudioConnectionPoint>{{b->avAudioNode(), 0}}));
    EXPECT_EQ(o.engine->outputConnectionPoints(b->avAudioNode(), 0),
              (std::vector<AudioConnectionPoint>{{a->avAudioNode(), 0}}));
    EXPECT_EQ(b->avAudioNode()->inputFormat(0), Settings::audioFormat());
    a->makeAVConnections(); // a second time changes nothing
    EXPECT_EQ(o.engine->outputConnectionPoints(c->avAudioNode(), 0).size(), 1u);
    EXPECT_EQ(o.engine->outputConnectionPoints(b->avAudioNode(), 0).size(), 1u);
    o.render(64);
    EXPECT_FLOAT_EQ(o.at(0, 0), 0.25f);
    EXPECT_FLOAT_EQ(o.at(1, 63), 0.25f);
    a->initLastRenderTime();
    EXPECT_EQ(c->avAudioNode()->lastRenderTime()->sampleTime(), 0);

    a->disconnectAV();
    EXPECT_TRUE(o.engine->outputConnectionPoints(c->avAudioNode(), 0).empty());
    a->detach();
    EXPECT_FALSE(a->avAudioNode()->engine());
    EXPECT_FALSE(c->avAudioNode()->engine());
}

TEST(Node, FanOutToTwoMixersRendersTheSharedNodeOncePerCycle) {
    OfflineEngine o;
    auto shared = std::make_shared<Constant>(0.125f);
    auto m1 = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{shared}, "M1");
    auto m2 = std::make_shared<Mixer>(1.0f, "M2");
    auto top = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{m1, m2}, "Top");
    o.output(top->avAudioNode());
    top->makeAVConnections();
    m2->addInput(shared);
    EXPECT_EQ(o.engine->outputConnectionPoints(shared->avAudioNode(), 0).size(), 2u);
    for (int i = 0; i < 4; ++i)
        o.render(128);
    EXPECT_EQ(shared->renders, 4);
    EXPECT_FLOAT_EQ(o.at(0, 100), 0.25f);
    EXPECT_EQ(top->connectionTreeDescription(), "Sonabel | ↳Mixer(\"Top\")\n"
                                                "Sonabel |  ↳Mixer(\"M1\")\n"
                                                "Sonabel |   ↳Constant\n"
                                                "Sonabel |  ↳Mixer(\"M2\")\n"
                                                "Sonabel |   ↳Constant");
}

TEST(Node, CyclesAreCutOnTheCurrentPath) {
    platform::ScopedLogCapture capture;
    OfflineEngine o;
    auto loop = std::make_shared<Delay>();
    auto source = std::make_shared<Constant>(1);
    loop->inputs = {source, loop}; // a node among its own connections
    o.output(loop->avAudioNode());
    loop->makeAVConnections();
    EXPECT_EQ(loop->connectionTreeDescription(), "Sonabel | ↳Delay\nSonabel |  ↳Constant");
    EXPECT_TRUE(o.engine->outputConnectionPoints(loop->avAudioNode(), 0).size() == 1); // only to the output
    loop->disconnectAV();
    loop->detach();
    loop->inputs.clear(); // breaks the reference cycle the test made

    auto mixer = std::make_shared<Mixer>(1.0f, "Self");
    mixer->addInput(mixer);
    auto outer = std::make_shared<Mixer>(std::vector<std::shared_ptr<Node>>{mixer}, "Outer");
    mixer->addInput(outer); // outer is fed by mixer
    EXPECT_TRUE(mixer->inputs().empty());
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "Mixer.cpp", "addInput(_:)",
                          "🛑 Error: Node is fed by this Mixer; adding it would make a cycle."));
}

TEST(Node, NodesOfAnotherEngineAreNotConnected) {
    platform::ScopedLogCapture capture;
    OfflineEngine first, second;
    auto input = std::make_shared<Constant>(1);
    second.engine->attach(input->avAudioNode());
    auto mixer = std::make_shared<Mixer>(1.0f, "M");
    first.output(mixer->avAudioNode());
    mixer->addInput(input);
    EXPECT_EQ(input->avAudioNode()->engine(), second.engine);
    EXPECT_TRUE(first.engine->outputConnectionPoints(input->avAudioNode(), 0).empty());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "Node.cpp", "makeAVConnections()",
                          "🛑 Error: Attempt to connect nodes from different engines."));
}

TEST(Node, BypassResetAndMIDI) {
    auto d = std::make_shared<Delay>();
    EXPECT_TRUE(d->isStarted());
    d->stop();
    EXPECT_FALSE(d->isStarted());
    EXPECT_TRUE(d->unit->auAudioUnit()->shouldBypassEffect());
    d->start();
    EXPECT_TRUE(d->isStarted());
    d->reset();

    struct Event {
        std::vector<std::uint8_t> data;
    };
    d->scheduleMIDIEvent(Event{{0x90, 60, 100}}); // an effect takes no MIDI: nothing happens

    class Instrument : public Node {
    public:
        std::shared_ptr<platform::AudioUnitSampler> sampler = platform::AudioUnitSampler::make();
        std::vector<std::shared_ptr<Node>> connections() const override { return {}; }
        std::shared_ptr<platform::AudioNode> avAudioNode() const override { return sampler; }
    };
    OfflineEngine o;
    auto instrument = std::make_shared<Instrument>();
    o.output(instrument->avAudioNode());
    instrument->scheduleMIDIEvent(Event{{0x90, 60, 100}}, 5);
    platform::ScopedLogCapture capture;
    instrument->scheduleMIDIEvent(Event{{0x80, 60, 0}}, std::uint64_t{1} << 63);
    EXPECT_EQ(capture.lines().size(), 1u);
    o.render(16);
    auto midi = instrument->sampler->receivedMIDI();
    ASSERT_EQ(midi.size(), 1u);
    EXPECT_EQ(midi[0].sampleTime, 5);
    EXPECT_EQ(midi[0].bytes, (std::vector<std::uint8_t>{0x90, 60, 100}));
}

TEST(Node, DynamicWaveformNodeIsANodeADisplayCanFollow) {
    class Scope : public DynamicWaveformNode {
    public:
        std::shared_ptr<platform::AudioUnitEffect> unit =
            platform::AudioUnitEffect::make({platform::kAudioUnitType_Effect, 0x7363706F, 0, 0, 0});
        std::vector<std::shared_ptr<Node>> connections() const override { return {}; }
        std::shared_ptr<platform::AudioNode> avAudioNode() const override { return unit; }
        std::vector<float> waveformSamples(std::uint32_t, std::uint32_t count) const override {
            return std::vector<float>(count, 0.5f);
        }
        void setWaveformUpdateHandler(WaveformUpdate handler) override { update = std::move(handler); }
        void setWaveformResetHandler(WaveformReset handler) override { reset = std::move(handler); }
        WaveformUpdate update;
        WaveformReset reset;
    };
    auto scope = std::make_shared<Scope>();
    std::shared_ptr<DynamicWaveformNode> display = scope;
    std::vector<float> drawn;
    display->setWaveformUpdateHandler([&](const std::vector<float>& samples) { drawn = samples; });
    scope->update(display->waveformSamples(0, 3));
    EXPECT_EQ(drawn, (std::vector<float>{0.5f, 0.5f, 0.5f}));
    std::shared_ptr<Node> node = display;
    EXPECT_EQ(node->avAudioNode(), scope->unit);
}
