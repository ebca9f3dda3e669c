#pragma once
#include <string>

namespace platform {

// A modal warning alert with a single "OK" button.
// Every member has an initializer, so designated initializers may leave any of them out.
struct AlertOptions {
    std::string messageText{};     // the bold headline
    std::string informativeText{}; // the explanation under it

    bool operator==(const AlertOptions&) const = default;
};

} // namespace platform
