#include "platform/core/LogSink.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using platform::LogLevel;

// What the terminal shows of one line at every level, for a SONABEL_LOG setting.
std::string printed(const char* setting) {
    std::FILE* stream = std::tmpfile();
    platform::StderrLogSink sink(platform::StderrLogSink::lowestLevelFor(setting), stream);
    for (auto level :
         {LogLevel::debug, LogLevel::info, LogLevel::defaultLevel, LogLevel::error, LogLevel::fault})
        sink.write({"Sonabel", "midi", level, std::string(platform::logLevelName(level))});
    std::rewind(stream);
    std::string text;
    for (int c; (c = std::fgetc(stream)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(stream);
    return text;
}

TEST(StderrLogSink, PrintsDefaultErrorAndFaultUnlessTheSettingAsksForMore) {
    const std::string usual = "[midi] default\n[midi] error: error\n[midi] error: fault\n";
    EXPECT_EQ(printed(nullptr), usual);
    EXPECT_EQ(printed(""), usual);
    EXPECT_EQ(printed("verbose"), usual);
    EXPECT_EQ(printed("INFO"), usual);
    EXPECT_EQ(printed("info"), "[midi] info\n" + usual);
    EXPECT_EQ(printed("debug"), "[midi] debug\n[midi] info\n" + usual);
}

TEST(StderrLogSink, CapturingSinksStillTakeEveryLevel) {
    platform::ScopedLogCapture capture;
    platform::LogSink::emit({"Sonabel", "midi", LogLevel::debug, "a"});
    platform::LogSink::emit({"Sonabel", "midi", LogLevel::info, "b"});
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"a", "b"}));
}

TEST(StderrLogSink, WritesTellsWhatTheCurrentSinkTakes) {
    auto previous = platform::LogSink::setCurrent(
        std::make_shared<platform::StderrLogSink>(LogLevel::defaultLevel, std::tmpfile()));
    EXPECT_FALSE(platform::LogSink::writes(LogLevel::info));
    EXPECT_TRUE(platform::LogSink::writes(LogLevel::defaultLevel));
    {
        platform::ScopedLogCapture capture;
        EXPECT_TRUE(platform::LogSink::writes(LogLevel::debug));
    }
    EXPECT_FALSE(platform::LogSink::writes(LogLevel::info));
    platform::LogSink::setCurrent(previous);
}

} // namespace
