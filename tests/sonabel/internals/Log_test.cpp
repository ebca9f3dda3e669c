#include "platform/core/LogSink.h"
#include "sonabel/internals/error_handling/CheckError.h"
#include "sonabel/internals/error_handling/Log.h"

#include <gtest/gtest.h>

using namespace sonabel;

namespace {
struct LoggingOn {
    LoggingOn() { Settings::setLoggingEnabled(true); }
    ~LoggingOn() { Settings::setLoggingEnabled(true); }
};

std::string expectedLine(const std::string& function, int line, const std::string& content) {
    const std::string where = "Log_test.cpp:" + function + ":" + std::to_string(line);
    return where + ":" + content + " (" + where + ")";
}
} // namespace

TEST(Log, LineFormatCategoryAndLevel) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    const int line = __LINE__ + 1;
    Log({"makeAVConnections()", OSLog::midi, OSLogType::error}, "text", std::optional<int>{}, 3);
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, expectedLine("makeAVConnections()", line, "text nil 3"));
    EXPECT_EQ(entries[0].category, "midi");
    EXPECT_EQ(entries[0].level, platform::LogLevel::error);
    EXPECT_EQ(entries[0].subsystem, kLogSubsystem);
}

TEST(Log, DefaultsAndEmptyContent) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    const int line = __LINE__ + 1;
    Log({"init()"});
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, expectedLine("init()", line, ""));
    EXPECT_EQ(entries[0].category, "general");
    EXPECT_EQ(entries[0].level, platform::LogLevel::info);
}

TEST(Log, NullCStringIsNil) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    const char* absent = nullptr;
    char* mutableAbsent = nullptr;
    const char* present = "here";
    const int line = __LINE__ + 1;
    Log({"f()"}, absent, present, mutableAbsent);
    EXPECT_EQ(capture.lines().at(0), expectedLine("f()", line, "nil here nil"));
}

TEST(Log, NumbersAndArraysAsTheSystemPrintedThem) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    const int line = __LINE__ + 1;
    Log({"f()", OSLog::settings}, 44100.0, std::vector<int>{2, 3}, -7, 0.25);
    EXPECT_EQ(capture.lines().at(0), expectedLine("f()", line, "44100.0 [2, 3] -7 0.25"));
    EXPECT_EQ(capture.entries().at(0).category, "settings");
}

TEST(Log, SwitchedOffWritesAndRendersNothing) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    struct Probe {
        int* renders;
        std::string description() const {
            ++*renders;
            return "probe";
        }
    };
    int renders = 0;
    Settings::setLoggingEnabled(false);
    Log({"f()"}, Probe{&renders});
    CheckError(-10830);
    EXPECT_TRUE(capture.entries().empty());
    EXPECT_EQ(renders, 0);
    Settings::setLoggingEnabled(true);
    Log({"f()"}, Probe{&renders});
    EXPECT_EQ(renders, 1);
}

TEST(CheckError, NamesKnownCodesByCategory) {
    LoggingOn on;
    platform::ScopedLogCapture capture;
    CheckError(noErr);
    EXPECT_TRUE(capture.entries().empty());

    struct Case {
        OSStatus status;
        std::string message;
        std::string category;
    };
    const Case cases[] = {
        {-10851, "kAudioUnitErr_InvalidPropertyValue", "general"},
        {-10830, "kMIDIInvalidClient", "midi"},
        {-10844, "kMIDINotPermitted: Have you enabled the audio background mode in your ios app?", "midi"},
        {-10843, "kMIDIIDNotUnique", "midi"},
        {-10846, "kAudioToolboxErr_InvalidSequenceType", "general"},
        {-50, "kAudio_ParamError", "general"},
        {-10879, "kAudioUnitErr_InvalidProperty", "general"},
        {-10845, "-10845", "general"},
        {-10869, "-10869", "general"},
        {-10873, "-10873", "general"},
        {1, "1", "general"},
        {-10880, "-10880", "general"},
    };
    for (const auto& c : cases) {
        capture.clear();
        CheckError(c.status);
        auto entries = capture.entries();
        ASSERT_EQ(entries.size(), 1u) << c.status;
        const auto& text = entries[0].text;
        EXPECT_NE(text.find(":CheckError(_:):"), std::string::npos) << text;
        EXPECT_NE(text.find(":" + c.message + " ("), std::string::npos) << text;
        EXPECT_EQ(entries[0].category, c.category) << c.status;
        EXPECT_EQ(entries[0].level, platform::LogLevel::error);
    }
}

TEST(CheckError, KnowsFortySixCodes) {
    int known = 0;
    for (OSStatus s = -10900; s <= 0; ++s)
        if (statusName(s)) ++known;
    EXPECT_EQ(known, 46);
}
