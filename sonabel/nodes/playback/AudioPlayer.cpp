#include "sonabel/nodes/playback/AudioPlayer.h"

#include "platform/audio/AudioEngine.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/internals/utilities/AppendFrames.h"

#include <algorithm>
#include <cmath>

namespace sonabel {

namespace {
// Seconds to a frame within 0...limit; NaN and negative times are the start.
std::int64_t frameAt(double seconds, double rate, std::int64_t limit) {
    const double frames = seconds * rate;
    if (!(frames > 0)) return 0;
    return frames >= double(limit) ? limit : static_cast<std::int64_t>(frames);
}
} // namespace

AudioPlayer::AudioPlayer() = default;

void AudioPlayer::makeInternalConnections() {
    auto engine = mixerNode->engine();
    if (!engine) {
        Log({"makeInternalConnections()"},
            "🛑 Error: AudioPlayer's mixer node is not attached to an engine.");
        return;
    }
    engine->attach(playerNode);
    const platform::AudioFormat format = buffer_ ? buffer_->format()
                                         : file_ ? file_->processingFormat()
                                                 : Settings::audioFormat();
    engine->connect(playerNode, mixerNode, 0, 0, format);
}

void AudioPlayer::setBuffer(std::shared_ptr<platform::PCMBuffer> buffer) {
    buffer_ = std::move(buffer);
    isBuffered_ = buffer_ != nullptr;
    scheduleTime_.reset();
    // The player node must now deliver the buffer's own format.
    if (mixerNode->engine()) makeInternalConnections();
    if (isPlaying()) {
        stop();
        play(std::nullopt, std::nullopt, std::nullopt, CompletionCallbackType::dataPlayedBack);
    }
}

std::shared_ptr<platform::PCMBuffer> AudioPlayer::segment(std::optional<double> from,
                                                          std::optional<double> to) const {
    if (!from && !to) return buffer_;
    const double rate = buffer_->format().sampleRate();
    const std::int64_t length = buffer_->frameLength();
    const std::int64_t start = from ? frameAt(*from, rate, length) : 0;
    const std::int64_t end = to ? frameAt(*to, rate, length) : length;
    if (end <= start) return nullptr;
    auto part = platform::PCMBuffer::make(buffer_->format(), static_cast<std::uint32_t>(end - start));
    if (part) appendFrames(*part, *buffer_, start, static_cast<std::uint32_t>(end - start));
    return part;
}

void AudioPlayer::play(std::optional<double> from, std::optional<double> to,
                       std::optional<platform::AudioTime> when,
                       CompletionCallbackType completionCallbackType) {
    constexpr const char* function = "play(from:to:at:completionCallbackType:)";
    if (isPaused_) {
        isPaused_ = false;
        state_->playing = true;
        playerNode->play();
        return;
    }
    playerNode->stop();
    std::weak_ptr<State> weak = state_;
    auto completion = [weak](CompletionCallbackType) {
        auto state = weak.lock();
        if (!state) return;
        state->playing = false;
        if (state->completionHandler) state->completionHandler();
    };
    bool scheduled = false;
    if (buffer_) {
        auto part = segment(from, to);
        scheduled = part && playerNode->scheduleBuffer(part, std::nullopt, bufferOptions_,
                                                       completionCallbackType, completion);
    } else if (file_) {
        const double rate = file_->processingFormat().sampleRate();
        const std::int64_t length = file_->length();
        const std::int64_t start = from ? frameAt(*from, rate, length) : 0;
        const std::int64_t end = to ? frameAt(*to, rate, length) : length;
        const std::int64_t count = std::min<std::int64_t>(end - start, 0xFFFFFFFF);
        scheduled =
            count > 0 && playerNode->scheduleSegment(file_, start, static_cast<std::uint32_t>(count),
                                                     std::nullopt, completionCallbackType, completion);
    } else {
        Log({function}, "🛑 Error: AudioPlayer has no file or buffer to play.");
        return;
    }
    if (!scheduled) {
        Log({function}, "🛑 Error: AudioPlayer could not schedule its audio.");
        return;
    }
    state_->playing = true;
    if (when)
        playerNode->play(*when);
    else
        playerNode->play();
}

void AudioPlayer::pause() {
    if (!isPlaying()) return;
    playerNode->pause();
    isPaused_ = true;
    state_->playing = false;
}

void AudioPlayer::stop() {
    isPaused_ = false;
    state_->playing = false;
    playerNode->stop();
}

} // namespace sonabel
