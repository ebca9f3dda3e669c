#pragma once
#include "platform/audio/AudioNode.h"

#include <array>
#include <memory>
#include <vector>

namespace platform {

// The end of an engine's graph: what reaches its input is what the engine renders, converted to
// the rendering format (the manual rendering format, or the device's).
class AudioOutputNode : public AudioNode {
public:
    static std::shared_ptr<AudioOutputNode> make();
    // The device unit: present only while the engine has an I/O backend to answer for a device.
    AUAudioUnit* audioUnit() const;
    std::string typeName() const override { return "AVAudioOutputNode"; }

protected:
    AudioOutputNode();
    void render(const RenderContext& context) override;
    AudioFormat defaultOutputFormat(std::uint32_t bus) const override;
    void connectionsChanged() override;

private:
    friend class AudioEngine;
    AudioFormat renderFormat_ = *AudioFormat::standard(44100, 2);
};

} // namespace platform
