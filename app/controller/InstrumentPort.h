#pragma once
// An instrument found among the MIDI sources by the exact name of its port.
#include <string>
#include <vector>

namespace malvo {

struct InstrumentPort {
    std::string name;
    int deviceModel = 0;

    bool operator==(const InstrumentPort&) const = default;

    // The instruments among the source names, in the server's order, each name once.
    static std::vector<InstrumentPort> among(const std::vector<std::string>& sourceNames);
};

} // namespace malvo
