#include "TapTestSupport.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "platform/core/BundleInfo.h"
#include "platform/core/Sleeper.h"
#include "platform/core/ValueText.h"
#include "sonabel/nodes/mixing/Mixer.h"
#include "sonabel/taps/NodeRecorder.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <future>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sonabel;
using namespace taptest;

namespace {

class NodeRecorderTest : public TapTest {
protected:
    void SetUp() override {
        TapTest::SetUp();
        setenv("TZ", "UTC", 1);
        tzset();
        NodeRecorder::setTemporaryDirectory(dir.path.string());
        NodeRecorder::setDateSource([this] { return date; });
        NodeRecorder::removeTempFiles();
    }
    void TearDown() override {
        platform::ScopedLogCapture quiet;
        NodeRecorder::removeTempFiles();
        NodeRecorder::setTemporaryDirectory(std::nullopt);
        NodeRecorder::setDateSource(nullptr);
        Settings::setWaitBeforeRecorderStop(false);
        TapTest::TearDown();
    }
    std::shared_ptr<platform::AudioFile> floatWav(const std::string& name, std::uint32_t channels = 2) {
        return platform::AudioFile::forWriting(dir.file(name),
                                               platform::AudioFormat::standard(44100, channels)->settings());
    }
    // 2024-03-05 06:07:08 UTC, moved on by whole seconds.
    std::chrono::system_clock::time_point date = std::chrono::system_clock::from_time_t(1709618828);
    ScopedDirectory dir;
};

// Channel c at frame t: distinct values a float file keeps exactly.
float ramp(std::uint32_t c, std::int64_t t) {
    return float(t % 4096) / 8192.0f - float(c) * 0.25f;
}

} // namespace

TEST_F(NodeRecorderTest, RecordsTheNodeSampleForSample) {
    auto source = attach(ramp);
    auto recorder = std::make_shared<NodeRecorder>(source, floatWav("take.wav"));
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(recorder->durationToRecord(), 0.0);
    EXPECT_FALSE(recorder->recordFormat());
    EXPECT_EQ(recorder->bus(), 0);
    EXPECT_DOUBLE_EQ(recorder->recordBufferDuration(), 16384.0 / 44100);
    recorder->record();
    EXPECT_TRUE(recorder->isRecording());
    engine.render(5000.0 / 44100); // four whole tap buffers of 1024 frames, and 904 frames of a fifth
    recorder->stop();
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_DOUBLE_EQ(recorder->recordBufferDuration(), 1024.0 / 44100);
    EXPECT_DOUBLE_EQ(recorder->recordedDuration(), 5000.0 / 44100);
    engine.render(2048.0 / 44100); // the tap is gone
    const auto samples = readAll(dir.file("take.wav"));
    ASSERT_EQ(samples.size(), 2u);
    ASSERT_EQ(samples[0].size(), 5000u);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::int64_t t = 0; t < 5000; ++t)
            ASSERT_EQ(samples[c][t], ramp(c, t)) << c << " " << t;
    auto reading = recorder->audioFile();
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->length(), 5000);
}

TEST_F(NodeRecorderTest, StopsByItselfOnTheFirstBufferThatReachesTheDuration) {
    auto source = attach(ramp);
    auto recorder = std::make_shared<NodeRecorder>(source, floatWav("half.wav"));
    recorder->setDurationToRecord(0.5);
    recorder->record();
    engine.render(1.0);
    EXPECT_FALSE(recorder->isRecording());
    EXPECT_EQ(readAll(dir.file("half.wav"))[0].size(),
              22528u); // 22 buffers: the first count of at least 22050

    auto endless = std::make_shared<NodeRecorder>(source, floatWav("all.wav"));
    endless->record();
    engine.render(1.0);
    EXPECT_TRUE(endless->isRecording());
    endless->stop();
    EXPECT_EQ(readAll(dir.file("all.wav"))[0].size(), 44100u); // every frame rendered before the stop
}

TEST_F(NodeRecorderTest, TemporaryFilesAreNamedAfterTheDateAndRecordReadably) {
    platform::ScopedLogCapture capture;
    auto source = attach(ramp);
    auto recorder = std::make_shared<NodeRecorder>(source);
    const std::string path = dir.file("2024-03-05 06-07-08.caf");
    EXPECT_EQ(NodeRecorder::tempFiles(), (std::vector<std::string>{path}));
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeRecorder.cpp", "createTempFile()",
                          "Creating temp file at " + path));
    ASSERT_TRUE(recorder->internalAudioFile());
    EXPECT_TRUE(recorder->internalAudioFile()->processingFormat().isInterleaved());

    // Temporary files take interleaved samples; the deinterleaved tap buffers still land intact.
    recorder->record();
    engine.render(2048.0 / 44100);
    recorder->stop();

    // A second recording in the same second gets a file of its own; the first keeps its take.
    auto second = std::make_shared<NodeRecorder>(source);
    const std::string secondPath = dir.file("2024-03-05 06-07-08 2.caf");
    EXPECT_EQ(second->internalAudioFile()->url(), secondPath);
    EXPECT_EQ(NodeRecorder::tempFiles(), (std::vector<std::string>{path, secondPath}));
    auto samples = readAll(path);
    ASSERT_EQ(samples[1].size(), 2048u);
    for (std::int64_t t = 0; t < 2048; ++t)
        ASSERT_EQ(samples[1][t], ramp(1, t));

    // A vanished file is replaced by a new temporary file, not re-created at the old path.
    std::filesystem::remove(path);
    date += std::chrono::seconds(61);
    recorder->record();
    engine.render(1024.0 / 44100);
    recorder->stop();
    const std::string next = dir.file("2024-03-05 06-08-09.caf");
    EXPECT_EQ(recorder->internalAudioFile()->url(), next);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(readAll(next)[0].size(), 1024u);

    capture.clear();
    NodeRecorder::removeTempFiles();
    EXPECT_FALSE(std::filesystem::exists(next));
    EXPECT_TRUE(NodeRecorder::tempFiles().empty());
    ASSERT_EQ(capture.lines().size(), 3u); // the two of the same second, then the replacement
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeRecorder.cpp", "removeTempFiles()",
                          "𝗫 Deleted tmp file at " + path));
    EXPECT_TRUE(isLogLine(capture.lines()[2], "NodeRecorder.cpp", "removeTempFiles()",
                          "𝗫 Deleted tmp file at " + next));
}

TEST_F(NodeRecorderTest, RefusalsAndWarnings) {
    platform::ScopedLogCapture capture;
    auto detached = std::make_shared<Source>(ramp);
    auto recorder = std::make_shared<NodeRecorder>(detached, floatWav("never.wav"));
    recorder->record();
    EXPECT_FALSE(recorder->isRecording());
    recorder->stop();
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(isLogLine(lines[0], "NodeRecorder.cpp", "record()",
                          "⏺ Recording using format " +
                              recorder->internalAudioFile()->processingFormat().description()));
    EXPECT_TRUE(isLogLine(lines[1], "NodeRecorder.cpp", "record()",
                          "🛑 Error: Error recording. Input node 'Source' has no engine."));
    EXPECT_TRUE(
        isLogLine(lines[2], "NodeRecorder.cpp", "stop()", "Warning: Cannot stop recording, already stopped"));

    capture.clear();
    auto fileless = std::make_shared<NodeRecorder>(detached, nullptr);
    EXPECT_EQ(fileless->recordedDuration(), 0.0);
    EXPECT_FALSE(fileless->audioFile());
    fileless->reset(); // nothing to clear, nothing raised
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeRecorder.cpp", "init(node:file:bus:)",
                          "Error, no file to write to"));

    auto source = attach(ramp);
    auto twice = std::make_shared<NodeRecorder>(source, floatWav("twice.wav"));
    twice->record();
    capture.clear();
    twice->record();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeRecorder.cpp", "record()", "Warning: already recording"));
    twice->stop();

    // A tap the platform refuses (a format that does not match the bus) is no recording.
    auto refused = std::make_shared<NodeRecorder>(source, floatWav("refused.wav"));
    refused->setRecordFormat(platform::AudioFormat::standard(22050, 1));
    refused->record();
    EXPECT_FALSE(refused->isRecording());
}

TEST_F(NodeRecorderTest, FailedWritesAreLoggedAndRecordingGoesOn) {
    platform::ScopedLogCapture capture;
    auto source = attach(ramp);
    auto recorder = std::make_shared<NodeRecorder>(source, floatWav("mono.wav", 1)); // the bus is stereo
    recorder->record();
    engine.render(2048.0 / 44100);
    EXPECT_TRUE(recorder->isRecording());
    recorder->stop();
    std::vector<std::string> failures;
    for (const auto& line : capture.lines())
        if (line.find("process(buffer:time:)") != std::string::npos) failures.push_back(line);
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_TRUE(isLogLine(failures[0], "NodeRecorder.cpp", "process(buffer:time:)",
                          "Write failed: error -> buffer format does not match the processing format"));
    EXPECT_EQ(recorder->recordedDuration(), 0.0);
}

TEST_F(NodeRecorderTest, ResetLeavesAnEmptyFileAtTheSamePath) {
    auto source = attach(ramp);
    auto recorder = std::make_shared<NodeRecorder>(source, floatWav("reset.wav"));
    recorder->record();
    engine.render(2048.0 / 44100);
    platform::ScopedLogCapture capture;
    recorder->reset();
    EXPECT_FALSE(recorder->isRecording());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "NodeRecorder.cpp", "reset()", "File has been cleared"));
    EXPECT_EQ(recorder->recordedDuration(), 0.0);
    EXPECT_EQ(recorder->internalAudioFile()->url(), dir.file("reset.wav"));
    EXPECT_TRUE(readAll(dir.file("reset.wav"))[0].empty());

    // Recording again after the reset writes from the start of the fresh file.
    recorder->record();
    engine.render(1024.0 / 44100);
    recorder->stop();
    const auto samples = readAll(dir.file("reset.wav"));
    ASSERT_EQ(samples[0].size(), 1024u);
    EXPECT_EQ(samples[0][0], ramp(0, 2048));

    // A new file that cannot be made is raised, and logged.
    std::filesystem::remove_all(dir.path);
    capture.clear();
    EXPECT_THROW(recorder->reset(), platform::AudioError);
    ASSERT_FALSE(capture.lines().empty());
    EXPECT_TRUE(
        isLogLine(capture.lines().back(), "NodeRecorder.cpp", "reset()", "Error: Can't record toreset.wav"));
    std::filesystem::create_directories(dir.path);
}

TEST_F(NodeRecorderTest, OptionalWaitBeforeStopUsesTheSleeper) {
    auto source = attach(ramp);
    platform::ManualClock sleepClock(0);
    platform::ManualSleeper sleeper(sleepClock);
    auto recorder = std::make_shared<NodeRecorder>(source, floatWav("wait.wav"));
    recorder->setSleeper(sleeper);
    recorder->record();
    engine.render(1024.0 / 44100);
    recorder->stop();
    EXPECT_EQ(sleeper.calls(), 0u);
    Settings::setWaitBeforeRecorderStop(true);
    recorder->record();
    engine.render(1024.0 / 44100);
    recorder->stop();
    EXPECT_EQ(sleeper.calls(), 1u);
    EXPECT_EQ(sleepClock.now(), std::uint64_t(1024.0 / 44100 * 1e9));
}

TEST_F(NodeRecorderTest, RecordersStartedInTheSameSecondOnManyThreadsTakeFilesOfTheirOwn) {
    platform::ScopedLogCapture quiet;
    std::vector<std::string> urls[8];
    std::vector<std::thread> threads;
    for (auto& mine : urls)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 4; ++i)
                if (auto file = NodeRecorder::createTempFile()) mine.push_back(file->url());
        });
    for (auto& thread : threads)
        thread.join();
    std::set<std::string> distinct;
    std::size_t total = 0;
    for (const auto& mine : urls) {
        distinct.insert(mine.begin(), mine.end());
        total += mine.size();
    }
    EXPECT_EQ(total, 32u);
    EXPECT_EQ(distinct.size(), 32u);

    // A file that cannot be made leaves no name behind.
    NodeRecorder::setTemporaryDirectory(dir.file("missing"));
    EXPECT_FALSE(NodeRecorder::createTempFile());
    EXPECT_EQ(NodeRecorder::tempFiles().size(), 32u);
}

TEST_F(NodeRecorderTest, InputLostOnTheWayInIsRecordedAsSilenceSoTheTakeKeepsTime) {
    fake.devices->setInputFormat(*platform::AudioFormat::standard(44100, 2));
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", "Recording takes");
    AudioEngine live;
    auto input = live.input();
    ASSERT_TRUE(input);
    live.setOutput(input);
    live.start();
    auto recorder = std::make_shared<NodeRecorder>(input, floatWav("take.wav"));
    platform::ScopedLogCapture capture;
    recorder->record();
    const platform::AudioFormat format = *platform::AudioFormat::standard(44100, 2);
    std::int64_t fed = 0, ticked = 0;
    const auto feed = [&](std::uint32_t frames) {
        fake.devices->feedInput(*makeBuffer(format, frames, [](auto, auto) { return 0.25f; }));
        fed += frames;
    };
    // Ten seconds are ticked through in a fraction of one, far faster than a device's periods come:
    // each period's blocks reach the file before the next, so that a busy machine cannot starve the
    // tap thread into losing blocks, and only the ring's losses are silent.
    const auto tick = [&] {
        fake.devices->tick(512, std::uint64_t(1'000'000'000 + ticked * 1'000'000'000 / 44100));
        ticked += 512;
        return live.avEngine()->waitForTapDeliveries(std::chrono::seconds(60));
    };
    // The device hands over more than the capture ring holds (an overrun), then keeps pace: the ring
    // stays full for ten seconds without another loss, and is then trimmed back to its start.
    feed(9192);
    ASSERT_TRUE(tick());
    for (int i = 0; i < 870; ++i) {
        feed(512);
        ASSERT_TRUE(tick());
    }
    recorder->stop();
    live.stop();
    const auto take = readAll(dir.file("take.wav"))[0];
    EXPECT_LE(take.size(), std::size_t(fed));
    EXPECT_GT(take.size() + Settings::recorderBufferLength().samplesCount(), std::size_t(fed));
    EXPECT_EQ(std::count(take.begin(), take.end(), 0.0f), 8680); // 1000 dropped, 7680 trimmed

    std::vector<std::string> audio;
    for (const auto& entry : capture.entries())
        if (entry.text.rfind("Audio input:", 0) == 0) audio.push_back(entry.text);
    EXPECT_EQ(audio, (std::vector<std::string>{
                         "Audio input: 1000 frames dropped (overrun), 0 frames of silence (underrun)",
                         "Audio input: 0 frames dropped (overrun), 0 frames of silence (underrun), 7680 "
                         "frames dropped (latency reduced)"}));
    EXPECT_TRUE(isLogLine(capture.lines().back(), "NodeRecorder.cpp", "stop()",
                          "⏹ Recorded " + platform::describe(double(take.size()) / 44100) +
                              " s, of which 0.19682539682539682 s silence in place of lost audio"));
    platform::BundleInfo::main().setValue("NSMicrophoneUsageDescription", std::nullopt);
}

TEST_F(NodeRecorderTest, RecordersOfTwoProcessesInTheSameSecondAndFolderNeverShareAFile) {
    platform::ScopedLogCapture quiet;
    // Two processes wait at one pipe, then each makes 32 files of the same second and writes its own
    // mark into each one (its length).
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    pid_t children[2];
    for (int k = 0; k < 2; ++k) {
        children[k] = fork();
        ASSERT_GE(children[k], 0);
        if (children[k] == 0) {
            close(gate[1]);
            char go;
            if (read(gate[0], &go, 1) != 1) _exit(2);
            int status = 0;
            for (int i = 0; i < 32; ++i) {
                auto file = NodeRecorder::createTempFile();
                auto mark = file ? platform::PCMBuffer::make(file->processingFormat(), 1 + k) : nullptr;
                if (!mark) {
                    status = 3;
                    continue;
                }
                mark->setFrameLength(1 + k);
                file->write(*mark);
            }
            _exit(status);
        }
    }
    close(gate[0]);
    ASSERT_EQ(write(gate[1], "go", 2), 2);
    close(gate[1]);
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    int frames[3] = {0, 0, 0};
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
        const auto length = platform::AudioFile::forReading(entry.path().string())->length();
        ++frames[std::clamp<std::int64_t>(length, 0, 2)];
    }
    EXPECT_EQ(frames[1], 32); // the first process's marks
    EXPECT_EQ(frames[2], 32);
    EXPECT_EQ(frames[0], 0);
}

// A stop on the tap thread itself cannot wait for the take's last blocks, nor one whose tap thread is
// held longer than it waits: they still reach the take, and once a reset has put an empty file in its
// place they reach neither that file nor the old one.
TEST_F(NodeRecorderTest, BlocksOnTheirWayWhenATakeEndsStayInThatTake) {
    for (const auto& [resetAfterStop, stopOutside] :
         {std::pair{false, false}, {true, false}, {false, true}}) {
        SCOPED_TRACE(testing::Message() << resetAfterStop << stopOutside);
        AudioEngine live;
        auto source = std::make_shared<Source>(ramp);
        live.setOutput(source);
        live.start();
        const std::string name = resetAfterStop ? "reset.wav" : "kept.wav";
        auto recorder = std::make_shared<NodeRecorder>(source, floatWav(name));
        platform::ScopedLogCapture capture;
        recorder->record();
        // The mixer's first block holds the tap thread while the device renders on, then stops the
        // recorder from there.
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::atomic<bool> held{false};
        auto mixer = live.mainMixerNode()->avAudioNode();
        ASSERT_TRUE(mixer->installTap(0, 512, std::nullopt, [&, released](auto, auto) {
            if (held.exchange(true)) return;
            released.wait_for(std::chrono::seconds(60));
            if (stopOutside) return;
            recorder->stop();
            if (resetAfterStop) recorder->reset();
        }));
        const std::uint32_t block = Settings::recorderBufferLength().samplesCount();
        for (std::uint32_t frames = 0; frames < 8 * block; frames += 512)
            ASSERT_TRUE(fake.devices->tick(512));
        if (stopOutside) {
            recorder->setTakeEndWait(std::chrono::milliseconds(20));
            recorder->stop();
        }
        release.set_value();
        ASSERT_TRUE(live.avEngine()->waitForTapDeliveries(std::chrono::seconds(60)));
        mixer->removeTap(0);
        live.stop();
        EXPECT_FALSE(recorder->isRecording());
        const auto take = readAll(dir.file(name))[0];
        if (resetAfterStop) {
            EXPECT_EQ(take.size(), 0u);
        } else {
            ASSERT_EQ(take.size(), 8u * block);
            for (std::int64_t t = 0; t < std::int64_t(take.size()); ++t)
                ASSERT_EQ(take[t], ramp(0, t)) << t;
        }
        for (const auto& line : capture.lines())
            EXPECT_EQ(line.find("Write failed"), std::string::npos) << line;
    }
}
