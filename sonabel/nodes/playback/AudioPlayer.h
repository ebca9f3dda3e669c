#pragma once
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioMixerNode.h"
#include "platform/audio/AudioPlayerNode.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"
#include "sonabel/nodes/HasInternalConnections.h"
#include "sonabel/nodes/Node.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace sonabel {

// Plays a file or a buffer through its own player node into its own mixer node (its avAudioNode).
class AudioPlayer : public Node, public HasInternalConnections {
public:
    using CompletionCallbackType = platform::AudioPlayerNode::CompletionCallbackType;

    AudioPlayer();

    const std::shared_ptr<platform::AudioPlayerNode> playerNode = platform::AudioPlayerNode::make();
    const std::shared_ptr<platform::AudioMixerNode> mixerNode = platform::AudioMixerNode::make();

    std::vector<std::shared_ptr<Node>> connections() const override { return {}; }
    std::shared_ptr<platform::AudioNode> avAudioNode() const override { return mixerNode; }
    void makeInternalConnections() override;

    std::shared_ptr<platform::PCMBuffer> buffer() const { return buffer_; }
    // A new buffer restarts a playing player from its start.
    void setBuffer(std::shared_ptr<platform::PCMBuffer> buffer);
    std::shared_ptr<platform::AudioFile> file() const { return file_; }

    // Resumes when paused; otherwise plays the buffer (or file) from `from` to `to` seconds, at `when`.
    void play(std::optional<double> from = std::nullopt, std::optional<double> to = std::nullopt,
              std::optional<platform::AudioTime> when = std::nullopt,
              CompletionCallbackType completionCallbackType = CompletionCallbackType::dataPlayedBack);
    void pause();
    void stop() override;

    // Cleared on the render thread when the data has been played back.
    bool isPlaying() const { return state_->playing; }
    bool isPaused() const { return isPaused_; }
    bool isBuffered() const { return isBuffered_; }
    bool isReversed() const { return isReversed_; }
    bool isLooping() const { return isLooping_; }
    bool isSeeking() const { return isSeeking_; }
    bool isEditTimeEnabled() const { return isEditTimeEnabled_; }
    double editStartTime() const { return editStartTime_; }
    double editEndTime() const { return editEndTime_; }
    double pausedTime() const { return pausedTime_; }
    std::optional<platform::AudioTime> scheduleTime() const { return scheduleTime_; }
    std::optional<double> savedEditStartTime() const { return savedEditStartTime_; }
    std::optional<double> savedEditEndTime() const { return savedEditEndTime_; }
    std::uint32_t bufferOptions() const { return bufferOptions_; }
    std::uint32_t frameCount() const { return frameCount_; }
    std::optional<std::int64_t> startingFrame() const { return startingFrame_; }
    std::optional<std::int64_t> endingFrame() const { return endingFrame_; }
    // Runs on the render thread when playback completes.
    void setCompletionHandler(std::function<void()> handler) {
        state_->completionHandler = std::move(handler);
    }
    bool hasCompletionHandler() const { return static_cast<bool>(state_->completionHandler); }

private:
    // Shared with completion callbacks, which may outlive the player.
    struct State {
        std::atomic<bool> playing{false};
        std::function<void()> completionHandler;
    };
    std::shared_ptr<platform::PCMBuffer> segment(std::optional<double> from, std::optional<double> to) const;

    std::shared_ptr<State> state_ = std::make_shared<State>();
    bool isPaused_ = false;
    bool isBuffered_ = false;
    bool isReversed_ = false;
    bool isLooping_ = false;
    bool isSeeking_ = false;
    std::shared_ptr<platform::AudioFile> file_;
    std::shared_ptr<platform::PCMBuffer> buffer_;
    bool isEditTimeEnabled_ = false;
    double editStartTime_ = 0.0;
    double editEndTime_ = 0.0;
    double pausedTime_ = 0.0;
    std::optional<platform::AudioTime> scheduleTime_;
    std::optional<double> savedEditStartTime_;
    std::optional<double> savedEditEndTime_;
    std::uint32_t bufferOptions_ = platform::AudioPlayerNode::interrupts;
    std::uint32_t frameCount_ = 0;
    std::optional<std::int64_t> startingFrame_;
    std::optional<std::int64_t> endingFrame_;
};

} // namespace sonabel
