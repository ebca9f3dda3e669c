#pragma once
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class LogLevel { debug, info, defaultLevel, error, fault };

std::string_view logLevelName(LogLevel level);

struct LogEntry {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::info;
    std::string text;
    bool operator==(const LogEntry&) const = default;
};

// Where log lines end up: stderr by default, a capturing sink in tests.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogEntry& entry) = 0;
    // Lines below this level are dropped unread, so callers need not build their text.
    virtual LogLevel lowestLevel() const { return LogLevel::debug; }

    // The process-wide sink. Replacing it returns the previous one so tests can restore it.
    static std::shared_ptr<LogSink> current();
    static std::shared_ptr<LogSink> setCurrent(std::shared_ptr<LogSink> sink);
    static void emit(const LogEntry& entry);
    // Whether the current sink takes lines of this level; cheap enough for every message received.
    static bool writes(LogLevel level);
};

// What a user sees on the terminal: levels default, error and fault. SONABEL_LOG=info adds info,
// SONABEL_LOG=debug adds debug too; any other value keeps the default. Sinks that capture for tests
// take every line.
class StderrLogSink final : public LogSink {
public:
    // The lowest level printed, from SONABEL_LOG.
    explicit StderrLogSink(LogLevel lowest = lowestLevelFor(std::getenv("SONABEL_LOG")),
                           std::FILE* stream = stderr)
        : lowest_(lowest), stream_(stream) {}
    void write(const LogEntry& entry) override;
    LogLevel lowestLevel() const override { return lowest_; }

    static LogLevel lowestLevelFor(const char* setting);

private:
    LogLevel lowest_;
    std::FILE* stream_;
};

class CapturingLogSink final : public LogSink {
public:
    void write(const LogEntry& entry) override;
    std::vector<LogEntry> entries() const;
    std::vector<std::string> lines() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

// Installs a capturing sink for the lifetime of the object and restores the previous one after.
class ScopedLogCapture {
public:
    ScopedLogCapture();
    ~ScopedLogCapture();
    ScopedLogCapture(const ScopedLogCapture&) = delete;
    ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

    CapturingLogSink& sink() { return *sink_; }
    std::vector<LogEntry> entries() const { return sink_->entries(); }
    std::vector<std::string> lines() const { return sink_->lines(); }
    void clear() { sink_->clear(); }

private:
    std::shared_ptr<CapturingLogSink> sink_;
    std::shared_ptr<LogSink> previous_;
};

} // namespace platform
