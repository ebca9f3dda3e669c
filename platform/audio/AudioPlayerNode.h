#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioNode.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// Plays scheduled buffers and file segments one after the other. Completion handlers run after
// the render cycle that used the last of their data, on the engine's tap thread; those of segments
// that are dropped (stop, or an interrupting schedule) run at once on the caller's thread. Segments
// appended, play, pause and the time conversions reach rendering without a lock; stop and the
// interrupting schedules take the queue's lock, which rendering only tries: a cycle that finds one
// of them under way plays the player silent. File segments are read ahead on the player's own reader thread
// into buffers made when they are scheduled; rendering only copies from them (silence where the reader is
// behind, counted in `readAheadUnderruns`).
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
        Segment* next = nullptr; // in the list that owns it
        void run() override {
            if (handler) handler(type);
        }
    };
    // Segments in order, owned by the list; linking one in never allocates.
    struct SegmentList {
        Segment* head = nullptr;
        Segment* tail = nullptr;
        void append(Segment* s);
        void prepend(Segment* s);
        Segment* pop();
        bool empty() const { return !head; }
        void destroy();
    };
    static constexpr std::int64_t kNoTime = INT64_MIN;

    bool enqueue(std::unique_ptr<Segment> segment, bool interrupt, bool interruptAtLoop);
    // Under the queue's lock: appends the segments scheduled without it, in the order they came.
    void takeIncoming();
    // Runs the handlers of dropped segments and lets them go, once no cycle reads them.
    void release(SegmentList& dropped);
    // Rendering thread: hands finished segments to the tap thread.
    void retire(Segment* segment);
    Segment* head() { return queue_.head; }
    void popHead();
    std::uint32_t copySegment(Segment& s, float* const* out, std::uint32_t channels, std::uint32_t offset,
                              std::uint32_t frames, bool mayBlock);

    std::mutex mutex_;                        // the queue and the player's time
    std::atomic<Segment*> incoming_{nullptr}; // appended without the lock, newest first
    SegmentList queue_;
    SegmentList finished_; // rendering thread: what the tap queue had no room for
    std::atomic<bool> playing_{false};
    std::atomic<std::int64_t> startAtNodeTime_{kNoTime};
    std::atomic<std::int64_t> playerStartNodeTime_{kNoTime}; // node sample time of player time 0
    std::int64_t playerTime_ = 0;
    double sampleRate_ = 44100;
    std::mutex readerMutex_;
    std::shared_ptr<Reader> reader_; // made with the first file segment
    std::atomic<std::uint64_t> underruns_{0};
};

} // namespace platform
