// Taps and recorders driven from one thread while the graph renders on another: run under
// ThreadSanitizer in CI, where a race is a failure.
#include "TapTestSupport.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioMixerNode.h"
#include "sonabel/taps/AmplitudeTap.h"
#include "sonabel/taps/MultiChannelInputNodeTap.h"
#include "sonabel/taps/NodeRecorder.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace sonabel;
using namespace taptest;

TEST(TapThreads, TapsStartStopAndReconfigureWhileTheGraphRenders) {
    platform::ScopedLogCapture quiet;
    ScopedDirectory dir;
    platform::ManualClock clock;
    platform::MainQueue queue{clock};
    platform::TestMainQueueDriver driver{queue, clock};
    const bool wait = Settings::waitBeforeRecorderStop();
    Settings::setWaitBeforeRecorderStop(false);

    auto engine = platform::AudioEngine::make();
    engine->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline,
                                      *platform::AudioFormat::standard(48000, 2), 256);
    auto device = platform::PCMBuffer::make(*platform::AudioFormat::standard(48000, 3), 256);
    auto input = engine->inputNode();
    input->setManualRenderingInputPCMFormat(device->format(), [&](std::uint32_t frames) {
        for (std::uint32_t c = 0; c < 3; ++c)
            std::fill(device->floatChannelData()[c], device->floatChannelData()[c] + frames,
                      0.1f * float(c + 1));
        device->setFrameLength(frames);
        return device.get();
    });
    auto source =
        std::make_shared<Source>([](std::uint32_t, std::int64_t t) { return float(t % 64) / 64.0f; });
    engine->attach(source->node);
    engine->connect(source->node, engine->mainMixerNode(), std::nullopt);
    input->setVolume(0);
    engine->connect(input, engine->mainMixerNode(), std::nullopt);
    engine->start();

    std::atomic<bool> done{false};
    std::atomic<int> cycles{0};
    std::thread renderer([&] {
        auto out = platform::PCMBuffer::make(*platform::AudioFormat::standard(48000, 2), 256);
        while (!done.load()) {
            engine->renderOffline(256, *out);
            ++cycles;
        }
    });

    // The renderer runs its cycles whatever this thread does; a renderer that stops fails the test
    // rather than hanging it. The limit is far beyond what a loaded or emulated machine needs.
    const auto renders = [&](int count) {
        const int until = cycles.load() + count;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (cycles.load() < until && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        return cycles.load() >= until;
    };

    auto amplitude = std::make_shared<AmplitudeTap>(source, 256);
    amplitude->setMainQueue(queue);
    auto multi = std::make_shared<MultiChannelInputNodeTap>(input, clock);
    multi->setDirectory(dir.path.string());
    multi->setBufferSize(256);
    for (int round = 0; round < 20; ++round) {
        amplitude->start();
        multi->configure(round % 2 ? std::vector<std::int32_t>{2, 0} : std::vector<std::int32_t>{1});
        multi->record();
        auto recorder = std::make_shared<NodeRecorder>(
            source, platform::AudioFile::forWriting(dir.file("node " + std::to_string(round) + ".wav"),
                                                    platform::AudioFormat::standard(48000, 2)->settings()));
        recorder->record();
        const bool rendered = renders(4);
        driver.runUntilIdle();
        recorder->stop();
        multi->stop();
        multi->setChannelMap({});
        amplitude->stop();
        if (!rendered) {
            ADD_FAILURE() << "the renderer made no progress in round " << round;
            break;
        }
    }
    done = true;
    renderer.join();
    driver.runUntilIdle();
    engine->stop();
    Settings::setWaitBeforeRecorderStop(wait);
    EXPECT_GT(cycles.load(), 80);
    EXPECT_FALSE(multi->recordEnabled());
    EXPECT_TRUE(std::filesystem::exists(dir.file("Audio 3 #2.wav")));
}
