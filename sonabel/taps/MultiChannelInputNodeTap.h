#pragma once
#include "platform/audio/AudioFormat.h"
#include "platform/audio/AudioInputNode.h"
#include "platform/audio/AudioStreamBasicDescription.h"
#include "platform/audio/AudioTime.h"
#include "platform/audio/PCMBuffer.h"
#include "platform/core/HostClock.h"
#include "sonabel/internals/utilities/ThreadLockedAccessor.h"
#include "sonabel/taps/MultiChannelInputNodeTapDelegate.h"
#include "sonabel/taps/WriteableFile.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sonabel {

// Records each chosen channel of the engine's input into a 24-bit file of its own, named after the
// channel and the take ("Audio 1 #1.wav"); each file is created, empty, when its name is chosen, so
// that another tap, in this process or another, takes the next free number instead of this file, and
// is removed again if no take opens it. The input unit's channel map picks the device channels;
// the tap on the input node splits every buffer into one mono buffer per channel and hands it to that
// channel's WriteableFile on the tap thread. Input lost on the way (the device's or the engine's drops,
// the tap thread falling behind) is written as silence of the same length, so a take keeps time; stop()
// logs how much of it is silence. The installed tap keeps this object alive; make it with
// std::make_shared.
class MultiChannelInputNodeTap : public std::enable_shared_from_this<MultiChannelInputNodeTap> {
public:
    using WriteableFile = sonabel::WriteableFile;

    struct FileChannel {
        std::string name;
        std::int32_t channel = 0;
        bool operator==(const FileChannel&) const = default;
    };

    // Start and stop times come from the clock.
    explicit MultiChannelInputNodeTap(std::shared_ptr<platform::AudioInputNode> inputNode,
                                      platform::HostClock& clock = platform::HostClock::system());
    ~MultiChannelInputNodeTap();
    MultiChannelInputNodeTap(const MultiChannelInputNodeTap&) = delete;
    MultiChannelInputNodeTap& operator=(const MultiChannelInputNodeTap&) = delete;

    // Held weakly.
    std::shared_ptr<MultiChannelInputNodeTapDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<MultiChannelInputNodeTapDelegate>& delegate);
    const std::optional<std::vector<FileChannel>>& fileChannels() const { return fileChannels_; }
    // A list also becomes the channel map, in the same order.
    void setFileChannels(std::optional<std::vector<FileChannel>> channels);
    std::vector<std::shared_ptr<WriteableFile>> files() const { return files_.wrappedValue(); }
    void setFiles(std::vector<std::shared_ptr<WriteableFile>> files) {
        files_.setWrappedValue(std::move(files));
    }
    std::shared_ptr<platform::AudioInputNode> inputNode() const { return inputNode_; }

    bool isRecording() const { return isRecording_.load(); }
    // True opens every channel file and stamps the start; false stamps the stop.
    void setIsRecording(bool recording);
    const std::string& recordFileType() const { return recordFileType_; }
    std::optional<platform::AudioFormat> recordFormat() const;
    std::optional<platform::AudioFormat> bufferFormat() const;
    std::optional<platform::AudioStreamBasicDescription> fileFormat() const;
    double sampleRate() const { return sampleRate_; }
    std::uint32_t channels() const { return channels_; }
    std::uint32_t bitsPerChannel() const { return bitsPerChannel_; }
    std::uint32_t bufferSize() const { return bufferSize_.load(); }
    // Takes effect at the next installation of the tap.
    void setBufferSize(std::uint32_t frames);
    bool recordEnabled() const { return recordEnabled_.load(); }
    // Installs (true) or removes (false) the tap; nothing happens without a record format.
    void setRecordEnabled(bool enabled);
    const std::optional<std::string>& directory() const { return directory_; }
    void setDirectory(std::optional<std::string> directory) { directory_ = std::move(directory); }
    std::int64_t recordCounter() const { return recordCounter_; }
    void setRecordCounter(std::int64_t counter) { recordCounter_ = counter < 1 ? 1 : counter; }
    bool filesReady() const { return filesReady_; }
    const std::optional<platform::AudioTime>& startedAtTime() const { return startedAtTime_; }
    const std::optional<platform::AudioTime>& stoppedAtTime() const { return stoppedAtTime_; }
    const std::vector<std::int32_t>& channelMap() const { return channelMap_; }
    // Applied to the input unit first; stored only when the unit takes it.
    void setChannelMap(std::vector<std::int32_t> map);
    std::uint32_t ioLatency() const { return ioLatency_; }
    void setIOLatency(std::uint32_t frames) { ioLatency_ = frames; }
    // Seconds from the last start to the last stop; negative while a later take runs.
    std::optional<double> recordedDuration() const;
    // How long stop() waits for the tap thread to write the take's last blocks (two seconds); a tap
    // thread held longer finishes the files when it gets there.
    void setTakeEndWait(std::chrono::nanoseconds wait) { takeEndWait_ = wait; }

    std::optional<platform::AudioFormat>
    createRecordFormat(const std::vector<std::int32_t>& channelMap) const;
    void initFormats();
    void createFiles();

    void configure(const std::vector<std::int32_t>& channelMap);
    void configure(const std::vector<FileChannel>& fileChannels);
    void record();
    void stop();

    // The tap block's body, on the tap thread.
    void process(const platform::PCMBuffer& buffer, const platform::AudioTime& time);

private:
    // Creates the file of the first free take number from startIndex to 10000, empty and exclusively,
    // so that no other tap, in this process or another, is given the same file.
    std::optional<std::string> uniqueFileURL(const std::string& directory, const std::string& name,
                                             std::int64_t startIndex) const;
    // Removes the files reserved for a take that never started, while they are still empty.
    void releaseReservations();
    // createFiles(); true when it made a new list with at least one file.
    bool makeFiles();
    // The channel-map setter. Without an input unit the map is refused as the unit would refuse it.
    enum class ChannelMapResult { applied, unchanged, refused };
    ChannelMapResult applyChannelMap(std::vector<std::int32_t> map);
    std::string filesDescription() const;
    // One take: its files, and what the tap thread wrote of it.
    struct Take {
        std::uint64_t number = 0;
        std::vector<std::shared_ptr<WriteableFile>> files;
        std::atomic<std::uint64_t> silenceFrames{0}; // written as silence in place of lost input
        bool finished = false;                       // under takeMutex_
        bool told =
            false; // under takeMutex_: stop() has logged it, or gave up waiting and the finish logs it
    };
    // Waits, a while at most, until the tap thread has written the take's blocks rendered before the
    // stop; the tap thread finishes its files after them, whenever it gets there.
    void endTake(const std::shared_ptr<Take>& take);
    // Tap thread: from now on blocks belong to take `number` (0: to none).
    void takeChanged(std::uint64_t number);
    // Closes the take's files; the tap thread's, or the caller's without one.
    void finishTake(Take& take);
    void logSilence(const Take& take);
    // Installs the recorder tap on the input node; false when the node refuses it.
    bool installTap(const std::optional<platform::AudioFormat>& format);

    std::weak_ptr<MultiChannelInputNodeTapDelegate> delegate_;
    std::optional<std::vector<FileChannel>> fileChannels_;
    ThreadLockedAccessor<std::vector<std::shared_ptr<WriteableFile>>> files_;
    std::shared_ptr<platform::AudioInputNode> inputNode_;
    std::atomic<bool> isRecording_{false};
    // Rendering stamps each block with the take it belongs to; the tap thread writes a take's blocks into
    // its files, and finishes them once a block of another take, or the stop's end, reaches it.
    std::mutex takeMutex_;
    std::shared_ptr<Take> recording_; // under takeMutex_: the take record() started last
    // Under takeMutex_: takes started and not yet finished; a held tap thread may reach one after a
    // later take has started.
    std::vector<std::shared_ptr<Take>> open_;
    std::shared_ptr<Take> writing_; // tap thread
    std::uint64_t lastTake_ = 0;
    std::chrono::nanoseconds takeEndWait_ = std::chrono::seconds(2);
    const std::string recordFileType_ = "wav";
    mutable std::mutex formatMutex_; // the formats and the delegate are read by the tap thread
    std::optional<platform::AudioFormat> recordFormat_;
    std::optional<platform::AudioFormat> bufferFormat_;
    std::optional<platform::AudioStreamBasicDescription> fileFormat_;
    double sampleRate_ = 48000;
    const std::uint32_t channels_ = 1;
    const std::uint32_t bitsPerChannel_ = 24;
    std::atomic<std::uint32_t> bufferSize_{2048};
    std::atomic<bool> recordEnabled_{false};
    std::optional<std::string> directory_;
    std::int64_t recordCounter_ = 1;
    bool filesReady_ = false;
    std::optional<platform::AudioTime> startedAtTime_;
    std::optional<platform::AudioTime> stoppedAtTime_;
    std::vector<std::int32_t> channelMap_;
    std::uint32_t ioLatency_ = 0;
    // Files of the current list that no take has opened yet.
    std::vector<std::string> reserved_;
    platform::HostClock& clock_;
};

} // namespace sonabel
