#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioNode.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// Plays scheduled buffers and file segments one after the other. Completion handlers run after
// the render cycle that used the last of their data, on the engine's tap thread; those of segments
// that are dropped (stop, or an interrupting schedule) run at once on the caller's thread. What the
// caller changes reaches the rendering thread through a try-lock: a cycle that finds the player
// being changed plays silence. File segments are read ahead on the player's own reader thread into
// buffers made when they are scheduled; rendering only copies from them (silence where the reader
// is behind, counted in `readAheadUnderruns`).
class AudioPlayerNode : public AudioNode {
public:
    enum BufferOptions : std::uint32_t { loops = 1, interrupts = 2, interruptsAtLoop = 4 };
    enum class CompletionCallbackType { dataConsumed = 0, dataRendered = 1, dataPlayedBack = 2 };
    using CompletionHandler = std::function<void(CompletionCallbackType)>;

    static std::shared_ptr<AudioPlayerNode> make();

    // `when` is a player sample time; absent means right after what is scheduled. False for an
    // empty or non-float buffer.
    bool scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, std::optional<AudioTime> when = std::nullopt,
                        std::uint32_t options = 0,
                        CompletionCallbackType type = CompletionCallbackType::dataConsumed,
                        CompletionHandler handler = nullptr);
    bool scheduleFile(std::shared_ptr<AudioFile> file, std::optional<AudioTime> when = std::nullopt,
                      CompletionCallbackType type = CompletionCallbackType::dataConsumed,
                      CompletionHandler handler = nullptr);
    // False for a file not open for reading or a start outside it; the count is cut at the file's end.
    bool scheduleSegment(std::shared_ptr<AudioFile> file, std::int64_t startingFrame,
                         std::uint32_t frameCount, std::optional<AudioTime> when = std::nullopt,
                         CompletionCallbackType type = CompletionCallbackType::dataConsumed,
                         CompletionHandler handler = nullptr);

    void play();
    // Starts when the engine's sample time reaches when.sampleTime().
    void play(const AudioTime& when);
    void pause();
    // Drops everything scheduled and rewinds the player's time.
    void stop();
    bool isPlaying() const;

    // The player's time (frames played since play()) for a node time, while playing.
    std::optional<AudioTime> playerTime(const AudioTime& nodeTime) const;
    std::optional<AudioTime> nodeTime(const AudioTime& playerTime) const;

    std::string typeName() const override { return "AVAudioPlayerNode"; }
    void reset() override;
    ~AudioPlayerNode() override;
    // Frames of file segments that played as silence because the reader had not read them yet.
    std::uint64_t readAheadUnderruns() const { return underruns_.load(std::memory_order_relaxed); }

protected:
    AudioPlayerNode();
    void render(const RenderContext& context) override;

private:
    struct FileStream;
    struct Reader;
    struct Segment : AudioEngine::CycleWork {
        ~Segment() override;
        std::shared_ptr<PCMBuffer> buffer;
        std::shared_ptr<FileStream> stream; // a file's samples, read ahead
        std::int64_t start = 0;
        std::int64_t frames = 0;
        std::int64_t position = 0; // frames of this segment already played
        std::optional<std::int64_t> when;
        bool loops = false;
        CompletionCallbackType type = CompletionCallbackType::dataConsumed;
        CompletionHandler handler;
        void run() override {
            if (handler) handler(type);
        }
    };
    bool enqueue(std::unique_ptr<Segment> segment, bool interrupt, bool interruptAtLoop);
    // Runs the handlers of dropped segments and lets them go, once no cycle reads them.
    void release(std::vector<std::unique_ptr<Segment>>& dropped);
    // Rendering thread: hands finished segments to the tap thread.
    void retire(std::unique_ptr<Segment> segment);
    Segment* head() { return head_ < queue_.size() ? queue_[head_].get() : nullptr; }
    void popHead();
    std::uint32_t copySegment(Segment& s, float* const* out, std::uint32_t channels, std::uint32_t offset,
                              std::uint32_t frames);

    mutable std::mutex mutex_;
    // Segments before head_ are gone (null); the caller's thread compacts the list.
    std::vector<std::unique_ptr<Segment>> queue_;
    std::size_t head_ = 0;
    std::vector<std::unique_ptr<AudioEngine::CycleWork>> finished_; // that the tap queue had no room for
    bool playing_ = false;
    std::optional<std::int64_t> startAtNodeTime_;
    std::optional<std::int64_t> playerStartNodeTime_; // node sample time of player time 0
    std::int64_t playerTime_ = 0;
    double sampleRate_ = 44100;
    std::shared_ptr<Reader> reader_; // made with the first file segment
    std::atomic<std::uint64_t> underruns_{0};
};

} // namespace platform
