#include "NodeTestSupport.h"

#include "platform/audio/AudioUnitCalls.h"
#include "platform/core/MainQueue.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/internals/utilities/Constants.h"
#include "sonabel/nodes/Parameter.h"

#include <cmath>

using namespace sonabel;
using namespace nodetest;

namespace {

NodeParameterDef def(const char* id, platform::AUParameterAddress address, float lo, float hi, float dflt = 0,
                     std::uint32_t flags = defaultParameterFlags) {
    return {id, std::string(id) + " name", address, dflt, {lo, hi}, 0, flags};
}

// A gain effect whose unit has four parameters; the node wraps three of them among other members.
class GainEffect : public platform::AudioUnitEffect {
public:
    static std::shared_ptr<GainEffect> make() {
        std::shared_ptr<GainEffect> e(new GainEffect());
        std::vector<std::shared_ptr<platform::AUParameter>> ps;
        for (std::uint64_t a : {0, 1, 2, 3})
            ps.push_back(platform::AUParameterTree::createParameter(
                "p" + std::to_string(a), "P", a, 0, 1, 0, std::nullopt, a == 2 ? 0u : defaultParameterFlags));
        e->auAudioUnit()->setParameterTree(platform::AUParameterTree::createTree(ps));
        return e;
    }

protected:
    GainEffect() : AudioUnitEffect({platform::kAudioUnitType_Effect, 0x6761696E, 0, 0, 0}, "Gain") {}
    void process(const float* const* in, float* const* out, std::uint32_t channels,
                 std::uint32_t frames) override {
        const float g = renderValue(0);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i)
                out[c][i] = in[c][i] * g;
    }
};

class GainNode : public Node {
public:
    int before = 7;
    Parameter<float> gain{this, def("gain", 0, 0, 1, 0.5f)};
    std::string between = "not a parameter";
    Parameter<bool> flag{this, def("flag", 1, 0, 1)};
    double more = 2;
    Parameter<float> stiff{this, def("stiff", 2, 0, 1)};
    std::shared_ptr<GainEffect> unit = GainEffect::make();
    std::vector<std::shared_ptr<Node>> inputs;

    GainNode() { bindParameters(unit); }
    std::vector<std::shared_ptr<Node>> connections() const override { return inputs; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return unit; }
};

float unitValue(const GainNode& n, std::uint32_t address) {
    float v = -1;
    platform::AudioUnitGetParameter(n.unit->audioUnit(), address, platform::kAudioUnitScope_Global, 0, &v);
    return v;
}

} // namespace

TEST(NodeParameter, BindingFindsExactlyTheWrappedParameters) {
    GainNode n;
    auto ps = n.parameters();
    ASSERT_EQ(ps.size(), 3u);
    EXPECT_EQ(ps[0]->def().identifier, "gain");
    EXPECT_EQ(ps[1]->def().identifier, "flag");
    EXPECT_EQ(ps[2]->def().identifier, "stiff");
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(ps[i]->avAudioNode(), n.unit);
        EXPECT_EQ(ps[i]->parameter(), n.unit->auAudioUnit()->parameterTree()->parameterWithAddress(i));
    }
    auto copy = n.gain; // copies share the NodeParameter
    copy = 0.75f;
    EXPECT_EQ(float(n.gain), 0.75f);
    EXPECT_EQ(n.gain.projectedValue(), copy.projectedValue());

    // A tree built from the wrapped definitions instead.
    GainNode built;
    built.buildParameterTree();
    auto tree = built.unit->auAudioUnit()->parameterTree();
    ASSERT_EQ(tree->allParameters().size(), 3u);
    EXPECT_EQ(tree->allParameters()[1]->identifier(), "flag");
    EXPECT_EQ(built.stiff.projectedValue()->parameter(), tree->allParameters()[2]);
}

TEST(NodeParameter, ValuesAreClampedAndWrittenToBoth) {
    GainNode n;
    n.gain = 2.0f;
    EXPECT_EQ(float(n.gain), 1.0f);
    EXPECT_EQ(unitValue(n, 0), 1.0f);
    n.gain = -5.0f;
    EXPECT_EQ(n.gain.projectedValue()->value(), 0.0f);
    EXPECT_EQ(unitValue(n, 0), 0.0f);
    n.gain = std::nanf("");
    EXPECT_EQ(float(n.gain), 0.0f);
    n.flag = true;
    EXPECT_EQ(n.flag.projectedValue()->value(), 1.0f);
    auto p = n.gain.projectedValue();
    p->setValue(0.5f);
    EXPECT_FALSE(p->boolValue());
    p->setValue(0.51f);
    EXPECT_TRUE(p->boolValue());
    EXPECT_EQ(p->range(), (NodeParameterDef::Range{0, 1}));

    OfflineEngine o;
    auto source = std::make_shared<Constant>(1.0f);
    o.output(n.unit);
    o.engine->attach(source->avAudioNode());
    o.engine->connect(source->avAudioNode(), n.unit, 0, 0, stereo());
    n.gain = 0.25f;
    o.render(8);
    EXPECT_EQ(o.at(0, 7), 0.25f);
}

TEST(NodeParameter, TouchGesturesStoreTheirValue) {
    GainNode n;
    auto p = n.gain.projectedValue();
    std::vector<platform::AUParameterAutomationEventType> types;
    p->parameter()->tokenByAddingParameterAutomationObserver(
        [&](std::span<const platform::AUParameterAutomationEvent> events) {
            for (const auto& e : events)
                types.push_back(e.eventType);
        });
    p->beginTouch(0.3f);
    EXPECT_EQ(p->value(), 0.3f);
    EXPECT_EQ(unitValue(n, 0), 0.3f);
    p->endTouch(0.6f);
    EXPECT_EQ(p->value(), 0.6f);
    p->endTouch(std::nullopt); // the current value again
    EXPECT_EQ(p->value(), 0.6f);
    EXPECT_EQ(types, (std::vector{platform::AUParameterAutomationEventType::touch,
                                  platform::AUParameterAutomationEventType::release,
                                  platform::AUParameterAutomationEventType::release}));
}

TEST(NodeParameter, UnboundReadsItsDefinitionAndIgnoresSetters) {
    NodeParameter p(def("free", 5, -2, 3, 1.5f));
    EXPECT_EQ(p.value(), 1.5f);
    EXPECT_EQ(p.minValue(), -2.0f);
    EXPECT_EQ(p.maxValue(), 3.0f);
    p.setValue(2);
    p.setBoolValue(false);
    p.ramp(1, 1, 1);
    p.recordAutomation([](auto&) {});
    p.beginTouch();
    EXPECT_EQ(p.value(), 1.5f);
    EXPECT_FALSE(p.parameterObserverToken());
}

TEST(NodeParameter, AddressBeyond32BitsSetsOnlyTheParameter) {
    platform::ScopedLogCapture capture;
    auto effect = GainEffect::make();
    auto far = platform::AUParameterTree::createParameter("far", "Far", 1ull << 32, 0, 1, 0, std::nullopt, 0);
    NodeParameter p(def("far", 1ull << 32, 0, 1));
    p.associate(effect, far);
    p.setValue(0.75f);
    EXPECT_EQ(far->value(), 0.75f);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(
        isLogLine(capture.lines()[0], "NodeParameter.cpp", "value",
                  "Parameter address 4294967296 does not fit in 32 bits; not written to the audio unit"));
}

TEST(NodeParameter, RampsAreCappedClampedAndReachTheirTarget) {
    platform::ScopedLogCapture capture;
    OfflineEngine o(4096);
    GainNode n;
    auto source = std::make_shared<Constant>(1.0f);
    o.output(n.unit);
    o.engine->attach(source->avAudioNode());
    o.engine->connect(source->avAudioNode(), n.unit, 0, 0, stereo());
    n.gain = 0.0f;
    // 0.5 s of delay is 22050 frames: capped at 4096. 0.125 s of duration is 5512 frames. The target is
    // clamped.
    n.gain.projectedValue()->ramp(9.0f, 0.125f, 0.5f);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeParameter.cpp", "ramp(to:duration:delay:)",
                          "Warning: delay longer than 4096, setting to to 4096"));
    std::vector<float> out;
    for (int i = 0; i < 3; ++i) {
        o.render(4096);
        out.insert(out.end(), o.buffer->floatChannelData()[0], o.buffer->floatChannelData()[0] + 4096);
    }
    EXPECT_EQ(out[4095], 0.0f);
    EXPECT_EQ(out[4096], 0.0f);
    EXPECT_NEAR(out[4096 + 2756], 0.5f, 1e-6);
    EXPECT_LT(out[4096 + 5511], 1.0f);
    EXPECT_EQ(out[4096 + 5512], 1.0f);
    EXPECT_EQ(float(n.gain), 0.0f); // a ramp leaves the parameter's own value

    // Negative or NaN delays mean now; a negative duration jumps.
    n.gain.projectedValue()->ramp(0.5f, -1.0f, std::nanf(""));
    o.render(4);
    EXPECT_EQ(o.at(0, 0), 0.5f);
    EXPECT_EQ(capture.lines().size(), 1u);
    n.gain.projectedValue()->ramp(std::nanf(""), 0, 0);
    o.render(4);
    EXPECT_EQ(o.at(0, 0), 0.5f);

    // A parameter without the ramp flag says so and schedules nothing.
    n.stiff.projectedValue()->ramp(1, 0, 0);
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[1], "NodeParameter.cpp", "ramp(to:duration:delay:)",
                          "Error: can't ramp parameter P"));
}

TEST(NodeParameter, AutomationReachesTheMainQueueInOrder) {
    auto& queue = platform::MainQueue::shared();
    queue.runReady();
    GainNode n;
    auto p = n.gain.projectedValue();
    std::vector<platform::AUParameterAutomationEvent> got;
    p->recordAutomation([&](const auto& e) { got.push_back(e); });
    p->recordAutomation([&](const auto& e) { got.push_back(e); }); // replaces the first
    const platform::AUParameterAutomationEvent batch[2] = {{10, 0, 0.25f}, {11, 0, 0.5f}};
    p->parameter()->notifyAutomationObservers(batch);
    p->beginTouch(0.3f);
    p->endTouch();
    EXPECT_TRUE(got.empty()); // nothing before the main queue runs
    queue.runReady();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].value, 0.25f);
    EXPECT_EQ(got[1].hostTime, 11u);
    EXPECT_EQ(got[2].eventType, platform::AUParameterAutomationEventType::touch);
    EXPECT_EQ(got[2].value, 0.3f);
    EXPECT_EQ(got[3].eventType, platform::AUParameterAutomationEventType::release);
    p->stopAutomationRecording();
    EXPECT_FALSE(p->parameterObserverToken());
    p->setValue(1);
    queue.runReady();
    EXPECT_EQ(got.size(), 4u);
}

TEST(NodeParameterDeathTest, BindingToANodeWithoutParameterTreeIsFatal) {
    NodeParameter p(def("x", 0, 0, 1));
    auto bare = platform::AudioUnitEffect::make({platform::kAudioUnitType_Effect, 1, 0, 0, 0});
    EXPECT_DEATH(p.associate(bare), "No parameter tree.");
}
