#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

using namespace platform;
namespace fs = std::filesystem;

namespace {
struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("sonabel-audiofile-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

std::shared_ptr<PCMBuffer> ramp(double rate, std::uint32_t channels, std::uint32_t frames) {
    auto buffer = PCMBuffer::make(*AudioFormat::standard(rate, channels), frames);
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i)
            buffer->floatChannelData()[c][i] = float(int(i % 200) - 100) / 128.0f * (c ? -1.0f : 1.0f);
    buffer->setFrameLength(frames);
    return buffer;
}

AudioFormatSettings settings(double rate, int channels, int bits, bool isFloat) {
    return {{"AVSampleRateKey", rate},
            {"AVNumberOfChannelsKey", double(channels)},
            {"AVLinearPCMBitDepthKey", double(bits)},
            {"AVLinearPCMIsFloatKey", isFloat ? 1.0 : 0.0}};
}
} // namespace

TEST(AudioFile, WritesAndReadsBackEveryContainer) {
    TempDir dir;
    auto source = ramp(44100, 2, 10000);
    for (const char* name : {"a.wav", "b.aiff", "c.caf", "d.aif"}) {
        for (int bits : {16, 24, 32}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(bits));
            const std::string path = dir.file(name);
            {
                auto file = AudioFile::forWriting(path, settings(44100, 2, bits, bits == 32));
                file->write(*source);
                EXPECT_EQ(file->length(), 10000);
            }
            auto file = AudioFile::forReading(path);
            EXPECT_EQ(file->length(), 10000);
            EXPECT_EQ(file->processingFormat(), *AudioFormat::standard(44100, 2));
            EXPECT_EQ(file->fileSettings().at("AVLinearPCMBitDepthKey"), bits);
            auto back = PCMBuffer::make(file->processingFormat(), 20000);
            file->read(*back);
            ASSERT_EQ(back->frameLength(), 10000u);
            // Every test sample is a multiple of 1/128, exact at 16 bits and above.
            for (std::uint32_t c = 0; c < 2; ++c)
                for (std::uint32_t i = 0; i < 10000; i += 97)
                    ASSERT_EQ(back->floatChannelData()[c][i], source->floatChannelData()[c][i])
                        << c << " " << i;
            EXPECT_EQ(file->framePosition(), 10000);
        }
    }
}

TEST(AudioFile, HeaderIsCurrentWhileStillOpen) {
    TempDir dir;
    const std::string path = dir.file("open.wav");
    auto writer = AudioFile::forWriting(path, settings(48000, 1, 16, false));
    writer->write(*ramp(48000, 1, 300));
    writer->write(*ramp(48000, 1, 200));
    auto reader = AudioFile::forReading(path);
    EXPECT_EQ(reader->length(), 500);
    EXPECT_EQ(reader->fileFormat().sampleRate(), 48000);
    EXPECT_TRUE(writer->isOpen());
    writer.reset(); // released: closed
}

TEST(AudioFile, ReadsInPiecesAndSeeks) {
    TempDir dir;
    const std::string path = dir.file("pieces.wav");
    auto source = ramp(44100, 1, 1000);
    AudioFile::forWriting(path, settings(44100, 1, 32, true))->write(*source);
    auto file = AudioFile::forReading(path);
    auto part = PCMBuffer::make(file->processingFormat(), 300);
    file->setFramePosition(900);
    file->read(*part);
    EXPECT_EQ(part->frameLength(), 100u);
    EXPECT_EQ(part->floatChannelData()[0][0], source->floatChannelData()[0][900]);
    file->setFramePosition(-5);
    EXPECT_EQ(file->framePosition(), 0);
    file->read(*part, 10);
    EXPECT_EQ(part->frameLength(), 10u);
    file->setFramePosition(5000);
    EXPECT_EQ(file->framePosition(), 1000);

    // Integer processing format, interleaved.
    auto ints = AudioFile::forReading(path, AudioFormat::CommonFormat::pcmFormatInt16, true);
    auto intBuffer = PCMBuffer::make(ints->processingFormat(), 1000);
    ints->read(*intBuffer);
    EXPECT_EQ(intBuffer->int16ChannelData()[0][1], std::int16_t(source->floatChannelData()[0][1] * 32768));
}

TEST(AudioFile, RefusalsRaiseAndLeaveNothingBehind) {
    TempDir dir;
    auto expectError = [](auto&& f) {
        try {
            f();
            ADD_FAILURE() << "no error";
        } catch (const AudioError& e) {
            EXPECT_FALSE(e.localizedDescription().empty());
        }
    };
    expectError([&] { AudioFile::forReading(dir.file("missing.wav")); });
    expectError([&] { AudioFile::forWriting(dir.file("x.mp3"), settings(44100, 2, 16, false)); });
    expectError([&] { AudioFile::forWriting(dir.file("x.wav"), settings(44100.5, 2, 16, false)); });
    expectError([&] { AudioFile::forWriting(dir.file("x.wav"), settings(44100, 0, 16, false)); });
    expectError([&] { AudioFile::forWriting(dir.file("x.wav"), settings(44100, 2, 12, false)); });
    expectError([&] { AudioFile::forWriting(dir.file("x.wav"), {{"AVFormatIDKey", 1}}); });
    expectError([&] { AudioFile::forWriting(dir.file("no/such/dir.wav"), settings(44100, 2, 16, false)); });
    {
        std::ofstream junk(dir.file("junk.wav"));
        junk << "not audio";
    }
    expectError([&] { AudioFile::forReading(dir.file("junk.wav")); });

    auto file = AudioFile::forWriting(dir.file("fmt.wav"), settings(44100, 2, 16, false));
    expectError([&] { file->write(*ramp(48000, 2, 10)); });
    expectError([&] { file->write(*ramp(44100, 1, 10)); });
    auto buffer = PCMBuffer::make(file->processingFormat(), 10);
    expectError([&] { file->read(*buffer); });
    EXPECT_EQ(file->length(), 0);
    file->close();
    expectError([&] { file->write(*ramp(44100, 2, 10)); });
}
