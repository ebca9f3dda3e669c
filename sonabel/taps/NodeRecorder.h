#pragma once
#include "platform/audio/AudioFile.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/core/Sleeper.h"
#include "sonabel/nodes/Node.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// Records a node's output bus to an audio file, written on the tap thread; optionally stops by
// itself once the file holds durationToRecord seconds. Without a file of its own it records to a
// date-named ".caf" file in the temporary directory, created exclusively, so that no other recorder,
// in this process or another, ever writes to it. Audio lost on its way to the node (the tap thread
// falling behind, input the device or the engine dropped) is written as silence of the same length,
// so a take lasts as long as it recorded; stop() logs how much of it is silence. The installed tap keeps the
// recorder alive until stop(); make recorders with std::make_shared.
class NodeRecorder : public std::enable_shared_from_this<NodeRecorder> {
public:
    using DateSource = std::function<std::chrono::system_clock::time_point()>;

    NodeRecorder(std::shared_ptr<Node> node, std::shared_ptr<platform::AudioFile> file = createTempFile(),
                 int bus = 0);
    virtual ~NodeRecorder() = default;
    NodeRecorder(const NodeRecorder&) = delete;
    NodeRecorder& operator=(const NodeRecorder&) = delete;

    virtual std::shared_ptr<Node> node() const { return node_; }
    virtual bool isRecording() const { return isRecording_.load(); }
    virtual double durationToRecord() const { return durationToRecord_.load(); }
    virtual void setDurationToRecord(double seconds) { durationToRecord_.store(seconds); }
    // Seconds in the file so far; 0 without a file.
    virtual double recordedDuration() const;
    virtual std::optional<platform::AudioFormat> recordFormat() const;
    virtual void setRecordFormat(std::optional<platform::AudioFormat> format);
    // The recording opened anew for reading each time; none without a file or when it cannot be read.
    virtual std::shared_ptr<platform::AudioFile> audioFile() const;
    std::shared_ptr<platform::AudioFile> internalAudioFile() const;
    int bus() const { return bus_; }
    double recordBufferDuration() const { return recordBufferDuration_.load(); }

    // Raises platform::AudioError when a vanished file cannot be replaced.
    virtual void record();
    virtual void stop();
    // Stops, then replaces the file with an empty one at the same path; raises platform::AudioError.
    virtual void reset();
    // The tap block's body, on the tap thread: the block goes into the take in progress.
    void process(const platform::PCMBuffer& buffer, const platform::AudioTime& time);

    // Waits in stop() when Settings::waitBeforeRecorderStop() is on.
    void setSleeper(platform::Sleeper& sleeper) { sleeper_.store(&sleeper); }
    // How long stop() waits for the tap thread to write the take's last blocks (two seconds); a tap
    // thread held longer writes them when it gets there.
    void setTakeEndWait(std::chrono::nanoseconds wait) { takeEndWait_.store(wait); }

    static std::shared_ptr<platform::AudioFile> createTempFile();
    static void removeTempFiles();
    static std::vector<std::string> tempFiles();
    // Where temporary files go (the process's temporary directory unless set) and the clock their
    // names come from; for tests.
    static void setTemporaryDirectory(std::optional<std::string> directory);
    static void setDateSource(DateSource source);

private:
    void finish(bool waitForDeliveries);
    // Writes a block of `take`, unless that take has ended.
    void write(const platform::PCMBuffer& buffer, std::uint64_t take);
    // From now on no block of the take reaches a file.
    void endTake(std::uint64_t take);
    void setInternalAudioFile(std::shared_ptr<platform::AudioFile> file);

    const std::shared_ptr<Node> node_;
    // Written by the caller's thread and by the tap thread when the duration is reached.
    std::atomic<bool> isRecording_{false};
    std::atomic<double> durationToRecord_{0};
    mutable std::mutex
        mutex_; // the file and the format: replaced on the caller's thread, written on the tap thread
    std::optional<platform::AudioFormat> recordFormat_;
    std::shared_ptr<platform::AudioFile> internalAudioFile_;
    int bus_ = 0;
    std::atomic<double> recordBufferDuration_;
    std::atomic<std::uint32_t> tapFrames_{0}; // a whole block of the tap
    // Takes are numbered, and a block carries its take's number: blocks of a take that has not ended
    // reach the file, in the order they were rendered; a take ends after its last block, or where a
    // reset or the duration cuts it off.
    std::mutex writeMutex_;
    std::uint64_t endedTake_ = 0; // under writeMutex_: every take up to it has ended
    std::atomic<std::uint64_t> lastTake_{0};
    std::atomic<std::chrono::nanoseconds> takeEndWait_{std::chrono::seconds(2)};
    // Of the take in progress (or the last one): frames written as silence in place of lost audio.
    std::atomic<std::uint64_t> silenceFrames_{0};
    std::atomic<platform::Sleeper*> sleeper_{&platform::Sleeper::system()};
};

} // namespace sonabel
