#include "sonabel/internals/engine/AudioEngine.h"

#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioOutputNode.h"
#include "platform/audio/devices/AudioDeviceBackend.h"
#include "platform/core/BundleInfo.h"
#include "sonabel/internals/engine/EngineExtensions.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/hardware/DeviceQueries.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/internals/utilities/AppendFrames.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonabel {

namespace {

using Status = platform::AudioEngine::ManualRenderingStatus;

// Frames of `seconds` at the current rate; absent for durations no frame count can hold.
std::optional<std::uint32_t> frameCount(double seconds) {
    const double frames = Settings::sampleRate() * seconds;
    if (!(seconds >= 0) || !(frames >= 0) || !(frames < 4294967296.0)) return std::nullopt;
    return static_cast<std::uint32_t>(frames);
}

std::shared_ptr<platform::PCMBuffer> makeBuffer(const platform::AudioFormat& format, std::uint32_t capacity) {
    return platform::PCMBuffer::make(format.isEmpty() ? Settings::audioFormat() : format, capacity);
}

std::string statusName(Status status) {
    switch (status) {
    case Status::success:
        return "success";
    case Status::error:
        return "error";
    case Status::insufficientDataFromInputNode:
        return "insufficientDataFromInputNode";
    case Status::cannotDoInCurrentContext:
        return "cannotDoInCurrentContext";
    }
    return std::to_string(static_cast<int>(status));
}

} // namespace

AudioEngine::InputNode::InputNode(float volume, std::optional<std::string> name)
    : Mixer(volume, std::move(name)) {}

bool AudioEngine::InputNode::connectEngineInput(AudioEngine& engine) {
    const auto hardware = engine.avEngine()->inputNode();
    const double rate = hardware->outputFormat(0).sampleRate();
    if (!(rate > 0)) {
        Log({"connectEngineInput(_:)"},
            "🛑 No audio input hardware; the input stays unconnected. Sample rate:", rate);
        return false;
    }
    Settings::setAudioFormat(platform::AudioFormat::standard(rate, 2).value_or(platform::AudioFormat{}));
    engine.avEngine()->attach(avAudioNode());
    engine.avEngine()->connect(hardware, avAudioNode(), std::nullopt);
    return true;
}

AudioEngine::AudioEngine()
    : avEngine_(platform::AudioEngine::make()), input_(std::make_shared<InputNode>(1.0f)) {
    avEngine_->setIOBackend(platform::AudioDeviceBackend::current()->makeIO());
}

std::shared_ptr<AudioEngine::InputNode> AudioEngine::input() {
    if (!platform::BundleInfo::main().value("NSMicrophoneUsageDescription")) {
        Log({"input", OSLogType::error},
            "To use the microphone, you must include the NSMicrophoneUsageDescription in your Info.plist");
        return nullptr;
    }
    if (input_->isNotConnected() && input_->connectEngineInput(*this)) input_->setIsNotConnected(false);
    return input_;
}

void AudioEngine::setOutput(std::shared_ptr<Node> node) {
    auto previous = std::move(output_);
    output_ = std::move(node);
    outputDidChange(previous);
}

void AudioEngine::outputDidChange(const std::shared_ptr<Node>& previous) {
    const bool wasRunning = avEngine_->isRunning();
    if (wasRunning) avEngine_->stop();
    if (previous) {
        if (mainMixerNode_) mainMixerNode_->removeInput(previous);
        previous->detach();
        removeInputConnection(avEngine_->outputNode(), previous->avAudioNode());
    }
    if (output_) {
        avEngine_->attach(output_->avAudioNode());
        if (mainMixerNode_) {
            const double mixerRate = mainMixerNode_->avAudioNode()->outputFormat(0).sampleRate();
            const double rate = Settings::sampleRate();
            if (!(mixerRate == rate)) {
                Log({"output"}, "Sample Rate has changed, creating new mainMixerNode at", rate);
                uninstallMainMixer();
            }
        }
        installMainMixer();
        mainMixerNode_->addInput(output_);
        mainMixerNode_->makeAVConnections();
    }
    if (wasRunning) {
        try {
            start();
        } catch (const std::exception&) {
            // the caller asked for a new graph, not for a start; a failing device shows at the next start()
        }
    }
}

void AudioEngine::installMainMixer() {
    if (mainMixerNode_) return;
    auto mixer = std::make_shared<Mixer>(1.0f, "Sonabel Engine Mixer");
    avEngine_->attach(mixer->avAudioNode());
    avEngine_->connect(mixer->avAudioNode(), avEngine_->outputNode(), Settings::audioFormat());
    mainMixerNode_ = std::move(mixer);
}

void AudioEngine::uninstallMainMixer() {
    if (!mainMixerNode_) return;
    const auto mixerNode = mainMixerNode_->avAudioNode();
    removeInputConnection(avEngine_->outputNode(), mixerNode);
    if (!mainMixerNode_->inputs().empty()) {
        std::vector<std::shared_ptr<platform::AudioNode>> nodes;
        for (const auto& input : mainMixerNode_->inputs())
            nodes.push_back(input->avAudioNode());
        for (const auto& node : nodes)
            removeInputConnection(mixerNode, node);
        mainMixerNode_->removeAllInputs();
    }
    if (auto engine = mixerNode->engine()) engine->detach(mixerNode);
    mainMixerNode_.reset();
}

void AudioEngine::rebuildGraph() {
    if (output_) output_->disconnectAV();
    setOutput(output_);
}

void AudioEngine::start() {
    if (!output_) {
        Log({"start()"}, "🛑 Error: Attempt to start engine with no output.");
        return;
    }
    avEngine_->start();
}

void AudioEngine::stop() {
    avEngine_->stop();
}

void AudioEngine::pause() {
    avEngine_->pause();
}

std::shared_ptr<platform::PCMBuffer> AudioEngine::startTest(double totalDuration) {
    const auto samples = frameCount(totalDuration);
    if (!samples) {
        Log({"startTest(totalDuration:)"}, "🛑 Duration out of range:", totalDuration);
        return makeBuffer({}, 0);
    }
    avEngine_->reset();
    bool manual = false;
    try {
        avEngine_->enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline,
                                             Settings::audioFormat(), maximumFrameCount);
        manual = true;
        start();
    } catch (const std::exception& error) {
        Log({"startTest(totalDuration:)"}, std::string("🛑 Start Test Error: ") + error.what());
        if (manual) {
            avEngine_->stop();
            avEngine_->disableManualRenderingMode();
        }
    }
    if (output_) output_->initLastRenderTime();
    auto buffer = makeBuffer(avEngine_->manualRenderingFormat(), *samples);
    return buffer ? buffer : makeBuffer({}, 0);
}

std::shared_ptr<platform::PCMBuffer> AudioEngine::render(double duration) {
    const auto samples = frameCount(duration);
    if (!samples) {
        Log({"render(duration:)"}, "🛑 Duration out of range:", duration);
        return makeBuffer({}, 0);
    }
    const std::int64_t target = avEngine_->manualRenderingSampleTime() + *samples;
    const auto format = avEngine_->manualRenderingFormat();
    auto result = makeBuffer(format, *samples);
    auto work = makeBuffer(format, maximumFrameCount);
    if (!result || !work) {
        Log({"render(duration:)"}, "🛑 Could not render offline: no buffer for", *samples, "frames");
        return result ? result : makeBuffer({}, 0);
    }
    while (avEngine_->manualRenderingSampleTime() < target) {
        const auto frames = static_cast<std::uint32_t>(
            std::min<std::int64_t>(target - avEngine_->manualRenderingSampleTime(), maximumFrameCount));
        const auto status = avEngine_->renderOffline(frames, *work);
        if (status != Status::success) {
            // Whatever the status, the work buffer holds nothing new: stop here with what was rendered.
            Log({"render(duration:)"}, "🛑 Could not render offline " + statusName(status));
            return result;
        }
        appendFrames(*result, *work, 0, work->frameLength());
    }
    return result;
}

Device AudioEngine::device() {
    return Device(getDevice(*avEngine_));
}

void AudioEngine::setDevice(const Device& device) {
    sonabel::setDevice(*avEngine_, device.deviceID);
}

void AudioEngine::renderToFile(platform::AudioFile& file, std::uint32_t maximumFrames, double duration,
                               std::function<void()> prerender, std::function<void(double)> progress) {
    sonabel::render(*avEngine_, file, maximumFrames, duration, false, 0.00005f, prerender, progress);
}

std::string AudioEngine::graphDescription() const {
    if (!mainMixerNode_) return "Sonabel | mainMixerNode is nil";
    return mainMixerNode_->connectionTreeDescription();
}

std::vector<Device> AudioEngine::inputDevices() {
    std::vector<Device> result;
    for (auto id : devices()) {
        const int inputs = inputChannels(id);
        if (inputs <= 0) continue;
        Device device(deviceName(id), id);
        device.inputChannelCount = inputs;
        device.outputChannelCount = outputChannels(id);
        result.push_back(std::move(device));
    }
    return result;
}

std::vector<Device> AudioEngine::outputDevices() {
    std::vector<Device> result;
    for (auto id : devices()) {
        const int outputs = outputChannels(id);
        if (outputs <= 0) continue;
        Device device(deviceName(id), id);
        device.inputChannelCount = inputChannels(id);
        device.outputChannelCount = outputs;
        result.push_back(std::move(device));
    }
    return result;
}

std::vector<Device> AudioEngine::allDevices() {
    std::vector<Device> result;
    for (auto id : devices())
        result.emplace_back(id);
    return result;
}

} // namespace sonabel
