#pragma once
#include "platform/core/ValueText.h"
#include "sonabel/internals/settings/Settings.h"

#include <string>
#include <string_view>
#include <type_traits>

namespace sonabel {

// A log category of the framework.
struct OSLog {
    std::string_view subsystem;
    std::string_view category;

    static const OSLog general;
    static const OSLog settings;
    static const OSLog midi;
    static const OSLog fileHandling;
};

inline constexpr std::string_view kLogSubsystem = "io.sonabel.framework";
inline const OSLog OSLog::general{kLogSubsystem, "general"};
inline const OSLog OSLog::settings{kLogSubsystem, "settings"};
inline const OSLog OSLog::midi{kLogSubsystem, "midi"};
inline const OSLog OSLog::fileHandling{kLogSubsystem, "fileHandling"};

enum class OSLogType { info, debug, defaultType, error, fault };

// Where a log call comes from. The function name is given in the system's own form
// ("openInput(uid:)"); file and line are the caller's.
struct LogSite {
    const char* function;
    const OSLog* log;
    OSLogType type;
    const char* file;
    int line;

    // __builtin_FILE/__builtin_LINE rather than std::source_location: clang 14 (the fuzz build) has
    // no std::source_location with libstdc++.
    LogSite(const char* function, const OSLog& log = OSLog::general, OSLogType type = OSLogType::info,
            const char* file = __builtin_FILE(), int line = __builtin_LINE())
        : function(function), log(&log), type(type), file(file), line(line) {}
    LogSite(const char* function, OSLogType type, const char* file = __builtin_FILE(),
            int line = __builtin_LINE())
        : LogSite(function, OSLog::general, type, file, line) {}
};

namespace detail {
void writeLog(const LogSite& site, std::string_view content);
// Whether a line of this site would be written anywhere.
bool logs(const LogSite& site);

// A null C string is an absent item, not text to read.
template <class T> std::string describeItem(const T& item) {
    if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>)
        if (!item) return "nil";
    return platform::describe(item);
}
} // namespace detail

// The framework's one logging function: items joined by blanks (absent ones as "nil"), written as
// "file:function:line:content (file:function:line)" while Settings::loggingEnabled() is on. No text
// is built for a line the sink would not write.
template <class... Items> void Log(const LogSite& site, const Items&... items) {
    if (!detail::logs(site)) return;
    std::string content;
    bool first = true;
    ((content += (first ? "" : " "), content += detail::describeItem(items), first = false), ...);
    detail::writeLog(site, content);
}

// The last path component of a file path.
std::string_view lastPathComponent(std::string_view path);

} // namespace sonabel
