#include "sonabel/internals/engine/EngineExtensions.h"

#include "platform/audio/AudioError.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/dsp/VectorOps.h"
#include "sonabel/internals/engine/EngineResetNode.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"

#include <algorithm>
#include <cmath>
#include <map>

namespace sonabel {

std::shared_ptr<platform::AudioNode> initializeMixer(platform::AudioEngine& engine,
                                                     const std::shared_ptr<platform::AudioNode>& node) {
    if (!engine.isRunning()) return nullptr;
    if (!std::dynamic_pointer_cast<platform::AudioMixerNode>(node)) return nullptr;
    for (std::uint32_t bus = 0; bus < node->numberOfInputs(); ++bus)
        if (engine.inputConnectionPoint(node, bus)) return nullptr;
    auto dummy = EngineResetNode::make();
    engine.attach(dummy);
    const auto format = Settings::audioFormat();
    engine.connect(dummy, node, format);
    Log({"initializeMixer(_:)"}, "⚠️🎚 Added dummy to mixer (" + node->description() + " with format",
        format);
    return dummy;
}

namespace {

platform::AudioError extensionError(const std::string& message) {
    return platform::AudioError("AVAudioEngine ext", 1, message);
}

// A block the engine cannot render just now is tried again, but not forever.
constexpr int kMaxBusyRetries = 64;

// Ends manual rendering on every way out of the offline render.
struct ManualRenderingScope {
    platform::AudioEngine& engine;
    ~ManualRenderingScope() {
        engine.stop();
        engine.disableManualRenderingMode();
    }
};

// The engine renders deinterleaved float; a file that processes another layout or sample type
// gets every block in its own.
void convertBlock(const platform::PCMBuffer& from, platform::PCMBuffer& to) {
    using CommonFormat = platform::AudioFormat::CommonFormat;
    const std::uint32_t channels = to.format().channelCount();
    const std::uint32_t frames = std::min(from.frameLength(), to.frameCapacity());
    const bool interleaved = to.format().isInterleaved();
    float* const* in = from.floatChannelData();
    auto fill = [&](auto* const* out, auto convert) {
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < frames; ++i) {
                const float v = c < from.format().channelCount() ? in[c][i] : 0.0f;
                if (interleaved)
                    out[0][std::size_t(i) * channels + c] = convert(v);
                else
                    out[c][i] = convert(v);
            }
    };
    auto integer = [](double scale, double low, double high) {
        return [=](float v) { return std::clamp(std::nearbyint(double(v) * scale), low, high); };
    };
    switch (to.format().commonFormat()) {
    case CommonFormat::pcmFormatFloat32:
        fill(to.floatChannelData(), [](float v) { return v; });
        break;
    case CommonFormat::pcmFormatFloat64:
        fill(to.doubleChannelData(), [](float v) { return double(v); });
        break;
    case CommonFormat::pcmFormatInt16:
        fill(to.int16ChannelData(),
             [f = integer(32768.0, -32768.0, 32767.0)](float v) { return std::int16_t(f(v)); });
        break;
    case CommonFormat::pcmFormatInt32:
        fill(to.int32ChannelData(), [f = integer(2147483648.0, -2147483648.0, 2147483647.0)](float v) {
            return std::int32_t(f(v));
        });
        break;
    case CommonFormat::otherFormat:
        break;
    }
    to.setFrameLength(frames);
}

float level(const platform::PCMBuffer& buffer) {
    const std::uint32_t channels = buffer.format().channelCount();
    float sum = 0;
    for (std::uint32_t c = 0; c < channels; ++c)
        sum += std::fabs(platform::dsp::rms(buffer.floatChannelData()[c], 1, buffer.frameLength()));
    return channels ? sum / float(channels) : 0.0f;
}

} // namespace

void render(platform::AudioEngine& engine, platform::AudioFile& file, std::uint32_t maximumFrameCount,
            double duration, bool renderUntilSilent, float silenceThreshold,
            const std::function<void()>& prerender, const std::function<void(double)>& progress) {
    using Status = platform::AudioEngine::ManualRenderingStatus;
    constexpr const char* function =
        "render(to:maximumFrameCount:duration:renderUntilSilent:silenceThreshold:prerender:progress:)";
    const platform::AudioFormat format = file.processingFormat();
    // The frame target must be a frame position (signed 64 bits); checked before the engine is touched.
    const double frames = format.sampleRate() * duration;
    if (!(duration >= 0) || std::isinf(duration) || !(frames < 0x1p63))
        throw extensionError("Seconds needs to be a positive value");
    const auto target = static_cast<std::int64_t>(frames);

    if (engine.isRunning()) engine.stop();
    const platform::AudioFormat renderFormat =
        format.isStandard()
            ? format
            : platform::AudioFormat::standard(format.sampleRate(), format.channelCount()).value_or(format);
    engine.enableManualRenderingMode(platform::AudioEngine::ManualRenderingMode::offline, renderFormat,
                                     maximumFrameCount);
    ManualRenderingScope scope{engine};
    engine.reset();
    engine.start();
    auto buffer =
        platform::PCMBuffer::make(engine.manualRenderingFormat(), engine.manualRenderingMaximumFrameCount());
    std::shared_ptr<platform::PCMBuffer> fileBuffer;
    if (!(renderFormat == format) && buffer)
        fileBuffer = platform::PCMBuffer::make(format, buffer->frameCapacity());
    if (!buffer || (!(renderFormat == format) && !fileBuffer))
        throw extensionError("Couldn't create buffer in renderToFile");
    if (prerender) prerender();

    int quiet = 0;
    int busy = 0;
    for (;;) {
        std::uint32_t count = engine.manualRenderingMaximumFrameCount();
        if (!renderUntilSilent) {
            const std::int64_t position = file.framePosition();
            if (position >= target) break;
            count = static_cast<std::uint32_t>(
                std::min<std::int64_t>(target - position, buffer->frameCapacity()));
        }
        const Status status = engine.renderOffline(count, *buffer);
        if (status == Status::success) {
            busy = 0;
            if (fileBuffer) {
                convertBlock(*buffer, *fileBuffer);
                file.write(*fileBuffer);
            } else {
                file.write(*buffer);
            }
            // A target of 0 gives an infinite share, which the cap makes 1.
            const double share = std::min(double(file.framePosition()) / double(target), 1.0);
            if (progress) progress(share);
            if (renderUntilSilent && share == 1.0 && buffer->floatChannelData()) {
                if (level(*buffer) < silenceThreshold) {
                    if (++quiet > 2) break;
                } else {
                    quiet = 0;
                }
            }
        } else if (status == Status::cannotDoInCurrentContext) {
            Log({function, OSLogType::error}, "renderToFile cannotDoInCurrentContext");
            if (++busy > kMaxBusyRetries) throw extensionError("render error");
        } else if (status == Status::error || status == Status::insufficientDataFromInputNode) {
            throw extensionError("render error");
        } else {
            Log({function, OSLogType::error}, "Unknown render result:", static_cast<int>(status));
            break;
        }
    }
}

void removeInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                           const std::shared_ptr<platform::AudioNode>& source) {
    if (!destination || !source) return;
    auto engine = destination->engine();
    if (!engine) return;
    std::map<std::shared_ptr<platform::AudioNode>, std::vector<platform::AudioConnectionPoint>> remaining;
    for (std::uint32_t bus = 0; bus < destination->numberOfInputs(); ++bus) {
        auto point = engine->inputConnectionPoint(destination, bus);
        if (!point || point->node != source) continue;
        auto points = engine->outputConnectionPoints(source, 0);
        std::erase_if(points, [&](const auto& p) { return p.node == destination; });
        remaining[source] = std::move(points);
    }
    for (auto& [node, points] : remaining) {
        if (points.empty())
            engine->disconnectNodeOutput(node);
        else
            engine->connect(node, points, 0, Settings::audioFormat());
    }
}

void addInputConnection(const std::shared_ptr<platform::AudioNode>& destination,
                        const std::shared_ptr<platform::AudioNode>& source,
                        std::optional<platform::AudioFormat> format) {
    if (!destination || !source) return;
    auto engine = destination->engine();
    if (!engine) return;
    auto points = engine->outputConnectionPoints(source, 0);
    if (std::any_of(points.begin(), points.end(), [&](const auto& p) { return p.node == destination; }))
        return;
    std::uint32_t bus = 0;
    if (auto mixer = std::dynamic_pointer_cast<platform::AudioMixerNode>(destination))
        bus = mixer->nextAvailableInputBus();
    points.push_back({destination, bus});
    engine->connect(source, points, 0, format);
}

} // namespace sonabel
