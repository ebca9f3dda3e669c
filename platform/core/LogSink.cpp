#include "platform/core/LogSink.h"

#include <atomic>

namespace platform {

namespace {
std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<LogSink>& sinkSlot() {
    static std::shared_ptr<LogSink> sink = std::make_shared<StderrLogSink>();
    return sink;
}
// The current sink's lowest level, set with the sink (at first the default sink's).
std::atomic<LogLevel>& lowestWritten() {
    static std::atomic<LogLevel> level{StderrLogSink::lowestLevelFor(std::getenv("SONABEL_LOG"))};
    return level;
}
} // namespace

std::string_view logLevelName(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return "debug";
    case LogLevel::info:
        return "info";
    case LogLevel::defaultLevel:
        return "default";
    case LogLevel::error:
        return "error";
    case LogLevel::fault:
        return "fault";
    }
    return "info";
}

std::shared_ptr<LogSink> LogSink::current() {
    std::lock_guard lock(sinkMutex());
    return sinkSlot();
}

std::shared_ptr<LogSink> LogSink::setCurrent(std::shared_ptr<LogSink> sink) {
    if (!sink) sink = std::make_shared<StderrLogSink>();
    std::lock_guard lock(sinkMutex());
    std::swap(sinkSlot(), sink);
    lowestWritten().store(sinkSlot()->lowestLevel(), std::memory_order_relaxed);
    return sink;
}

bool LogSink::writes(LogLevel level) {
    return level >= lowestWritten().load(std::memory_order_relaxed);
}

void LogSink::emit(const LogEntry& entry) {
    if (auto sink = current()) sink->write(entry);
}

LogLevel StderrLogSink::lowestLevelFor(const char* setting) {
    const std::string_view value = setting ? setting : "";
    if (value == "debug") return LogLevel::debug;
    if (value == "info") return LogLevel::info;
    return LogLevel::defaultLevel;
}

void StderrLogSink::write(const LogEntry& entry) {
    if (entry.level < lowest_) return;
    std::string line;
    line.reserve(entry.text.size() + entry.category.size() + 16);
    line += "[";
    line += entry.category;
    line += "] ";
    if (entry.level == LogLevel::error || entry.level == LogLevel::fault) line += "error: ";
    line += entry.text;
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stream_);
}

void CapturingLogSink::write(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

std::vector<LogEntry> CapturingLogSink::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<std::string> CapturingLogSink::lines() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_)
        out.push_back(e.text);
    return out;
}

void CapturingLogSink::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

ScopedLogCapture::ScopedLogCapture()
    : sink_(std::make_shared<CapturingLogSink>()), previous_(LogSink::setCurrent(sink_)) {}

ScopedLogCapture::~ScopedLogCapture() {
    LogSink::setCurrent(previous_);
}

} // namespace platform
