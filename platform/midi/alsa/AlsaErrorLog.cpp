// alsa-lib's error printing into our log.
#include "platform/midi/alsa/AlsaErrorLog.h"

#include "platform/core/LogSink.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace platform::midi {

namespace {

void handler(const char* file, int line, const char* function, int err, const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    LogSink::emit({"io.sonabel.platform", "midi", LogLevel::error,
                   AlsaErrorLog::line(file, line, function, err, text)});
}

} // namespace

void AlsaErrorLog::install() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&handler); });
}

std::string AlsaErrorLog::line(const char* file, int line, const char* function, int err,
                               const std::string& text) {
    std::string out = "ALSA lib ";
    const char* base = file ? std::strrchr(file, '/') : nullptr;
    out += base ? base + 1 : (file ? file : "?");
    out += ':';
    out += std::to_string(line) + ":(" + (function ? function : "?") + ") " + text;
    if (err) out += std::string(": ") + snd_strerror(err);
    return out;
}

} // namespace platform::midi
