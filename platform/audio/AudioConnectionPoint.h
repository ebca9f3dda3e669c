#pragma once
#include <cstdint>
#include <memory>

namespace platform {

class AudioNode;

// One end of a connection: a node and one of its busses. The node may be absent.
struct AudioConnectionPoint {
    std::shared_ptr<AudioNode> node;
    std::uint32_t bus = 0;

    bool operator==(const AudioConnectionPoint&) const = default;
};

} // namespace platform
