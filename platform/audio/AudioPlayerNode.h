#pragma once
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioNode.h"
#include "platform/core/LockFreeBatch.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace platform {

// Plays scheduled buffers and file segments one after the other. Completion handlers run after
// the render cycle that used the last of their data, on the engine's tap thread; those of segments
// that are dropped (stop, or an interrupting schedule) run at once on the caller's thread, and those
// left when the player is destroyed on the destroying thread: each runs exactly once. Nothing
// reaches rendering through a lock: segments come through a lock-free list, and stop and the
// interrupting schedules publish how far the segments they drop go, which rendering observes at the
// start of its next cycle. File segments are read ahead on the player's own reader thread into
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
    void renderingEnded(AudioEngine& engine) override;
    ~AudioPlayerNode() override;
    // Frames of file segments that played as silence because the reader had not read them yet.
    std::uint64_t readAheadUnderruns() const { return underruns_.load(std::memory_order_relaxed); }
    // For tests: runs on every player's reader thread before each of its passes, so that a test can
    // hold the reader back as a slow disk would. Null for none.
    static void setReaderPassHookForTesting(void (*hook)());

protected:
    AudioPlayerNode();
    void render(const RenderContext& context) override;

private:
    struct FileStream;
    struct Reader;
    // Whether a segment's handler runs: claimed once, by rendering as it finishes the segment or by
    // the caller that drops it, whichever comes first. A handler no path ran when its ticket goes runs
    // then, on the thread letting go of it last (never the rendering thread, which hands segments on):
    // a completion is never skipped.
    struct Ticket {
        enum State { pending, completed, dropped };
        ~Ticket() {
            if (handler) handler(type);
        }
        std::atomic<int> state{pending};
        CompletionCallbackType type = CompletionCallbackType::dataConsumed;
        CompletionHandler handler;
        bool claim(State by) {
            int expected = pending;
            return state.compare_exchange_strong(expected, by, std::memory_order_acq_rel);
        }
    };
    struct Segment : AudioEngine::CycleWork {
        ~Segment() override;
        std::shared_ptr<PCMBuffer> buffer;
        std::shared_ptr<FileStream> stream; // a file's samples, read ahead
        std::int64_t start = 0;
        std::int64_t frames = 0;
        std::int64_t position = 0; // frames of this segment already played
        std::optional<std::int64_t> when;
        bool loops = false;
        std::int64_t order = 0;         // in the order scheduled
        std::shared_ptr<Ticket> ticket; // null without a handler
        bool completed = false;         // set by rendering before it hands the segment on
        Segment* next = nullptr;        // in the list that owns it
        void run() override {
            if (completed && ticket && ticket->handler) std::exchange(ticket->handler, nullptr)(ticket->type);
        }
    };
    // Segments in order, owned by the list; linking one in never allocates.
    struct SegmentList {
        Segment* head = nullptr;
        Segment* tail = nullptr;
        void append(Segment* s);
        Segment* pop();
        bool empty() const { return !head; }
        void destroy();
    };
    static constexpr std::int64_t kNoTime = INT64_MIN;

    bool enqueue(std::unique_ptr<Segment> segment, bool interrupt, bool interruptAtLoop);
    // Rendering thread: appends the segments scheduled since, in the order they came.
    void takeIncoming();
    // Under the callers' lock: claims the handlers of every segment not yet finished.
    std::vector<std::shared_ptr<Ticket>> dropAll();
    // Runs the handlers of dropped segments once no cycle plays them.
    void release(const std::vector<std::shared_ptr<Ticket>>& dropped);
    // Rendering thread: hands a segment it is through with to the tap thread of the cycle's engine.
    void retire(Segment* segment, bool finished, AudioEngine* engine);
    Segment* head() { return queue_.head; }
    void popHead(AudioEngine* engine);
    // Any thread but the rendering one: the parked segments go to the engine's tap thread after what
    // it has, or without an engine run here.
    void flushParked(AudioEngine* engine);
    std::uint32_t copySegment(Segment& s, float* const* out, std::uint32_t channels, std::uint32_t offset,
                              std::uint32_t frames, bool mayBlock);

    std::mutex mutex_; // callers: the order of segments and the handlers not yet run
    std::int64_t nextOrder_ = 0;
    std::vector<std::shared_ptr<Ticket>> pendingTickets_;
    std::size_t pruneAt_ = 16;
    LockFreeBatch<Segment> incoming_; // appended by callers
    std::int64_t stops_ = 0;
    // One value, so that rendering sees a stop and what it drops together: segments scheduled
    // before `cut_ >> kStopBits` are dropped, and the bits below count stops.
    static constexpr int kStopBits = 20;
    static constexpr std::int64_t kStopMask = (std::int64_t(1) << kStopBits) - 1;
    std::atomic<std::int64_t> cut_{0};
    std::atomic<std::int64_t> loopsEndBefore_{0}; // segments scheduled before this order stop looping
    std::atomic<bool> playing_{false};
    std::atomic<std::int64_t> startAtNodeTime_{kNoTime};
    std::atomic<std::int64_t> playerStartNodeTime_{kNoTime}; // node sample time of player time 0
    // Rendering thread only:
    std::int64_t stopsSeen_ = 0;
    SegmentList queue_;
    // Finished segments the tap queue had no room for, in order: the next cycle hands them on, or,
    // once nothing renders the player, whoever ends its rendering.
    LockFreeBatch<Segment> parked_;
    std::int64_t playerTime_ = 0;
    double sampleRate_ = 44100;
    std::mutex readerMutex_;
    std::shared_ptr<Reader> reader_; // made with the first file segment
    std::atomic<std::uint64_t> underruns_{0};
};

} // namespace platform
