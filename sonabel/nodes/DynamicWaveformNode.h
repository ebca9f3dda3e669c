#pragma once
#include "sonabel/nodes/Node.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace sonabel {

// A node whose output a waveform display can follow while it plays: the display asks for the
// samples it will draw, the node pushes the newest block as it renders, and the display learns
// when the node's content was replaced so it can drop what it drew.
class DynamicWaveformNode : public virtual Node {
public:
    // Called with the newest samples of one channel, on the thread that renders.
    using WaveformUpdate = std::function<void(const std::vector<float>& samples)>;
    // Called when the node's material changed (a new file, a cleared buffer).
    using WaveformReset = std::function<void()>;

    // Up to `count` of the most recent samples of `channel`, oldest first.
    virtual std::vector<float> waveformSamples(std::uint32_t channel, std::uint32_t count) const = 0;
    virtual void setWaveformUpdateHandler(WaveformUpdate handler) = 0;
    virtual void setWaveformResetHandler(WaveformReset handler) = 0;
};

} // namespace sonabel
