#include "sonabel/internals/error_handling/Log.h"

#include "platform/core/LogSink.h"

namespace sonabel {

std::string_view lastPathComponent(std::string_view path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

namespace detail {

namespace {
platform::LogLevel levelOf(OSLogType type) {
    switch (type) {
    case OSLogType::debug:
        return platform::LogLevel::debug;
    case OSLogType::info:
        return platform::LogLevel::info;
    case OSLogType::defaultType:
        return platform::LogLevel::defaultLevel;
    case OSLogType::error:
        return platform::LogLevel::error;
    case OSLogType::fault:
        return platform::LogLevel::fault;
    }
    return platform::LogLevel::info;
}
} // namespace

bool logs(const LogSite& site) {
    return Settings::loggingEnabled() && platform::LogSink::writes(levelOf(site.type));
}

void writeLog(const LogSite& site, std::string_view content) {
    const std::string_view file = lastPathComponent(site.file ? site.file : "");
    const std::string function = site.function ? site.function : "";
    const std::string line = std::to_string(site.line);
    std::string where;
    where.reserve(file.size() + function.size() + line.size() + 2);
    where.append(file).append(":").append(function).append(":").append(line);

    platform::LogEntry entry;
    entry.subsystem = std::string(site.log->subsystem);
    entry.category = std::string(site.log->category);
    entry.level = levelOf(site.type);
    entry.text.reserve(where.size() * 2 + content.size() + 4);
    entry.text.append(where).append(":").append(content).append(" (").append(where).append(")");
    platform::LogSink::emit(entry);
}

} // namespace detail
} // namespace sonabel
