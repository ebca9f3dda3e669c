#pragma once
#include "platform/audio/AudioNode.h"
#include "platform/audio/AudioUnitCalls.h"

#include <memory>
#include <string>

namespace platform {

// A node that is an audio unit of its own, reachable through the AudioUnit calls.
class AudioUnitNode : public AudioNode {
public:
    AudioUnit audioUnit() const { return auAudioUnit().get(); }
    const AudioComponentDescription& audioComponentDescription() const {
        return auAudioUnit()->componentDescription();
    }
    const std::string& name() const { return name_; }
    std::string typeName() const override { return "AVAudioUnit"; }

protected:
    AudioUnitNode(const AudioComponentDescription& description, std::uint32_t inputs, std::uint32_t outputs,
                  std::string name);

private:
    std::string name_;
};

} // namespace platform
