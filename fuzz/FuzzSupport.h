#pragma once
// What the fuzz targets share: a sink that takes every log line (formatted, as the real sinks get
// them) and keeps none, and a check that stops the run where a parser breaks its own promise.
#include "platform/core/LogSink.h"

#include <cstddef>

namespace fuzzsupport {

class DiscardingLogSink final : public platform::LogSink {
public:
    void write(const platform::LogEntry& entry) override { lastSize_ = entry.text.size(); }

private:
    std::size_t lastSize_ = 0;
};

inline void check(bool condition) {
    if (!condition) __builtin_trap();
}

} // namespace fuzzsupport
