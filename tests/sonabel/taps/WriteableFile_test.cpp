#include "TapTestSupport.h"

#include "sonabel/taps/MultiChannelInputNodeTap.h"

using namespace sonabel;
using namespace taptest;

namespace {

platform::AudioStreamBasicDescription int24(double rate) {
    platform::AudioStreamBasicDescription d;
    d.mSampleRate = rate;
    d.mFormatID = platform::AudioFormat::kAudioFormatLinearPCM;
    d.mFormatFlags = platform::kAudioFormatFlagIsSignedInteger | platform::kAudioFormatFlagIsPacked;
    d.mBytesPerPacket = d.mBytesPerFrame = 3;
    d.mFramesPerPacket = d.mChannelsPerFrame = 1;
    d.mBitsPerChannel = 24;
    return d;
}

// Frame t of the take, exact in 24 bits.
float frameValue(std::int64_t t) {
    return float(t) / 131072.0f;
}

class WriteableFileTest : public ::testing::Test {
protected:
    // Feeds n buffers of `frames` frames, the take's frames in order.
    void feed(WriteableFile& file, int n, std::uint32_t frames = 512) {
        for (int b = 0; b < n; ++b) {
            auto buffer =
                makeBuffer(mono, frames, [&](auto, std::uint32_t i) { return frameValue(fed + i); });
            file.writeFile(*buffer, platform::AudioTime::withSampleTime(fed, 48000));
            fed += frames;
        }
    }
    std::vector<std::string> contents(const platform::ScopedLogCapture& capture) {
        std::vector<std::string> out;
        for (const auto& line : capture.lines())
            out.push_back(line.substr(0, line.find(" (")));
        return out;
    }
    const platform::AudioFormat mono = *platform::AudioFormat::standard(48000, 1);
    std::int64_t fed = 0;
    ScopedDirectory dir;
};

} // namespace

TEST_F(WriteableFileTest, LatencyEndingInsideABufferWritesItsTail) {
    WriteableFile file(dir.file("a.wav"), int24(48000), 0, 1000);
    file.createFile();
    platform::ScopedLogCapture capture;
    feed(file, 1);
    EXPECT_FALSE(file.ioLatencyHandled());
    EXPECT_EQ(file.totalFramesWritten(), 0);
    EXPECT_EQ(file.timestamp(), platform::AudioTime::withSampleTime(0, 48000)); // also for a dropped buffer
    feed(file, 3);
    EXPECT_TRUE(file.ioLatencyHandled());
    EXPECT_EQ(file.totalFramesRead(), 2048u);
    EXPECT_EQ(file.totalFramesWritten(), 24 + 512 * 2);
    const auto lines = contents(capture);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(
        lines[0].ends_with(":Actual buffer size is 512 totalFramesRead 512 Attempting to skip 1000 frames "
                           "for latency compensation"));
    EXPECT_TRUE(
        lines[1].ends_with(":Actual buffer size is 512 totalFramesRead 1024 Attempting to skip 1000 frames "
                           "for latency compensation"));
    EXPECT_TRUE(isLogLine(capture.lines()[2], "WriteableFile.cpp", "writeFile(buffer:time:)",
                          "Writing partial buffer 24 frames, ioLatency is 1000 latencyOffset 24"));
    file.close();
    const auto samples = readAll(dir.file("a.wav"))[0];
    ASSERT_EQ(samples.size(), 1048u);
    for (std::size_t i = 0; i < samples.size(); ++i)
        ASSERT_EQ(samples[i], frameValue(1000 + std::int64_t(i))) << i;
}

TEST_F(WriteableFileTest, LatencyOnABufferBoundaryOrInsideTheFirstBuffer) {
    WriteableFile boundary(dir.file("b.wav"), int24(48000), 1, 1024);
    boundary.createFile();
    platform::ScopedLogCapture capture;
    feed(boundary, 3);
    ASSERT_EQ(capture.lines().size(), 4u);
    EXPECT_TRUE(isLogLine(capture.lines()[3], "WriteableFile.cpp", "writeFile(buffer:time:)",
                          "Unexpected buffer size of 512"));
    EXPECT_EQ(boundary.totalFramesWritten(), 512);
    boundary.close();
    EXPECT_EQ(readAll(dir.file("b.wav"))[0][0], frameValue(1024));

    fed = 0;
    WriteableFile early(dir.file("c.wav"), int24(48000), 2, 300);
    early.createFile();
    feed(early, 2);
    EXPECT_EQ(early.totalFramesWritten(), 212 + 512);
    early.close();
    const auto samples = readAll(dir.file("c.wav"))[0];
    ASSERT_EQ(samples.size(), 724u);
    EXPECT_EQ(samples[0], frameValue(300));
    EXPECT_EQ(samples[723], frameValue(1023));
}

TEST_F(WriteableFileTest, NoLatencyCountsAndLevels) {
    WriteableFile file(dir.file("d.wav"), int24(48000), 0, 0);
    EXPECT_EQ(file.description(), "url: " + dir.file("d.wav") + ", channel: 0, file is open: false");
    EXPECT_FALSE(file.file());
    EXPECT_EQ(file.amplitude(), 0.0f);
    EXPECT_EQ(file.duration(), 0.0);
    EXPECT_TRUE(file.amplitudeArray().empty());
    EXPECT_FALSE(file.timestamp());
    EXPECT_EQ(file.totalFramesRead(), 0u);

    feed(file, 1); // not open: nothing counted
    EXPECT_EQ(file.totalFramesRead(), 0u);
    EXPECT_FALSE(file.timestamp());

    file.createFile();
    EXPECT_EQ(file.description(), "url: " + dir.file("d.wav") + ", channel: 0, file is open: true");
    platform::ScopedLogCapture capture;
    auto half = makeBuffer(mono, 24000, [](auto, auto) { return 0.5f; });
    file.handle(*half, {}, true);
    EXPECT_EQ(file.amplitude(), 0.5f);
    file.handle(*half, {}, true);
    EXPECT_EQ(file.amplitudeArray(), (std::vector<float>{0.0f, 0.5f})); // the level before each write
    file.handle(*half, {}, false);
    EXPECT_EQ(file.totalFramesWritten(), 48000);
    EXPECT_EQ(file.duration(), 1.0);
    EXPECT_FALSE(file.ioLatencyHandled());
    EXPECT_TRUE(capture.lines().empty());

    auto ints = platform::PCMBuffer::make(
        *platform::AudioFormat::make(platform::AudioFormat::CommonFormat::pcmFormatInt16, 48000, 1, false),
        4);
    file.handle(*ints, {}, false);
    EXPECT_EQ(file.amplitude(), 0.0f);

    file.close();
    file.close();
    ASSERT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(isLogLine(capture.lines()[0], "WriteableFile.cpp", "close()",
                          "recorded duration is 1.0 initial timestamp is " +
                              platform::AudioTime().description() +
                              " totalFramesRead 48000 file.length 48000"));
    EXPECT_TRUE(isLogLine(capture.lines()[1], "WriteableFile.cpp", "close()",
                          "recorded duration is 1.0 initial timestamp is " +
                              platform::AudioTime().description() +
                              " totalFramesRead 48000 file.length nil"));
    EXPECT_TRUE(file.amplitudeArray().empty());
    EXPECT_EQ(file.duration(), 1.0);
    feed(file, 1); // closed again: nothing counted
    EXPECT_EQ(file.totalFramesRead(), 48000u);
    EXPECT_EQ(readAll(dir.file("d.wav"))[0].size(), 48000u);
}

TEST_F(WriteableFileTest, AFileThatCannotBeMadeStaysClosed) {
    WriteableFile file(dir.file("missing/e.wav"), int24(48000), 0, 0);
    platform::ScopedLogCapture capture;
    file.createFile();
    EXPECT_FALSE(file.file());
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_NE(capture.lines()[0].find("WriteableFile.cpp:createFile():"), std::string::npos);
    feed(file, 1);
    EXPECT_EQ(file.totalFramesRead(), 0u);
}
