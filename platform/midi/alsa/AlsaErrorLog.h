#pragma once
// Routes alsa-lib's own error printing to our log (category "midi") instead of stderr.
#include <string>

namespace platform::midi {

class AlsaErrorLog {
public:
    // Installs the handler; idempotent.
    static void install();
    // The line the handler writes for one message, for tests.
    static std::string line(const char* file, int line, const char* function, int err,
                            const std::string& text);
};

} // namespace platform::midi
