#include "TapTestSupport.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioUnitCalls.h"
#include "platform/core/BundleInfo.h"
#include "sonabel/taps/MultiChannelInputNodeTap.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace sonabel;
using namespace taptest;

namespace {

using Tap = MultiChannelInputNodeTap;

// Device channel c at frame t, exact in 24 bits.
float deviceValue(std::uint32_t c, std::int64_t t) {
    return float(c) * 0.125f + float(t % 4096) / 131072.0f;
}

struct CountingDelegate : MultiChannelInputNodeTapDelegate {
    void tapDidInstall(Tap&) override { ++installs; }
    void tapDidRemove(Tap&) override { ++removes; }
    void tapDidProcess(Tap&, std::uint32_t frameLength, const platform::AudioTime&) override {
        processed.push_back(frameLength);
    }
    int installs = 0, removes = 0;
    std::vector<std::uint32_t> processed;
};

// An offline engine at 48 kHz whose input device has four channels.
class MultiChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        engine->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline,
                                          *platform::AudioFormat::standard(48000, 2), 512);
        device = platform::PCMBuffer::make(*platform::AudioFormat::standard(48000, 4), 512);
        input->setManualRenderingInputPCMFormat(device->format(), [this](std::uint32_t frames) {
            for (std::uint32_t c = 0; c < 4; ++c)
                for (std::uint32_t i = 0; i < frames; ++i)
                    device->floatChannelData()[c][i] = deviceValue(c, deviceFrame + i);
            deviceFrame += frames;
            device->setFrameLength(frames);
            return device.get();
        });
        tap = std::make_shared<Tap>(input, clock);
        tap->setDirectory(dir.path.string());
    }
    void TearDown() override {
        if (tap) tap->setRecordEnabled(false);
    }
    // Connects the (mapped) input to the output and starts rendering.
    void run() {
        input->setVolume(0);
        engine->connect(input, engine->mainMixerNode(), std::nullopt);
        engine->start();
    }
    void render(int cycles) {
        auto out = platform::PCMBuffer::make(*platform::AudioFormat::standard(48000, 2), 512);
        for (int i = 0; i < cycles; ++i)
            ASSERT_EQ(engine->renderOffline(512, *out),
                      platform::AudioEngine::ManualRenderingStatus::success);
    }
    std::vector<std::int32_t> unitMap() {
        std::int32_t values[8] = {};
        std::uint32_t size = sizeof values;
        EXPECT_EQ(platform::AudioUnitGetProperty(input->auAudioUnit().get(),
                                                 platform::kAudioOutputUnitProperty_ChannelMap,
                                                 platform::kAudioUnitScope_Output, 1, values, &size),
                  noErr);
        return std::vector<std::int32_t>(values, values + size / 4);
    }

    ScopedDirectory dir;
    platform::ManualClock clock;
    std::shared_ptr<platform::AudioEngine> engine = platform::AudioEngine::make();
    std::shared_ptr<platform::AudioInputNode> input = engine->inputNode();
    std::shared_ptr<platform::PCMBuffer> device;
    std::int64_t deviceFrame = 0;
    std::shared_ptr<Tap> tap;
};

} // namespace

TEST_F(MultiChannelTest, FreshTapDefaults) {
    EXPECT_FALSE(tap->delegate());
    EXPECT_FALSE(tap->fileChannels());
    EXPECT_TRUE(tap->files().empty());
    EXPECT_EQ(tap->inputNode(), input);
    EXPECT_FALSE(tap->isRecording());
    EXPECT_EQ(tap->recordFileType(), "wav");
    EXPECT_FALSE(tap->recordFormat() || tap->bufferFormat() || tap->fileFormat());
    EXPECT_EQ(tap->sampleRate(), 48000.0); // the input's rate
    EXPECT_EQ(tap->channels(), 1u);
    EXPECT_EQ(tap->bitsPerChannel(), 24u);
    EXPECT_EQ(tap->bufferSize(), 2048u);
    EXPECT_FALSE(tap->recordEnabled());
    EXPECT_EQ(tap->recordCounter(), 1);
    EXPECT_FALSE(tap->filesReady());
    EXPECT_FALSE(tap->startedAtTime() || tap->stoppedAtTime());
    EXPECT_TRUE(tap->channelMap().empty());
    EXPECT_EQ(tap->ioLatency(), 0u);
    EXPECT_FALSE(tap->recordedDuration());
    tap->setRecordCounter(0);
    EXPECT_EQ(tap->recordCounter(), 1);
    tap->setRecordCounter(-5);
    EXPECT_EQ(tap->recordCounter(), 1);

    platform::ScopedLogCapture capture;
    auto other = std::make_shared<Tap>(input, clock);
    other.reset();
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "init(inputNode:)",
                          "inputNode 4 channels at 48000.0 kHz"));
    EXPECT_TRUE(isLogLine(capture.lines()[1], "MultiChannelInputNodeTap.cpp", "deinit",
                          "* { MultiChannelInputNodeTap }"));
}

TEST_F(MultiChannelTest, Formats) {
    platform::ScopedLogCapture capture;
    EXPECT_FALSE(tap->createRecordFormat({}));
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp",
                          "createRecordFormat(channelMap:)", "You must specify a valid channel map"));
    const auto three = tap->createRecordFormat({5, 0, 7});
    ASSERT_TRUE(three);
    EXPECT_TRUE(three->isStandard());
    EXPECT_EQ(three->channelCount(), 3u);
    EXPECT_EQ(three->sampleRate(), 48000.0);
    EXPECT_EQ(three->channelLayoutTag(), platform::AudioFormat::kAudioChannelLayoutTag_DiscreteInOrder | 3);
    EXPECT_FALSE(tap->createRecordFormat(std::vector<std::int32_t>(65, 0)));
    EXPECT_TRUE(isLogLine(capture.lines().back(), "MultiChannelInputNodeTap.cpp",
                          "createRecordFormat(channelMap:)", "Failed creating AVAudioChannelLayout"));

    tap->initFormats();
    const auto file = tap->fileFormat();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->mFormatID, platform::AudioFormat::kAudioFormatLinearPCM);
    EXPECT_EQ(file->mFormatFlags, 0x0Cu);
    EXPECT_EQ(file->mBitsPerChannel, 24u);
    EXPECT_EQ(file->mChannelsPerFrame, 1u);
    EXPECT_EQ(file->mBytesPerFrame, 3u);
    EXPECT_EQ(file->mBytesPerPacket, 3u);
    EXPECT_EQ(file->mFramesPerPacket, 1u);
    EXPECT_EQ(file->mSampleRate, 48000.0);
    EXPECT_EQ(tap->bufferFormat(), platform::AudioFormat::standard(48000, 1));
}

TEST_F(MultiChannelTest, FileNamesAndTakeNumbers) {
    platform::ScopedLogCapture capture;
    tap->setDirectory(std::nullopt);
    tap->configure(std::vector<std::int32_t>{0, 1});
    EXPECT_TRUE(isLogLine(capture.lines()[capture.lines().size() - 2], "MultiChannelInputNodeTap.cpp",
                          "createFiles()", "File Format is nil"));
    EXPECT_TRUE(tap->files().empty());
    EXPECT_FALSE(tap->filesReady());
    EXPECT_EQ(tap->recordCounter(), 1);

    tap->setDirectory(dir.path.string());
    {
        auto taken = platform::AudioFile::forWriting(dir.file("Audio 1 #1.wav"),
                                                     platform::AudioFormat::standard(48000, 1)->settings());
    }
    tap->setIOLatency(64);
    tap->createFiles();
    auto files = tap->files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]->url(), dir.file("Audio 1 #2.wav"));
    EXPECT_EQ(files[1]->url(), dir.file("Audio 2 #1.wav"));
    EXPECT_EQ(files[0]->ioLatency(), 64u);
    EXPECT_EQ(files[1]->channel(), 1);
    EXPECT_TRUE(tap->filesReady());
    EXPECT_EQ(tap->recordCounter(), 2);

    tap->setFileChannels(std::vector<Tap::FileChannel>{{"take.x", 0}, {"sub/take", 1}});
    tap->createFiles();
    files = tap->files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]->url(), dir.file("take.x #2.wav"));
    EXPECT_EQ(files[1]->url(), dir.file("take #2.wav"));
    // The files no take used are gone; the one this tap did not make stays.
    EXPECT_FALSE(std::filesystem::exists(dir.file("Audio 1 #2.wav")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("Audio 2 #1.wav")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("Audio 1 #1.wav")));

    // No free take number up to 10000: that channel gets no file, and the counter moves on all the same.
    tap->setRecordCounter(9999);
    {
        auto a = platform::AudioFile::forWriting(dir.file("take.x #9999.wav"),
                                                 platform::AudioFormat::standard(48000, 1)->settings());
    }
    {
        auto b = platform::AudioFile::forWriting(dir.file("take.x #10000.wav"),
                                                 platform::AudioFormat::standard(48000, 1)->settings());
    }
    capture.clear();
    tap->createFiles();
    EXPECT_EQ(tap->files().size(), 1u);
    EXPECT_FALSE(tap->filesReady());
    EXPECT_EQ(tap->recordCounter(), 10000);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "createFiles()",
                          "Failed to create URL in " + dir.path.string() + " with name take.x"));
    tap->setRecordCounter(10001);
    tap->createFiles();
    EXPECT_TRUE(tap->files().empty());
}

TEST_F(MultiChannelTest, RecordsEachMappedChannelIntoItsOwnFilePerTake) {
    auto delegate = std::make_shared<CountingDelegate>();
    tap->setDelegate(delegate);
    tap->setBufferSize(512);
    platform::ScopedLogCapture capture;
    tap->configure(std::vector<std::int32_t>{2, 3});
    EXPECT_EQ(tap->channelMap(), (std::vector<std::int32_t>{2, 3}));
    EXPECT_EQ(unitMap(), (std::vector<std::int32_t>{2, 3}));
    ASSERT_TRUE(tap->recordFormat());
    EXPECT_EQ(tap->recordFormat()->channelCount(), 2u);
    EXPECT_TRUE(tap->recordEnabled());
    EXPECT_EQ(delegate->installs, 1);
    auto files = tap->files();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]->url(), dir.file("Audio 3 #1.wav"));
    EXPECT_EQ(files[1]->url(), dir.file("Audio 4 #1.wav"));
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "channelMap",
                          "Attempting to update channelMap to [2, 3]"));
    run();

    render(2); // not recording: levels only
    EXPECT_EQ(delegate->processed, (std::vector<std::uint32_t>{512, 512}));
    EXPECT_GT(files[0]->amplitude(), 0.2f);
    EXPECT_EQ(files[0]->totalFramesRead(), 0u);

    const std::int64_t takeStart = deviceFrame;
    clock.set(5'000'000'000);
    tap->record();
    render(4);
    clock.set(7'500'000'000);
    tap->stop();
    EXPECT_EQ(tap->recordedDuration(), 2.5);
    EXPECT_TRUE(tap->recordEnabled()); // the tap stays
    EXPECT_FALSE(tap->filesReady());
    EXPECT_FALSE(tap->files()[0]->file());
    for (std::uint32_t k = 0; k < 2; ++k) {
        const auto samples = readAll(dir.file("Audio " + std::to_string(k + 3) + " #1.wav"))[0];
        ASSERT_EQ(samples.size(), 2048u);
        for (std::int64_t t = 0; t < 2048; ++t)
            ASSERT_EQ(samples[t], deviceValue(k + 2, takeStart + t)) << k << " " << t;
    }

    render(1); // stopped: nothing written
    capture.clear();
    tap->stop();
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "stop()", "Not Recording"));

    clock.set(9'000'000'000);
    tap->record();
    EXPECT_EQ(tap->recordedDuration(), -1.5); // the earlier stop minus the new start
    capture.clear();
    tap->record();
    EXPECT_TRUE(
        isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "record()", "Already recording"));
    render(2);
    tap->stop();
    EXPECT_EQ(readAll(dir.file("Audio 3 #2.wav"))[0].size(), 1024u);
    EXPECT_EQ(readAll(dir.file("Audio 4 #2.wav"))[0][0], deviceValue(3, takeStart + 2048 + 512));
    EXPECT_EQ(readAll(dir.file("Audio 3 #1.wav"))[0].size(), 2048u); // the first take is kept

    // Setting the map it already has changes nothing; a new one removes the tap until configured.
    capture.clear();
    tap->setChannelMap({2, 3});
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_TRUE(tap->recordEnabled());
    tap->setChannelMap({1});
    EXPECT_FALSE(tap->recordEnabled());
    EXPECT_EQ(delegate->removes, 1);
    EXPECT_EQ(tap->recordFormat()->channelCount(), 1u);
}

TEST_F(MultiChannelTest, RefusedChannelMapAndUnconfiguredTap) {
    platform::ScopedLogCapture capture;
    tap->setRecordEnabled(true); // no record format yet
    EXPECT_FALSE(tap->recordEnabled());
    EXPECT_TRUE(capture.lines().empty());

    tap->configure(std::vector<std::int32_t>{0, 1});
    ASSERT_TRUE(tap->recordEnabled());
    capture.clear();
    tap->setChannelMap(std::vector<std::int32_t>(65, 0)); // more channels than the unit takes
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[1], "MultiChannelInputNodeTap.cpp", "channelMap",
                          "Failed setting channel map"));
    EXPECT_EQ(tap->channelMap(), (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(tap->recordFormat()->channelCount(), 2u);
    EXPECT_TRUE(tap->recordEnabled());

    auto fresh = std::make_shared<Tap>(input, clock);
    fresh->setDirectory(dir.path.string());
    capture.clear();
    fresh->configure(std::vector<Tap::FileChannel>{});
    EXPECT_TRUE(fresh->channelMap().empty());
    EXPECT_FALSE(fresh->recordFormat());
    EXPECT_FALSE(fresh->recordEnabled());
    bool sawNil = false;
    for (const auto& line : capture.lines())
        sawNil =
            sawNil || isLogLine(line, "MultiChannelInputNodeTap.cpp", "createFiles()", "File Format is nil");
    EXPECT_TRUE(sawNil);

    auto detached = std::make_shared<Tap>(nullptr, clock);
    capture.clear();
    detached->setChannelMap({0});
    EXPECT_TRUE(isLogLine(capture.lines()[1], "MultiChannelInputNodeTap.cpp", "channelMap",
                          "inputNode.audioUnit is nil"));
    EXPECT_TRUE(detached->channelMap().empty());
    // Configured without an input unit: no files, no recording, and the log says why.
    detached->setDirectory(dir.path.string());
    capture.clear();
    detached->configure(std::vector<std::int32_t>{1});
    EXPECT_TRUE(isLogLine(capture.lines().back(), "MultiChannelInputNodeTap.cpp", "channelMap",
                          "inputNode.audioUnit is nil"));
    EXPECT_TRUE(detached->files().empty());
    EXPECT_FALSE(detached->fileChannels());
    EXPECT_FALSE(detached->recordEnabled());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2); // the first tap's
}

TEST_F(MultiChannelTest, BuffersWithMoreOrFewerChannelsThanFiles) {
    auto delegate = std::make_shared<CountingDelegate>();
    tap->setDelegate(delegate);
    tap->configure(std::vector<std::int32_t>{0, 1});
    platform::ScopedLogCapture capture;
    auto three = makeBuffer(*platform::AudioFormat::standard(48000, 3), 8,
                            [](std::uint32_t c, auto) { return 0.25f * float(c + 1); });
    tap->process(*three, {});
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "process(buffer:time:)",
                          "Count mismatch"));
    EXPECT_TRUE(delegate->processed.empty());
    EXPECT_EQ(tap->files()[0]->amplitude(), 0.25f);
    EXPECT_EQ(tap->files()[1]->amplitude(), 0.5f);

    auto none = platform::PCMBuffer::make(*platform::AudioFormat::standard(48000, 1), 8);
    tap->setFiles({});
    capture.clear();
    tap->process(*none, {});
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "process(buffer:time:)",
                          "Count mismatch"));

    auto ints = platform::PCMBuffer::make(
        *platform::AudioFormat::make(platform::AudioFormat::CommonFormat::pcmFormatInt16, 48000, 2, false),
        8);
    capture.clear();
    tap->process(*ints, {});
    EXPECT_TRUE(isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "process(buffer:time:)",
                          "buffer.floatChannelData is nil"));
}

TEST_F(MultiChannelTest, ConfiguredAndReconfiguredWhileTheInputRuns) {
    tap->setBufferSize(512);
    run(); // the input is connected and rendering before the tap knows its channels
    for (const auto& map : {std::vector<std::int32_t>{0, 1}, std::vector<std::int32_t>{3, 1, 2}}) {
        tap->configure(map);
        EXPECT_EQ(input->outputFormat(0).channelCount(), map.size());
        const std::int64_t takeStart = deviceFrame;
        const auto take = std::to_string(tap->recordCounter() - 1);
        tap->record();
        render(1);
        tap->stop();
        for (const std::int32_t c : map) {
            const auto samples =
                readAll(dir.file("Audio " + std::to_string(c + 1) + " #" + take + ".wav"))[0];
            ASSERT_EQ(samples.size(), 512u) << c;
            EXPECT_EQ(samples[7], deviceValue(c, takeStart + 7));
        }
    }
}

TEST_F(MultiChannelTest, ATakeWithoutFilesLeavesThePreviousTakeAlone) {
    tap->setBufferSize(512);
    tap->configure(std::vector<std::int32_t>{0, 1});
    run();
    tap->record();
    render(4);
    tap->stop();

    tap->setDirectory(std::nullopt);
    platform::ScopedLogCapture capture;
    tap->record();
    EXPECT_FALSE(tap->isRecording());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(
        isLogLine(capture.lines()[0], "MultiChannelInputNodeTap.cpp", "createFiles()", "File Format is nil"));
    render(1);
    EXPECT_EQ(readAll(dir.file("Audio 1 #1.wav"))[0].size(), 2048u);
    EXPECT_EQ(readAll(dir.file("Audio 2 #1.wav"))[0].size(), 2048u);
}

TEST_F(MultiChannelTest, ChannelsOfOneNameGetFilesOfTheirOwn) {
    tap->configure(std::vector<Tap::FileChannel>{{"Audio", 0}, {"Audio", 2}, {"sub/Audio", 3}});
    auto files = tap->files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0]->url(), dir.file("Audio #1.wav"));
    EXPECT_EQ(files[1]->url(), dir.file("Audio #2.wav"));
    EXPECT_EQ(files[2]->url(), dir.file("Audio #3.wav")); // the folder part is dropped: the same name
    EXPECT_EQ(tap->recordCounter(), 2);
}

TEST_F(MultiChannelTest, TapsOfTwoProcessesInOneFolderNeverShareAFile) {
    platform::ScopedLogCapture quiet;
    // Both processes choose their files at once, and only then record: a take of one block, of two.
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
        children[k] = fork();
        ASSERT_GE(children[k], 0);
        if (children[k] == 0) {
            tap->setBufferSize(512);
            tap->configure(std::vector<std::int32_t>{0, 1});
            run();
            char byte = 'r';
            if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
            tap->record();
            render(k + 1);
            tap->stop();
            _exit(tap->files().size() == 2 ? 0 : 3);
        }
    }
    char byte;
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
    ASSERT_EQ(write(go[1], "gg", 2), 2);
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::set<std::string> names;
    std::multiset<std::size_t> lengths;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        names.insert(entry.path().filename().string());
        lengths.insert(readAll(entry.path().string())[0].size());
    }
    EXPECT_EQ(names, (std::set<std::string>{"Audio 1 #1.wav", "Audio 1 #2.wav", "Audio 2 #1.wav",
                                            "Audio 2 #2.wav"}));
    EXPECT_EQ(lengths, (std::multiset<std::size_t>{512, 512, 1024, 1024}));
}

TEST_F(MultiChannelTest, EmptyOrRefusedMapsLeaveNoTapOrKeepTheConfiguration) {
    auto delegate = std::make_shared<CountingDelegate>();
    tap->setDelegate(delegate);
    tap->configure(std::vector<std::int32_t>{0, 1});
    const auto configured = tap->files();

    // A map the unit refuses: the configuration, its files and its tap stay as they were.
    platform::ScopedLogCapture capture;
    tap->configure(std::vector<std::int32_t>(65, 0));
    EXPECT_TRUE(isLogLine(capture.lines().back(), "MultiChannelInputNodeTap.cpp", "channelMap",
                          "Failed setting channel map"));
    EXPECT_EQ(tap->fileChannels(), (std::vector<Tap::FileChannel>{{"Audio 1", 0}, {"Audio 2", 1}}));
    EXPECT_EQ(tap->files(), configured);
    EXPECT_EQ(tap->recordCounter(), 2);
    EXPECT_TRUE(tap->recordEnabled());
    EXPECT_EQ(delegate->removes, 0);

    // An empty map removes the tap; configuring with it makes nothing.
    tap->setChannelMap({});
    EXPECT_FALSE(tap->recordEnabled());
    EXPECT_EQ(delegate->removes, 1);
    EXPECT_TRUE(input->installTap(0, 512, std::nullopt, [](auto, auto) {})); // the bus is free again
    input->removeTap(0);
    tap->configure(std::vector<std::int32_t>{0});
    tap->configure(std::vector<Tap::FileChannel>{});
    EXPECT_FALSE(tap->recordEnabled());
    EXPECT_FALSE(tap->recordFormat());
    EXPECT_EQ(tap->recordCounter(), 3);
    EXPECT_EQ(delegate->removes, 2);
}

// A live engine on a fake device whose input has four channels at 48 kHz, and a take of device
// channels 4 and 2 in blocks of 256 frames, recording from the start.
class MultiChannelRealTime : public ::testing::Test {
protected:
    void SetUp() override {
        fake.devices->setOutputFormat(*platform::AudioFormat::standard(48000, 2));
        fake.devices->setInputFormat(*platform::AudioFormat::standard(48000, 4));
        platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", "Recording takes");
        engine = std::make_unique<AudioEngine>();
        auto input = engine->input();
        ASSERT_TRUE(input);
        input->setVolume(0);
        engine->setOutput(input);
        tap = std::make_shared<Tap>(engine->avEngine()->inputNode());
        tap->setDirectory(dir.path.string());
        tap->setBufferSize(256);
        engine->start();
        tap->configure(std::vector<std::int32_t>{3, 1});
        tap->record();
    }
    void TearDown() override {
        tap.reset();
        engine.reset();
        platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", std::nullopt);
        Settings::setAudioFormat(Settings::defaultAudioFormat());
    }
    FakeDevices fake;
    ScopedDirectory dir;
    std::unique_ptr<AudioEngine> engine;
    std::shared_ptr<Tap> tap;
};

TEST_F(MultiChannelRealTime, RecordsWhatTheInputDeviceCaptures) {
    for (std::int64_t block = 0; block < 4; ++block) {
        auto captured =
            makeBuffer(*platform::AudioFormat::standard(48000, 4), 256,
                       [&](std::uint32_t c, std::uint32_t i) { return deviceValue(c, block * 256 + i); });
        ASSERT_EQ(fake.devices->feedInput(*captured), 256u);
        fake.devices->tick(256);
    }
    // The device's taps reach the files on the tap thread.
    ASSERT_TRUE(engine->avEngine()->waitForTapDeliveries(std::chrono::seconds(60)));
    tap->stop();
    engine->stop();
    tap->setRecordEnabled(false);
    const auto fourth = readAll(dir.file("Audio 4 #1.wav"))[0];
    const auto second = readAll(dir.file("Audio 2 #1.wav"))[0];
    ASSERT_EQ(fourth.size(), 1024u);
    ASSERT_EQ(second.size(), 1024u);
    for (std::int64_t t = 0; t < 1024; ++t) {
        ASSERT_EQ(fourth[t], deviceValue(3, t)) << t;
        ASSERT_EQ(second[t], deviceValue(1, t)) << t;
    }
}

TEST_F(MultiChannelRealTime, InputTheRingDroppedIsWrittenAsSilenceAndTheStopSaysHowMuch) {
    // 256 frames more than the capture ring holds: dropped on the way in.
    auto captured = makeBuffer(*platform::AudioFormat::standard(48000, 4), 8448,
                               [&](std::uint32_t c, std::uint32_t i) { return deviceValue(c, i); });
    ASSERT_EQ(fake.devices->feedInput(*captured), 8192u);
    for (int block = 0; block < 32; ++block)
        fake.devices->tick(256);
    ASSERT_TRUE(engine->avEngine()->waitForTapDeliveries(std::chrono::seconds(60)));
    platform::ScopedLogCapture capture;
    tap->stop();
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_TRUE(isLogLine(capture.lines().back(), "MultiChannelInputNodeTap.cpp", "stop()",
                          "⏹ Of the take, 0.005333333333333333 s are silence in place of lost input"));
    engine->stop();
    tap->setRecordEnabled(false);
    for (const char* name : {"Audio 4 #1.wav", "Audio 2 #1.wav"}) {
        const auto take = readAll(dir.file(name))[0];
        EXPECT_EQ(take.size(), 8448u);
        EXPECT_EQ(std::count(take.begin(), take.end(), 0.0f), 256);
    }
}

TEST_F(MultiChannelRealTime, AStopKeepsEveryBlockRenderedBeforeIt) {
    // The tap thread is held from the first cycle on, as a slow disk would hold it.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> held{false};
    auto mixer = engine->mainMixerNode()->avAudioNode();
    ASSERT_TRUE(mixer->installTap(0, 256, std::nullopt, [&, released](auto, auto) {
        if (!held.exchange(true)) released.wait_for(std::chrono::seconds(60));
    }));
    for (std::int64_t block = 0; block < 8; ++block) {
        auto captured =
            makeBuffer(*platform::AudioFormat::standard(48000, 4), 256,
                       [&](std::uint32_t c, std::uint32_t i) { return deviceValue(c, block * 256 + i); });
        ASSERT_EQ(fake.devices->feedInput(*captured), 256u);
        ASSERT_TRUE(fake.devices->tick(256));
    }
    auto stopping = std::async(std::launch::async, [&] { tap->stop(); });
    // Long enough for a stop that does not wait to have closed the files.
    stopping.wait_for(std::chrono::milliseconds(200));
    release.set_value();
    stopping.get();
    mixer->removeTap(0);
    engine->stop();
    tap->setRecordEnabled(false);
    for (const auto& [name, channel] : {std::pair{"Audio 4 #1.wav", 3u}, std::pair{"Audio 2 #1.wav", 1u}}) {
        const auto take = readAll(dir.file(name))[0];
        ASSERT_EQ(take.size(), 2048u) << name;
        for (std::int64_t t = 0; t < 2048; ++t)
            ASSERT_EQ(take[t], deviceValue(channel, t)) << name << " " << t;
    }
}

TEST_F(MultiChannelRealTime, BlocksLostAtTheEndOfATakeAreSilenceOfTheirLengthInIt) {
    // The tap thread is held while the take's pool runs out, then catches up; rows differ in whether
    // a block is rendered after the loss to carry its silence, or the stop alone must.
    struct Case {
        int heldBlocks;
        int blocksAfter;
    };
    const Case cases[] = {{300, 0}, {300, 8}, {200, 0}};
    int take = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.heldBlocks << " blocks held, " << c.blocksAfter << " after");
        if (take > 0) tap->record();
        ++take;
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> held{false};
        auto mixer = engine->mainMixerNode()->avAudioNode();
        ASSERT_TRUE(mixer->installTap(0, 256, std::nullopt, [&, released](auto, auto) {
            if (!held.exchange(true)) released.wait_for(std::chrono::seconds(60));
        }));
        std::int64_t frame = 0;
        const auto tick = [&](int blocks) {
            for (int block = 0; block < blocks; ++block, frame += 256) {
                auto captured =
                    makeBuffer(*platform::AudioFormat::standard(48000, 4), 256,
                               [&](std::uint32_t ch, std::uint32_t i) { return deviceValue(ch, frame + i); });
                ASSERT_EQ(fake.devices->feedInput(*captured), 256u);
                ASSERT_TRUE(fake.devices->tick(256));
            }
        };
        tick(c.heldBlocks);
        release.set_value();
        ASSERT_TRUE(engine->avEngine()->waitForTapDeliveries(std::chrono::seconds(60)));
        tick(c.blocksAfter);
        ASSERT_TRUE(engine->avEngine()->waitForTapDeliveries(std::chrono::seconds(60)));
        mixer->removeTap(0);
        platform::ScopedLogCapture capture;
        tap->stop();
        const std::string number = std::to_string(take);
        for (const auto& [name, channel] :
             {std::pair{"Audio 4 #" + number + ".wav", 3u}, std::pair{"Audio 2 #" + number + ".wav", 1u}}) {
            const auto samples = readAll(dir.file(name))[0];
            ASSERT_EQ(std::int64_t(samples.size()), frame) << name;
            const auto zeros = std::count(samples.begin(), samples.end(), 0.0f);
            EXPECT_GT(zeros, 0) << name;
            EXPECT_EQ(zeros % 256, 0) << name;
            for (std::int64_t t = 0; t < frame; ++t) {
                if (samples[t] == 0.0f) continue;
                ASSERT_EQ(samples[t], deviceValue(channel, t)) << name << " " << t;
            }
            // The tap thread's own report of the losses may come at any time.
            std::vector<std::string> stops;
            for (const auto& line : capture.lines())
                if (line.rfind("MultiChannelInputNodeTap.cpp:stop():", 0) == 0) stops.push_back(line);
            ASSERT_FALSE(stops.empty());
            EXPECT_TRUE(isLogLine(stops.back(), "MultiChannelInputNodeTap.cpp", "stop()",
                                  "⏹ Of the take, " + platform::describe(double(zeros) / 48000) +
                                      " s are silence in place of lost input"));
        }
    }
    engine->stop();
    tap->setRecordEnabled(false);
}
