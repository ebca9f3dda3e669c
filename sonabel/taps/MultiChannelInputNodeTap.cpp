#include "sonabel/taps/MultiChannelInputNodeTap.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioUnitCalls.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/taps/ReserveFreeFile.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>

namespace sonabel {

MultiChannelInputNodeTap::MultiChannelInputNodeTap(std::shared_ptr<platform::AudioInputNode> inputNode,
                                                   platform::HostClock& clock)
    : inputNode_(std::move(inputNode)), clock_(clock) {
    const auto format = inputNode_ ? inputNode_->outputFormat(0) : platform::AudioFormat();
    if (inputNode_) sampleRate_ = format.sampleRate();
    Log({"init(inputNode:)"}, "inputNode", format.channelCount(), "channels at", sampleRate_, "kHz");
}

MultiChannelInputNodeTap::~MultiChannelInputNodeTap() {
    Log({"deinit"}, "* { MultiChannelInputNodeTap }");
    setDelegate(nullptr);
    files_.setWrappedValue({});
    releaseReservations();
    inputNode_.reset();
}

std::shared_ptr<MultiChannelInputNodeTapDelegate> MultiChannelInputNodeTap::delegate() const {
    std::lock_guard lock(formatMutex_);
    return delegate_.lock();
}

void MultiChannelInputNodeTap::setDelegate(
    const std::shared_ptr<MultiChannelInputNodeTapDelegate>& delegate) {
    std::lock_guard lock(formatMutex_);
    delegate_ = delegate;
}

std::optional<platform::AudioFormat> MultiChannelInputNodeTap::recordFormat() const {
    std::lock_guard lock(formatMutex_);
    return recordFormat_;
}

std::optional<platform::AudioFormat> MultiChannelInputNodeTap::bufferFormat() const {
    std::lock_guard lock(formatMutex_);
    return bufferFormat_;
}

std::optional<platform::AudioStreamBasicDescription> MultiChannelInputNodeTap::fileFormat() const {
    std::lock_guard lock(formatMutex_);
    return fileFormat_;
}

std::string MultiChannelInputNodeTap::filesDescription() const {
    std::string out = "[";
    bool first = true;
    for (const auto& file : files()) {
        if (!first) out += ", ";
        first = false;
        out += file ? file->description() : "nil";
    }
    return out + "]";
}

// ---- formats and files

std::optional<platform::AudioFormat>
MultiChannelInputNodeTap::createRecordFormat(const std::vector<std::int32_t>& channelMap) const {
    if (channelMap.empty()) {
        Log({"createRecordFormat(channelMap:)"}, "You must specify a valid channel map");
        return std::nullopt;
    }
    // The count fills the low 16 bits of the discrete layout tag; the platform has formats up to 64 channels.
    const auto format = channelMap.size() <= 0xFFFF
                            ? platform::AudioFormat::standard(sampleRate_, std::uint32_t(channelMap.size()))
                            : std::nullopt;
    if (!format) {
        Log({"createRecordFormat(channelMap:)"}, "Failed creating AVAudioChannelLayout");
        return std::nullopt;
    }
    Log({"createRecordFormat(channelMap:)"}, "recordFormat", *format);
    return format;
}

void MultiChannelInputNodeTap::initFormats() {
    const auto buffer = platform::AudioFormat::standard(sampleRate_, channels_);
    {
        std::lock_guard lock(formatMutex_);
        bufferFormat_ = buffer;
    }
    Log({"initFormats()"}, "bufferFormat", buffer);
    platform::AudioStreamBasicDescription description;
    description.mSampleRate = sampleRate_;
    description.mFormatID = platform::AudioFormat::kAudioFormatLinearPCM;
    description.mFormatFlags = platform::kAudioFormatFlagIsSignedInteger | platform::kAudioFormatFlagIsPacked;
    description.mBytesPerPacket = channels_ * bitsPerChannel_ / 8;
    description.mFramesPerPacket = 1;
    description.mBytesPerFrame = description.mBytesPerPacket;
    description.mChannelsPerFrame = channels_;
    description.mBitsPerChannel = bitsPerChannel_;
    {
        std::lock_guard lock(formatMutex_);
        fileFormat_ = description;
    }
    Log({"initFormats()"}, "fileFormat", description);
}

std::optional<std::string> MultiChannelInputNodeTap::uniqueFileURL(const std::string& directory,
                                                                   const std::string& name,
                                                                   std::int64_t startIndex) const {
    namespace fs = std::filesystem;
    const fs::path named = fs::path(directory) / (name + "." + recordFileType_);
    const std::string extension = recordFileType_;
    const std::string stem =
        named.filename().string().substr(0, named.filename().string().size() - extension.size() - 1);
    return reserveFreeFile(startIndex, 10000, [&](std::int64_t n) {
        return std::optional<std::string>(
            (fs::path(directory) / (stem + " #" + platform::describe(n) + "." + extension)).string());
    });
}

void MultiChannelInputNodeTap::releaseReservations() {
    for (const auto& path : reserved_) {
        std::error_code error;
        if (std::filesystem::file_size(path, error) == 0 && !error) std::filesystem::remove(path, error);
    }
    reserved_.clear();
}

void MultiChannelInputNodeTap::createFiles() {
    makeFiles();
}

bool MultiChannelInputNodeTap::makeFiles() {
    const auto file = fileFormat();
    const auto record = recordFormat();
    if (!directory_ || !file || !record || !fileChannels_) {
        Log({"createFiles()"}, "File Format is nil");
        return false;
    }
    if (record->channelCount() != channelMap_.size()) {
        Log({"createFiles()"}, "Channel count mismatch", record->channelCount(), "vs", channelMap_.size());
        return false;
    }
    files_.setWrappedValue({});
    releaseReservations();
    for (const auto& fileChannel : *fileChannels_) {
        const auto url = uniqueFileURL(*directory_, fileChannel.name, recordCounter_);
        if (!url) {
            Log({"createFiles()"}, "Failed to create URL in", *directory_, "with name", fileChannel.name);
            continue;
        }
        reserved_.push_back(*url);
        Log({"createFiles()"}, "Creating destination:", *url);
        auto writer = std::make_shared<WriteableFile>(*url, *file, fileChannel.channel, ioLatency_);
        files_.modify([&](auto& files) { files.push_back(writer); });
    }
    Log({"createFiles()"}, "Created", filesDescription(), "latency in frames", ioLatency_);
    filesReady_ = files().size() == fileChannels_->size();
    recordCounter_ =
        recordCounter_ < std::numeric_limits<std::int64_t>::max() ? recordCounter_ + 1 : recordCounter_;
    return !files().empty();
}

// ---- recording path

void MultiChannelInputNodeTap::setIsRecording(bool recording) {
    isRecording_.store(recording);
    if (recording) {
        auto take = std::make_shared<Take>();
        take->number = ++lastTake_;
        take->files = files();
        startedAtTime_ = platform::AudioTime::withHostTime(clock_.now());
        Log({"isRecording"}, "⏺", take->files.size(), " to record", startedAtTime_);
        for (const auto& file : take->files)
            if (file) file->createFile();
        reserved_.clear();
        {
            std::lock_guard lock(takeMutex_);
            recording_ = take;
            open_.push_back(take);
        }
        // Frames rendered from the next cycle on are the take's.
        if (inputNode_) inputNode_->setTapTake(0, take->number);
    } else {
        if (inputNode_) inputNode_->setTapTake(0, 0);
        stoppedAtTime_ = platform::AudioTime::withHostTime(clock_.now());
        Log({"isRecording"}, "⏹", files().size(), "recorded", stoppedAtTime_);
    }
}

void MultiChannelInputNodeTap::setBufferSize(std::uint32_t frames) {
    bufferSize_.store(frames);
    Log({"bufferSize"}, "Attempting to set bufferSize to", frames,
        "The implementation may choose another size.");
}

void MultiChannelInputNodeTap::setRecordEnabled(bool enabled) {
    const auto format = recordFormat();
    if (!format) return;
    if (enabled == recordEnabled_.load()) return;
    recordEnabled_.store(enabled);
    if (enabled) {
        Log({"recordEnabled"}, "🚰 Installing Tap with format", *format, "requested bufferSize", bufferSize());
        if (inputNode_ && !installTap(*format)) {
            // Nothing would ever be recorded: the tap does not count as installed.
            Log({"recordEnabled"}, "🛑 Failed installing tap");
            recordEnabled_.store(false);
            return;
        }
        if (auto d = delegate()) d->tapDidInstall(*this);
    } else {
        Log({"recordEnabled"}, "🚰 Removing Tap");
        if (inputNode_) inputNode_->removeTap(0);
        if (auto d = delegate()) d->tapDidRemove(*this);
    }
}

bool MultiChannelInputNodeTap::installTap(const std::optional<platform::AudioFormat>& format) {
    const bool installed = inputNode_->installTap(
        0, bufferSize(), format,
        [self = shared_from_this()](std::shared_ptr<platform::PCMBuffer> buffer, platform::AudioTime time) {
            if (buffer) self->process(*buffer, time);
        },
        platform::AudioNode::TapKind::recorder,
        [self = shared_from_this()](std::uint32_t frames) {
            if (self->writing_) self->writing_->silenceFrames += frames;
        },
        [self = shared_from_this()](std::uint64_t take) { self->takeChanged(take); });
    if (!installed) return false;
    // A tap installed during a take records the rest of it.
    std::uint64_t take = 0;
    {
        std::lock_guard lock(takeMutex_);
        if (isRecording_.load() && recording_) take = recording_->number;
    }
    if (take) inputNode_->setTapTake(0, take);
    return true;
}

void MultiChannelInputNodeTap::process(const platform::PCMBuffer& buffer, const platform::AudioTime& time) {
    const auto format = bufferFormat();
    if (!format) {
        Log({"process(buffer:time:)"}, "bufferFormat is nil");
        return;
    }
    float* const* data = buffer.floatChannelData();
    if (!data) {
        Log({"process(buffer:time:)"}, "buffer.floatChannelData is nil");
        return;
    }
    const std::uint32_t channels = buffer.format().channelCount();
    const std::uint32_t frames = buffer.frameLength();
    const bool interleaved = buffer.format().isInterleaved();
    // A take's blocks go to its own files, whatever list later takes made; others are only measured.
    const auto current = writing_ ? writing_->files : files();
    for (std::uint32_t i = 0; i < channels; ++i) {
        auto channelBuffer = platform::PCMBuffer::make(*format, frames);
        if (!channelBuffer || !channelBuffer->floatChannelData()) {
            Log({"process(buffer:time:)"}, "Failed creating channelBuffer");
            return;
        }
        float* out = channelBuffer->floatChannelData()[0];
        for (std::uint32_t t = 0; t < frames; ++t)
            out[t] = interleaved ? data[0][std::size_t(t) * channels + i] : data[i][t];
        channelBuffer->setFrameLength(frames);
        if (i >= current.size()) {
            Log({"process(buffer:time:)"}, "Count mismatch");
            return;
        }
        try {
            current[i]->handle(*channelBuffer, time, writing_ != nullptr);
        } catch (const platform::AudioError& error) {
            Log({"process(buffer:time:)"}, "Write failed", error.localizedDescription());
        }
    }
    if (recordEnabled_.load())
        if (auto d = delegate()) d->tapDidProcess(*this, frames, time);
}

std::optional<double> MultiChannelInputNodeTap::recordedDuration() const {
    if (!startedAtTime_ || !stoppedAtTime_) return std::nullopt;
    return platform::AudioTime::secondsForHostTime(stoppedAtTime_->hostTime()) -
           platform::AudioTime::secondsForHostTime(startedAtTime_->hostTime());
}

// ---- configuration, record and stop

void MultiChannelInputNodeTap::takeChanged(std::uint64_t number) {
    if (writing_ && writing_->number != number) {
        finishTake(*writing_);
        writing_.reset();
    }
    if (number == 0 || writing_) return;
    std::lock_guard lock(takeMutex_);
    for (const auto& take : open_)
        if (take->number == number) writing_ = take;
}

void MultiChannelInputNodeTap::finishTake(Take& take) {
    for (const auto& file : take.files)
        if (file) file->close();
    bool tell = false;
    {
        std::lock_guard lock(takeMutex_);
        take.finished = true;
        tell = take.told; // stop() gave up waiting for it
        std::erase_if(open_, [&](const auto& t) { return t.get() == &take; });
    }
    if (tell) logSilence(take);
}

void MultiChannelInputNodeTap::logSilence(const Take& take) {
    if (const std::uint64_t silence = take.silenceFrames.load())
        Log({"stop()"}, "⏹ Of the take,", sampleRate_ > 0 ? double(silence) / sampleRate_ : 0.0,
            "s are silence in place of lost input");
}

void MultiChannelInputNodeTap::endTake(const std::shared_ptr<Take>& take) {
    auto engine = inputNode_ ? inputNode_->engine() : nullptr;
    if (!engine) {
        finishTake(*take);
        return;
    }
    // The tap goes, and with it the take's last blocks, the one being filled too, and the silence owed
    // for blocks lost since; the end reaches the tap thread after them, and a tap for the next take's
    // frames (and the levels meanwhile) follows.
    const bool reinstall = recordEnabled_.load();
    if (reinstall) inputNode_->removeTap(0);
    struct End : platform::AudioEngine::CycleWork {
        std::weak_ptr<MultiChannelInputNodeTap> tap;
        std::shared_ptr<Take> take;
        void run() override {
            auto t = tap.lock();
            if (!t) return;
            if (t->writing_ == take) t->writing_.reset();
            bool finished = false;
            {
                std::lock_guard lock(t->takeMutex_);
                finished = take->finished;
            }
            if (!finished) t->finishTake(*take);
        }
    };
    auto end = std::make_unique<End>();
    end->tap = weak_from_this();
    end->take = take;
    engine->queueWorkFromOutside(std::move(end));
    // In whatever format the bus has come to have meanwhile, as the tap it replaces had.
    if (reinstall && !installTap(std::nullopt)) {
        Log({"recordEnabled"}, "🛑 Failed installing tap");
        recordEnabled_.store(false);
        if (auto d = delegate()) d->tapDidRemove(*this);
    }
    engine->waitForTapDeliveries(takeEndWait_);
}

void MultiChannelInputNodeTap::setFileChannels(std::optional<std::vector<FileChannel>> channels) {
    fileChannels_ = std::move(channels);
    if (!fileChannels_) return;
    std::vector<std::int32_t> map;
    for (const auto& channel : *fileChannels_)
        map.push_back(channel.channel);
    setChannelMap(std::move(map));
}

void MultiChannelInputNodeTap::setChannelMap(std::vector<std::int32_t> map) {
    applyChannelMap(std::move(map));
}

MultiChannelInputNodeTap::ChannelMapResult
MultiChannelInputNodeTap::applyChannelMap(std::vector<std::int32_t> map) {
    if (map == channelMap_) return ChannelMapResult::unchanged;
    Log({"channelMap"}, "Attempting to update channelMap to", map);
    platform::AUAudioUnit* unit = inputNode_ ? inputNode_->auAudioUnit().get() : nullptr;
    if (!unit) {
        Log({"channelMap"}, "inputNode.audioUnit is nil");
        return ChannelMapResult::refused;
    }
    const bool fits = map.size() <= std::numeric_limits<std::uint32_t>::max() / sizeof(std::int32_t);
    const OSStatus status =
        fits ? platform::AudioUnitSetProperty(unit, platform::kAudioOutputUnitProperty_ChannelMap,
                                              platform::kAudioUnitScope_Output, 1, map.data(),
                                              std::uint32_t(map.size() * sizeof(std::int32_t)))
             : kAudio_ParamError;
    if (status != noErr) {
        Log({"channelMap"}, "Failed setting channel map");
        return ChannelMapResult::refused;
    }
    channelMap_ = std::move(map);
    Log({"channelMap"}, "Updated channelMap to", channelMap_);
    const auto format = createRecordFormat(channelMap_);
    // The tap goes while the old format is still there: an empty map has no format to remove it with.
    setRecordEnabled(false);
    {
        std::lock_guard lock(formatMutex_);
        recordFormat_ = format;
    }
    return ChannelMapResult::applied;
}

void MultiChannelInputNodeTap::configure(const std::vector<std::int32_t>& channelMap) {
    std::vector<FileChannel> channels;
    for (const std::int32_t c : channelMap)
        channels.push_back({"Audio " + platform::describe(std::int64_t(c) + 1), c});
    configure(channels);
}

void MultiChannelInputNodeTap::configure(const std::vector<FileChannel>& fileChannels) {
    auto previous = std::move(fileChannels_);
    fileChannels_ = fileChannels;
    std::vector<std::int32_t> map;
    for (const auto& channel : fileChannels)
        map.push_back(channel.channel);
    if (applyChannelMap(std::move(map)) == ChannelMapResult::refused) {
        // Files for channels no unit will deliver would stay empty: the configuration stays as it was.
        fileChannels_ = std::move(previous);
        return;
    }
    initFormats();
    createFiles();
    setRecordEnabled(true);
}

void MultiChannelInputNodeTap::record() {
    if (isRecording_.load()) {
        Log({"record()"}, "Already recording");
        return;
    }
    // Without a fresh set of files the writers left in the list belong to the previous take, and
    // opening them again would empty it.
    if (!filesReady_ && !makeFiles()) return;
    setIsRecording(true);
    if (!recordEnabled_.load()) setRecordEnabled(true);
    Log({"record()"}, "⏺ Recording " + platform::describe(files().size()) + " files using format",
        recordFormat());
}

void MultiChannelInputNodeTap::stop() {
    if (!isRecording_.load()) {
        Log({"stop()"}, "Not Recording");
        return;
    }
    setIsRecording(false);
    filesReady_ = false;
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(takeMutex_);
        take = recording_;
    }
    if (!take) return;
    endTake(take);
    bool finished = false;
    {
        std::lock_guard lock(takeMutex_);
        finished = take->finished;
        take->told = true;
    }
    Log({"stop()"}, "⏹", filesDescription());
    if (finished)
        logSilence(*take);
    else
        Log({"stop()"},
            "⏹ The tap thread is behind: the take's files are finished once it has written them");
}

} // namespace sonabel
