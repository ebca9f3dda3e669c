#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/PCMBuffer.h"
#include "sonabel/internals/hardware/Device.h"
#include "sonabel/nodes/mixing/Mixer.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// The framework's engine: the client assigns the root of a node tree as `output`; the engine keeps
// a main mixer between that tree and the platform engine's output node, and starts, stops and
// renders the platform engine, in real time or offline. Driven from one thread at a time.
class AudioEngine {
public:
    // The hardware input, connected to the platform engine's input node the first time `input` is read.
    class InputNode : public Mixer {
    public:
        explicit InputNode(float volume = 1.0f, std::optional<std::string> name = std::nullopt);

        virtual bool isNotConnected() const { return isNotConnected_; }
        virtual void setIsNotConnected(bool value) { isNotConnected_ = value; }
        // False (with a log line, nothing connected, Settings unchanged) when there is no input hardware.
        virtual bool connectEngineInput(AudioEngine& engine);

    private:
        bool isNotConnected_ = true;
    };

    // The platform engine plays through the process's device backend.
    AudioEngine();
    virtual ~AudioEngine() = default;
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    const std::shared_ptr<platform::AudioEngine>& avEngine() const { return avEngine_; }
    // The largest block rendered in one call in the test mode.
    const std::uint32_t maximumFrameCount = 1024;

    virtual std::shared_ptr<Mixer> mainMixerNode() const { return mainMixerNode_; }
    // Absent (with a log line) while the application gives no microphone usage description.
    virtual std::shared_ptr<InputNode> input();
    virtual std::shared_ptr<Node> output() const { return output_; }
    // Rewires the graph; a running engine is stopped for that and started again.
    virtual void setOutput(std::shared_ptr<Node> node);

    virtual void installMainMixer();
    virtual void uninstallMainMixer();
    // Removes and installs the output again, with a new main mixer when the sample rate changed.
    virtual void rebuildGraph();

    // Raises platform::AudioError when the platform engine will not start. Without an output it only logs.
    virtual void start();
    virtual void stop();
    virtual void pause();

    // Offline test mode: returns an empty buffer with room for the duration; render() fills such buffers.
    virtual std::shared_ptr<platform::PCMBuffer> startTest(double totalDuration);
    // Renders on from the current offline sample time, in blocks of maximumFrameCount.
    virtual std::shared_ptr<platform::PCMBuffer> render(double duration);

    virtual Device device();
    virtual void setDevice(const Device& device);

    // Renders `duration` seconds offline into the file, in its processing format, in blocks of up to
    // maximumFrames frames. Raises platform::AudioError; the engine is left stopped and out of manual
    // rendering mode in any case.
    virtual void renderToFile(platform::AudioFile& file, std::uint32_t maximumFrames, double duration,
                              std::function<void()> prerender = nullptr,
                              std::function<void(double)> progress = nullptr);

    std::string graphDescription() const;

    static std::vector<Device> inputDevices();
    static std::vector<Device> outputDevices();
    static std::vector<Device> allDevices();

private:
    void outputDidChange(const std::shared_ptr<Node>& previous);

    const std::shared_ptr<platform::AudioEngine> avEngine_;
    std::shared_ptr<Mixer> mainMixerNode_;
    std::shared_ptr<InputNode> input_;
    std::shared_ptr<Node> output_;
};

} // namespace sonabel
