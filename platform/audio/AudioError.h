#pragma once
#include "platform/core/OSStatus.h"

#include <stdexcept>
#include <string>

namespace platform {

// What audio operations that may fail raise: a domain, a status code and a readable message.
class AudioError : public std::runtime_error {
public:
    AudioError(std::string domain, OSStatus code, const std::string& message)
        : std::runtime_error(message), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const { return domain_; }
    OSStatus code() const { return code_; }
    std::string localizedDescription() const { return what(); }

    static constexpr const char* kDomain = "platform.audio";

private:
    std::string domain_;
    OSStatus code_;
};

} // namespace platform
