#include "sonabel/taps/NodeRecorder.h"

#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioError.h"
#include "sonabel/internals/error_handling/Log.h"
#include "sonabel/internals/settings/Settings.h"
#include "sonabel/taps/MakeAVAudioFileForWriting.h"
#include "sonabel/taps/ReserveFreeFile.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <limits>

namespace sonabel {

namespace {

struct TempFileState {
    std::mutex mutex;
    std::vector<std::string> files;
    std::optional<std::string> directory;
    NodeRecorder::DateSource dateSource;
};

TempFileState& tempState() {
    static TempFileState state;
    return state;
}

std::string dateName(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H-%M-%S", &local);
    return std::string(text, n);
}

double secondsOf(std::uint64_t frames, double sampleRate) {
    return sampleRate > 0 ? double(frames) / sampleRate : 0.0;
}

// Tap buffers are deinterleaved; a file may process interleaved samples (temporary files do).
// Returns the buffer in the file's layout, or null when it already has it or cannot be converted.
std::shared_ptr<platform::PCMBuffer> inLayoutOf(const platform::PCMBuffer& buffer,
                                                const platform::AudioFormat& processing) {
    const auto& f = buffer.format();
    if (f.isInterleaved() == processing.isInterleaved()) return nullptr;
    if (f.commonFormat() != platform::AudioFormat::CommonFormat::pcmFormatFloat32 ||
        processing.commonFormat() != f.commonFormat() || processing.channelCount() != f.channelCount() ||
        processing.sampleRate() != f.sampleRate())
        return nullptr;
    auto out = platform::PCMBuffer::make(processing, buffer.frameLength());
    if (!out || !buffer.floatChannelData()) return nullptr;
    const std::uint32_t channels = f.channelCount();
    float* const* from = buffer.floatChannelData();
    float* const* to = out->floatChannelData();
    for (std::uint32_t i = 0; i < buffer.frameLength(); ++i)
        for (std::uint32_t c = 0; c < channels; ++c) {
            const float v = f.isInterleaved() ? from[0][std::size_t(i) * channels + c] : from[c][i];
            if (processing.isInterleaved())
                to[0][std::size_t(i) * channels + c] = v;
            else
                to[c][i] = v;
        }
    out->setFrameLength(buffer.frameLength());
    return out;
}

} // namespace

NodeRecorder::NodeRecorder(std::shared_ptr<Node> node, std::shared_ptr<platform::AudioFile> file, int bus)
    : node_(std::move(node)), recordBufferDuration_(secondsOf(16384, Settings::audioFormat().sampleRate())) {
    if (file) {
        internalAudioFile_ = std::move(file);
        bus_ = bus;
    } else {
        Log({"init(node:file:bus:)"}, "Error, no file to write to");
    }
}

std::shared_ptr<platform::AudioFile> NodeRecorder::internalAudioFile() const {
    std::lock_guard lock(mutex_);
    return internalAudioFile_;
}

void NodeRecorder::setInternalAudioFile(std::shared_ptr<platform::AudioFile> file) {
    std::lock_guard lock(mutex_);
    std::swap(internalAudioFile_, file);
}

std::optional<platform::AudioFormat> NodeRecorder::recordFormat() const {
    std::lock_guard lock(mutex_);
    return recordFormat_;
}

void NodeRecorder::setRecordFormat(std::optional<platform::AudioFormat> format) {
    std::lock_guard lock(mutex_);
    recordFormat_ = std::move(format);
}

double NodeRecorder::recordedDuration() const {
    auto file = internalAudioFile();
    if (!file) return 0;
    return secondsOf(std::uint64_t(std::max<std::int64_t>(file->length(), 0)),
                     file->fileFormat().sampleRate());
}

std::shared_ptr<platform::AudioFile> NodeRecorder::audioFile() const {
    auto file = internalAudioFile();
    if (!file || file->url().empty()) return nullptr;
    try {
        return platform::AudioFile::forReading(file->url());
    } catch (const platform::AudioError& error) {
        Log({"audioFile"},
            "Error, Cannot create internal audio file for reading: " + error.localizedDescription());
        return nullptr;
    }
}

void NodeRecorder::record() {
    if (isRecording_.load()) {
        Log({"record()"}, "Warning: already recording");
        return;
    }
    if (auto file = internalAudioFile(); file && !std::filesystem::exists(file->url())) {
        if (auto temp = createTempFile()) {
            const std::string url = temp->url();
            const auto settings = temp->fileSettings();
            temp.reset(); // closed before the same path is opened again
            setInternalAudioFile(makeAVAudioFileForWriting(url, settings));
        }
    }
    const std::uint32_t tapSize = Settings::recorderBufferLength().samplesCount();
    tapFrames_.store(tapSize);
    silenceFrames_.store(0);
    isRecording_.store(true);
    auto file = internalAudioFile();
    Log({"record()"}, "⏺ Recording using format",
        file ? std::optional<std::string>(file->processingFormat().description()) : std::nullopt);
    auto av = node_ ? node_->avAudioNode() : nullptr;
    const std::string name = node_ ? node_->typeName() : "nil";
    if (!av || !av->engine()) {
        Log({"record()"}, "🛑 Error: Error recording. Input node '" + name + "' has no engine.");
        isRecording_.store(false);
        return;
    }
    const std::uint64_t take = ++lastTake_;
    const bool installed =
        bus_ >= 0 &&
        av->installTap(
            static_cast<std::uint32_t>(bus_), tapSize, recordFormat(),
            [self = shared_from_this(), take](std::shared_ptr<platform::PCMBuffer> buffer,
                                              platform::AudioTime) {
                if (buffer) self->write(*buffer, take);
            },
            platform::AudioNode::TapKind::recorder,
            [self = shared_from_this()](std::uint32_t frames) { self->silenceFrames_ += frames; });
    if (!installed) {
        // A tap the platform refused records nothing: not a recording.
        Log({"record()"}, "🛑 Error: Error recording. Input node '" + name + "' could not be tapped on bus",
            bus_);
        isRecording_.store(false);
        endTake(take);
    }
}

void NodeRecorder::process(const platform::PCMBuffer& buffer, const platform::AudioTime&) {
    write(buffer, lastTake_.load());
}

void NodeRecorder::write(const platform::PCMBuffer& buffer, std::uint64_t take) {
    {
        std::lock_guard lock(writeMutex_);
        if (take == 0 || take <= endedTake_) return;
        auto file = internalAudioFile();
        if (!file) return;
        // The last block of a take, and silence, may be shorter.
        if (buffer.frameLength() == tapFrames_.load())
            recordBufferDuration_.store(
                secondsOf(buffer.frameLength(), Settings::audioFormat().sampleRate()));
        try {
            if (auto converted = inLayoutOf(buffer, file->processingFormat()))
                file->write(*converted);
            else
                file->write(buffer);
        } catch (const platform::AudioError& error) {
            Log({"process(buffer:time:)"}, "Write failed: error -> " + error.localizedDescription());
            return;
        }
    }
    const double limit = durationToRecord();
    if (limit != 0 && recordedDuration() >= limit) finish(false);
}

void NodeRecorder::endTake(std::uint64_t take) {
    std::lock_guard lock(writeMutex_);
    endedTake_ = std::max(endedTake_, take);
}

void NodeRecorder::stop() {
    finish(true);
}

void NodeRecorder::finish(bool waitForDeliveries) {
    if (!isRecording_.exchange(false)) {
        Log({"stop()"}, "Warning: Cannot stop recording, already stopped");
        return;
    }
    if (Settings::waitBeforeRecorderStop()) {
        // One more buffer may still reach the file meanwhile.
        const double seconds = recordBufferDuration();
        if (seconds > 0 && seconds < 3600)
            sleeper_.load()->sleepFor(std::chrono::nanoseconds(std::int64_t(seconds * 1e9)));
    }
    const std::uint64_t take = lastTake_.load();
    auto av = node_ ? node_->avAudioNode() : nullptr;
    if (!av || bus_ < 0) {
        endTake(take);
        return;
    }
    av->removeTap(static_cast<std::uint32_t>(bus_));
    auto engine = av->engine();
    if (!waitForDeliveries || !engine) {
        // Stopped at the duration by its own block: what comes after is beyond it.
        endTake(take);
    } else {
        // The take's last blocks, and the silence for what was lost since, are still on their way:
        // the take ends on the tap thread after them. A stop on the tap thread itself cannot wait for
        // them, nor one whose tap thread is held longer than the wait: they reach the file after it.
        struct End : platform::AudioEngine::CycleWork {
            std::weak_ptr<NodeRecorder> recorder;
            std::uint64_t take = 0;
            void run() override {
                if (auto r = recorder.lock()) r->endTake(take);
            }
        };
        auto end = std::make_unique<End>();
        end->recorder = weak_from_this();
        end->take = take;
        engine->queueWorkFromOutside(std::move(end));
        engine->waitForTapDeliveries(takeEndWait_.load());
    }
    if (const std::uint64_t silence = silenceFrames_.load()) {
        auto file = internalAudioFile();
        const double rate = file ? file->fileFormat().sampleRate() : 0;
        Log({"stop()"}, "⏹ Recorded", recordedDuration(), "s, of which", secondsOf(silence, rate),
            "s silence in place of lost audio");
    }
}

void NodeRecorder::reset() {
    if (isRecording_.load()) stop();
    // Blocks of the last take still on their way reach neither the old file nor the new one.
    endTake(lastTake_.load());
    auto file = internalAudioFile();
    if (!file) return;
    const std::string url = file->url();
    const auto settings = file->fileSettings();
    if (auto reading = audioFile()) {
        const std::string path = reading->url();
        reading.reset();
        std::error_code error;
        if (!std::filesystem::remove(path, error) || error) {
            auto again = audioFile();
            Log({"reset()"}, "Error: Can't delete" +
                                 (again ? std::string(lastPathComponent(again->url())) : std::string("nil")) +
                                 (error ? error.message() : std::string("no such file")));
        }
    }
    // The old writer must not touch the path once the new file is there.
    file->close();
    file.reset();
    try {
        setInternalAudioFile(makeAVAudioFileForWriting(url, settings));
        Log({"reset()"}, "File has been cleared");
    } catch (const platform::AudioError&) {
        Log({"reset()"}, "Error: Can't record to" + std::string(lastPathComponent(url)));
        throw;
    }
}

std::shared_ptr<platform::AudioFile> NodeRecorder::createTempFile() {
    auto& state = tempState();
    std::optional<std::string> directory;
    DateSource dateSource;
    {
        std::lock_guard lock(state.mutex);
        directory = state.directory;
        dateSource = state.dateSource;
    }
    const auto now = dateSource ? dateSource() : std::chrono::system_clock::now();
    std::error_code error;
    const std::filesystem::path folder =
        directory ? std::filesystem::path(*directory) : std::filesystem::temp_directory_path(error);
    // Names are per second: a later file of the same second takes the next free number after it. A
    // name is ours once the file is created exclusively: a recorder in another process (or thread)
    // started in the same second finds it taken and goes on to the next number.
    const std::string stem = dateName(now);
    std::string url;
    const auto reserved = reserveFreeFile(1, std::numeric_limits<int>::max(), [&](std::int64_t n) {
        std::string name = stem;
        if (n > 1) name.append(" ").append(std::to_string(n));
        url = (folder / name.append(".caf")).string();
        // A name this process gave out stays given, even when its file was deleted since.
        std::lock_guard lock(state.mutex);
        return std::find(state.files.begin(), state.files.end(), url) == state.files.end()
                   ? std::optional<std::string>(url)
                   : std::nullopt;
    });
    if (!reserved) {
        Log({"createTempFile()"}, "Error, cannot create a file at", url);
        return nullptr;
    }
    {
        std::lock_guard lock(state.mutex);
        state.files.push_back(url);
    }
    const auto format = Settings::audioFormat();
    auto settings = format.settings();
    settings["AVLinearPCMIsNonInterleaved"] = 0;
    Log({"createTempFile()"}, "Creating temp file at", url);
    try {
        return platform::AudioFile::forWriting(url, settings, format.commonFormat(), true);
    } catch (const platform::AudioError&) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        std::lock_guard lock(state.mutex);
        std::erase(state.files, url);
        return nullptr;
    }
}

void NodeRecorder::removeTempFiles() {
    auto& state = tempState();
    std::vector<std::string> files;
    {
        std::lock_guard lock(state.mutex);
        std::swap(files, state.files);
    }
    for (const auto& url : files) {
        std::error_code ignored;
        std::filesystem::remove(url, ignored);
        Log({"removeTempFiles()"}, "𝗫 Deleted tmp file at", url);
    }
}

std::vector<std::string> NodeRecorder::tempFiles() {
    auto& state = tempState();
    std::lock_guard lock(state.mutex);
    return state.files;
}

void NodeRecorder::setTemporaryDirectory(std::optional<std::string> directory) {
    auto& state = tempState();
    std::lock_guard lock(state.mutex);
    state.directory = std::move(directory);
}

void NodeRecorder::setDateSource(DateSource source) {
    auto& state = tempState();
    std::lock_guard lock(state.mutex);
    state.dateSource = std::move(source);
}

} // namespace sonabel
