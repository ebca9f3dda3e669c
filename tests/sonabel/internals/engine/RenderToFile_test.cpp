#include "EngineTestSupport.h"

#include "platform/audio/AudioError.h"
#include "sonabel/internals/engine/AudioEngine.h"
#include "sonabel/internals/engine/ComponentDescriptions.h"
#include "sonabel/internals/engine/EngineExtensions.h"
#include "sonabel/internals/engine/ParameterForKey.h"

#include <any>
#include <cmath>
#include <filesystem>
#include <limits>

using namespace sonabel;
using namespace enginetest;

namespace {

class RenderToFileTest : public EngineTest {
protected:
    std::string path(const std::string& name) {
        auto dir = std::filesystem::temp_directory_path() /
                   ("sonabel-render-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                    "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        dirs_.push_back(dir);
        return (dir / name).string();
    }
    std::shared_ptr<platform::AudioFile> writer(const std::string& name) {
        return platform::AudioFile::forWriting(path(name), Settings::audioFormat().settings());
    }
    std::shared_ptr<platform::PCMBuffer> readBack(const std::string& file) {
        auto reader = platform::AudioFile::forReading(file);
        auto buffer = platform::PCMBuffer::make(reader->processingFormat(), std::uint32_t(reader->length()));
        reader->read(*buffer);
        return buffer;
    }
    void TearDown() override {
        for (auto& d : dirs_)
            std::filesystem::remove_all(d);
        EngineTest::TearDown();
    }

private:
    std::vector<std::filesystem::path> dirs_;
};

float loudUntil(std::int64_t t, std::int64_t end) {
    return t < end ? 0.5f : 0.0f;
}

} // namespace

TEST_F(RenderToFileTest, OneSecondInBlocksWithProgress) {
    AudioEngine engine;
    auto tone = std::make_shared<Tone>();
    engine.setOutput(tone);
    auto file = writer("second.wav");
    std::vector<double> progress;
    int prerenders = 0;
    engine.renderToFile(
        *file, 4096, 1.0, [&] { prerenders += tone->blocks.empty() ? 1 : 100; },
        [&](double p) { progress.push_back(p); });
    std::vector<std::uint32_t> expected(10, 4096);
    expected.push_back(3140);
    EXPECT_EQ(tone->blocks, expected);
    EXPECT_EQ(prerenders, 1);
    ASSERT_EQ(progress.size(), 11u);
    EXPECT_DOUBLE_EQ(progress[0], 4096.0 / 44100.0);
    EXPECT_EQ(progress.back(), 1.0);
    EXPECT_FALSE(engine.avEngine()->isRunning());
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
    const std::string name = file->url();
    file.reset();
    auto back = readBack(name);
    ASSERT_EQ(back->frameLength(), 44100u);
    for (std::uint32_t i : {0u, 4095u, 4096u, 44099u})
        EXPECT_NEAR(back->floatChannelData()[1][i], float(i) / 100000.0f, 1e-6);
}

TEST_F(RenderToFileTest, FilesOfAnotherRateChannelCountOrLayoutGetTheConvertedSignal) {
    // 1 kHz at 0.5 from a 44.1 kHz stereo engine into a 48 kHz mono file.
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>(
        [](std::int64_t t) { return 0.5f * float(std::sin(2 * M_PI * 1000.0 * double(t) / 44100.0)); }));
    auto mono = platform::AudioFile::forWriting(path("mono48k.wav"),
                                                platform::AudioFormat::standard(48000, 1)->settings());
    engine.renderToFile(*mono, 1024, 0.1);
    const std::string name = mono->url();
    mono.reset();
    auto back = readBack(name);
    ASSERT_EQ(back->frameLength(), 4800u);
    const float* x = back->floatChannelData()[0];
    double energy = 0;
    int crossings = 0;
    for (std::uint32_t i = 480; i < 4800; ++i) { // past the converter's start
        energy += double(x[i]) * x[i];
        crossings += (x[i - 1] < 0) != (x[i] < 0);
    }
    EXPECT_NEAR(std::sqrt(energy / 4320), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(crossings, 2 * 90, 2); // 90 ms of 1 kHz

    // An interleaved processing format is rendered deinterleaved and converted, sample for sample.
    auto interleaved =
        platform::AudioFile::forWriting(path("interleaved.wav"), Settings::audioFormat().settings(),
                                        platform::AudioFormat::CommonFormat::pcmFormatFloat32, true);
    AudioEngine ramp;
    ramp.setOutput(std::make_shared<Tone>());
    ramp.renderToFile(*interleaved, 512, 0.05);
    const std::string rampName = interleaved->url();
    interleaved.reset();
    auto rampBack = readBack(rampName);
    ASSERT_EQ(rampBack->frameLength(), 2205u);
    for (std::uint32_t i : {0u, 511u, 512u, 2204u})
        EXPECT_NEAR(rampBack->floatChannelData()[1][i], float(i) / 100000.0f, 1e-6);
}

TEST_F(RenderToFileTest, ZeroDurationWritesNothing) {
    AudioEngine engine;
    auto tone = std::make_shared<Tone>();
    engine.setOutput(tone);
    auto file = writer("zero.wav");
    bool prerendered = false, progressed = false;
    engine.renderToFile(
        *file, 4096, 0.0, [&] { prerendered = true; }, [&](double) { progressed = true; });
    EXPECT_TRUE(prerendered);
    EXPECT_FALSE(progressed);
    EXPECT_TRUE(tone->blocks.empty());
    EXPECT_EQ(file->length(), 0);
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
}

TEST_F(RenderToFileTest, UntilSilentAddsThreeQuietBlocksAfterTheDuration) {
    struct Case {
        double duration;
        std::int64_t loudFrames;
        std::uint32_t blocks;
    };
    // 0.1 s is 4410 frames: five blocks of 1024 reach it, the fifth counts as the first quiet one.
    for (const Case& c : {Case{0.1, 0, 7}, Case{0.0, 0, 3}, Case{0.1, 6000, 9}}) {
        AudioEngine engine;
        const std::int64_t loud = c.loudFrames;
        auto tone = std::make_shared<Tone>([loud](std::int64_t t) { return loudUntil(t, loud); });
        engine.setOutput(tone);
        auto file = writer("silent.wav");
        std::vector<double> progress;
        render(*engine.avEngine(), *file, 1024, c.duration, true, 0.00005f, nullptr,
               [&](double p) { progress.push_back(p); });
        EXPECT_EQ(tone->blocks, std::vector<std::uint32_t>(c.blocks, 1024)) << c.duration << " " << loud;
        EXPECT_EQ(progress.back(), 1.0);
        const std::string name = file->url();
        file.reset();
        auto back = readBack(name);
        ASSERT_EQ(back->frameLength(), c.blocks * 1024);
        if (loud) {
            EXPECT_FLOAT_EQ(back->floatChannelData()[0][5999], 0.5f);
            EXPECT_FLOAT_EQ(back->floatChannelData()[0][6000], 0.0f);
        }
    }
}

TEST_F(RenderToFileTest, BadDurationsRaiseBeforeTheEngineIsTouched) {
    devices->addDevice("Speakers", {}, {2});
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    engine.start();
    auto file = writer("bad.wav");
    for (double bad : {-0.5, std::nan(""), std::numeric_limits<double>::infinity(), 1e300}) {
        try {
            engine.renderToFile(*file, 4096, bad);
            FAIL() << bad;
        } catch (const platform::AudioError& error) {
            EXPECT_EQ(error.localizedDescription(), "Seconds needs to be a positive value");
            EXPECT_EQ(error.domain(), "AVAudioEngine ext");
            EXPECT_EQ(error.code(), 1);
        }
        EXPECT_TRUE(devices->isRunning());
        EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
    }
    EXPECT_EQ(file->length(), 0);
}

TEST_F(RenderToFileTest, ErrorsLeaveManualRenderingMode) {
    AudioEngine engine;
    engine.setOutput(std::make_shared<Tone>());
    auto written = writer("source.wav");
    engine.renderToFile(*written, 512, 0.01);
    const std::string name = written->url();
    written.reset();
    auto readOnly = platform::AudioFile::forReading(name);
    EXPECT_THROW(engine.renderToFile(*readOnly, 512, 0.01), platform::AudioError);
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
    EXPECT_FALSE(engine.avEngine()->isRunning());
    // a frame count the platform refuses is its own error, raised unchanged
    auto file = writer("refused.wav");
    EXPECT_THROW(engine.renderToFile(*file, 0, 0.01), platform::AudioError);
    EXPECT_FALSE(engine.avEngine()->isInManualRenderingMode());
}

TEST(ComponentDescriptions, Codes) {
    const auto code = platform::AudioComponentDescription::code;
    EXPECT_EQ(musicEffectDescription("abcd"),
              (platform::AudioComponentDescription{code("aumf"), code("abcd"), code("Snbl"), 2, 0}));
    EXPECT_EQ(frameworkUnitDescription(code("aufx"), code("dely")),
              (platform::AudioComponentDescription{code("aufx"), code("dely"), code("Snbl"), 2, 0}));
    EXPECT_EQ(appleEffectDescription(code("dist")),
              (platform::AudioComponentDescription{code("aufx"), code("dist"), code("appl"), 0, 0}));
    EXPECT_EQ(mixerDescription("mix1").componentType, code("aumx"));
    EXPECT_EQ(generatorDescription("osc1").componentType, code("augn"));
    EXPECT_EQ(instrumentDescription("smpl"),
              (platform::AudioComponentDescription{code("aumu"), code("smpl"), code("Snbl"), 2, 0}));
    EXPECT_DEATH(mixerDescription("toolong"), "");
}

TEST(ParameterForKey, OnlyParametersComeBack) {
    auto cutoff = platform::AUParameterTree::createParameter(
        "cutoff", "Cutoff", 1, 20, 20000, platform::AudioUnitParameterUnit{}, std::nullopt, 0);
    std::map<std::string, std::any> object{{"cutoff", cutoff}, {"name", std::string("Filter")}};
    EXPECT_EQ(parameter(object, "cutoff"), cutoff);
    EXPECT_EQ(parameter(object, "name"), nullptr);
    EXPECT_EQ(parameter(object, "missing"), nullptr);
    auto tree = platform::AUParameterTree::createTree({cutoff});
    EXPECT_EQ(parameter(*tree, "cutoff"), cutoff);
    EXPECT_EQ(parameter(*tree, "Cutoff"), nullptr);
}
