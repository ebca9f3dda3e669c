#include "platform/audio/AudioFile.h"

#include "platform/audio/AudioError.h"
#include "platform/core/ValueText.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace platform {

namespace {

std::string lowerExtension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

[[noreturn]] void fail(OSStatus code, const std::string& message) {
    throw AudioError(AudioError::kDomain, code, message);
}

AudioFormat::CommonFormat commonFormatOfSubtype(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
        return AudioFormat::CommonFormat::pcmFormatInt16;
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
        return AudioFormat::CommonFormat::pcmFormatInt32;
    case SF_FORMAT_DOUBLE:
        return AudioFormat::CommonFormat::pcmFormatFloat64;
    default:
        return AudioFormat::CommonFormat::pcmFormatFloat32;
    }
}

int bitDepthOfSubtype(int subtype) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        return 8;
    case SF_FORMAT_PCM_16:
        return 16;
    case SF_FORMAT_PCM_24:
        return 24;
    case SF_FORMAT_DOUBLE:
        return 64;
    default:
        return 32;
    }
}

bool isFloatSubtype(int subtype) {
    return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

// Samples cross between the file and the processing format through two carriers: doubles for
// float files and left-justified 32-bit integers for integer files, so that integer samples
// convert with exact power-of-two scales in both directions.
constexpr double kIntScale = 2147483648.0;

template <class T> T fromInt(int v) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>)
        return T(double(v) / kIntScale);
    else if constexpr (std::is_same_v<T, std::int16_t>)
        return std::int16_t(v >> 16);
    else
        return std::int32_t(v);
}

template <class T> T fromDouble(double v) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>)
        return T(v);
    else if constexpr (std::is_same_v<T, std::int16_t>)
        return std::int16_t(std::clamp(std::lrint(v * 32768.0), -32768L, 32767L));
    else
        return std::int32_t(std::clamp<long long>(std::llrint(v * kIntScale), INT32_MIN, INT32_MAX));
}

template <class T> int toInt(T v) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
        if (std::isnan(v)) return 0;
        return int(std::clamp<long long>(std::llrint(double(v) * kIntScale), INT32_MIN, INT32_MAX));
    } else if constexpr (std::is_same_v<T, std::int16_t>)
        return int(std::uint32_t(std::uint16_t(v)) << 16);
    else
        return int(v);
}

template <class T> double toDouble(T v) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>)
        return double(v);
    else if constexpr (std::is_same_v<T, std::int16_t>)
        return double(v) / 32768.0;
    else
        return double(v) / kIntScale;
}

template <class T> T* const* channelsOf(const PCMBuffer& b) {
    if constexpr (std::is_same_v<T, float>)
        return b.floatChannelData();
    else if constexpr (std::is_same_v<T, double>)
        return b.doubleChannelData();
    else if constexpr (std::is_same_v<T, std::int16_t>)
        return b.int16ChannelData();
    else
        return b.int32ChannelData();
}

// Element (frame, channel) of a buffer of either layout.
template <class T>
T& sampleAt(T* const* ch, bool interleaved, std::uint32_t channels, std::size_t frame, std::uint32_t c) {
    return interleaved ? ch[0][frame * channels + c] : ch[c][frame];
}

constexpr std::size_t kChunkFrames = 4096;

} // namespace

std::shared_ptr<AudioFile> AudioFile::forReading(const std::string& path, CommonFormat processingFormat,
                                                 bool interleaved) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (!sf)
        fail(kAudio_FileNotFoundError,
             "could not open \"" + path + "\" for reading: " + sf_strerror(nullptr));
    std::shared_ptr<AudioFile> file(new AudioFile());
    file->file_ = sf;
    file->path_ = path;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    auto fileFormat = AudioFormat::make(commonFormatOfSubtype(subtype), info.samplerate,
                                        static_cast<std::uint32_t>(std::max(info.channels, 0)), true);
    auto processing = AudioFormat::make(processingFormat, info.samplerate,
                                        static_cast<std::uint32_t>(std::max(info.channels, 0)), interleaved);
    if (!fileFormat || !processing)
        fail(kAudioUnitErr_FormatNotSupported, "unsupported format in \"" + path + "\"");
    file->fileFormat_ = *fileFormat;
    file->processingFormat_ = *processing;
    file->fileSettings_ = fileFormat->settings();
    file->fileSettings_["AVLinearPCMBitDepthKey"] = bitDepthOfSubtype(subtype);
    file->fileSettings_["AVLinearPCMIsFloatKey"] = isFloatSubtype(subtype) ? 1 : 0;
    file->floatFile_ = isFloatSubtype(subtype);
    file->length_ = info.frames;
    return file;
}

std::shared_ptr<AudioFile> AudioFile::forWriting(const std::string& path, const AudioFormatSettings& settings,
                                                 CommonFormat processingFormat, bool interleaved) {
    auto get = [&](const char* key, double fallback) {
        auto it = settings.find(key);
        return it == settings.end() ? fallback : it->second;
    };
    int container = 0;
    const std::string ext = lowerExtension(path);
    if (ext == "wav")
        container = SF_FORMAT_WAV;
    else if (ext == "aif" || ext == "aiff")
        container = SF_FORMAT_AIFF;
    else if (ext == "caf")
        container = SF_FORMAT_CAF;
    else
        fail(kAudioUnitErr_InvalidFile, "unsupported file type \"" + ext + "\" for writing");

    if (get("AVFormatIDKey", AudioFormat::kAudioFormatLinearPCM) != AudioFormat::kAudioFormatLinearPCM)
        fail(kAudioUnitErr_FormatNotSupported, "only linear PCM can be written");
    const double rate = get("AVSampleRateKey", 44100);
    const double channels = get("AVNumberOfChannelsKey", 2);
    if (!(rate >= 1 && rate <= 1e7) || rate != std::trunc(rate))
        fail(kAudioUnitErr_FormatNotSupported, "unsupported sample rate " + describe(rate));
    if (!(channels >= 1 && channels <= AudioFormat::maxChannelCount) || channels != std::trunc(channels))
        fail(kAudioUnitErr_FormatNotSupported, "unsupported channel count " + describe(channels));
    const double bits = get("AVLinearPCMBitDepthKey", 32);
    const bool isFloat = get("AVLinearPCMIsFloatKey", bits == 32 ? 1 : 0) != 0;
    int subtype = 0;
    if (isFloat && bits == 32)
        subtype = SF_FORMAT_FLOAT;
    else if (isFloat && bits == 64)
        subtype = SF_FORMAT_DOUBLE;
    else if (!isFloat && bits == 16)
        subtype = SF_FORMAT_PCM_16;
    else if (!isFloat && bits == 24)
        subtype = SF_FORMAT_PCM_24;
    else if (!isFloat && bits == 32)
        subtype = SF_FORMAT_PCM_32;
    else
        fail(kAudioUnitErr_FormatNotSupported, "unsupported bit depth " + describe(bits));

    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = static_cast<int>(channels);
    info.format = container | subtype;
    if (!sf_format_check(&info))
        fail(kAudioUnitErr_FormatNotSupported, "format not supported by the file type");
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!sf) fail(kAudio_FileNotFoundError, "could not create \"" + path + "\": " + sf_strerror(nullptr));
    sf_command(sf, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);

    std::shared_ptr<AudioFile> file(new AudioFile());
    file->file_ = sf;
    file->writing_ = true;
    file->path_ = path;
    auto processing =
        AudioFormat::make(processingFormat, rate, static_cast<std::uint32_t>(channels), interleaved);
    if (!processing) fail(kAudioUnitErr_FormatNotSupported, "unsupported processing format");
    file->processingFormat_ = *processing;
    file->fileFormat_ =
        *AudioFormat::make(commonFormatOfSubtype(subtype), rate, static_cast<std::uint32_t>(channels), true);
    file->fileSettings_ = file->fileFormat_.settings();
    file->fileSettings_["AVLinearPCMBitDepthKey"] = bits;
    file->fileSettings_["AVLinearPCMIsFloatKey"] = isFloat ? 1 : 0;
    file->floatFile_ = isFloat;
    return file;
}

AudioFile::~AudioFile() {
    close();
}

void AudioFile::close() {
    std::lock_guard lock(mutex_);
    if (file_) sf_close(file_);
    file_ = nullptr;
}

bool AudioFile::isOpen() const {
    std::lock_guard lock(mutex_);
    return file_ != nullptr;
}

std::int64_t AudioFile::length() const {
    std::lock_guard lock(mutex_);
    return length_;
}

std::int64_t AudioFile::framePosition() const {
    std::lock_guard lock(mutex_);
    return position_;
}

void AudioFile::setFramePosition(std::int64_t position) {
    std::lock_guard lock(mutex_);
    position = std::clamp<std::int64_t>(position, 0, length_);
    if (file_ && !writing_) sf_seek(file_, position, SEEK_SET);
    if (!writing_) position_ = position;
}

void AudioFile::read(PCMBuffer& buffer) {
    read(buffer, buffer.frameCapacity());
}

void AudioFile::read(PCMBuffer& buffer, std::uint32_t frameCount) {
    std::lock_guard lock(mutex_);
    readLocked(buffer, frameCount);
}

void AudioFile::readLocked(PCMBuffer& buffer, std::uint32_t frameCount) {
    if (!file_ || writing_) fail(kAudio_ParamError, "file is not open for reading");
    const AudioFormat& f = buffer.format();
    if (f.channelCount() != processingFormat_.channelCount() ||
        f.commonFormat() != processingFormat_.commonFormat() ||
        f.isInterleaved() != processingFormat_.isInterleaved())
        fail(kAudioUnitErr_FormatNotSupported, "buffer format does not match the processing format");
    const std::uint32_t channels = f.channelCount();
    const std::size_t wanted = std::min(frameCount, buffer.frameCapacity());
    const bool floatFile = floatFile_;
    auto convert = [&](auto tag, std::size_t offset, std::size_t frames) {
        using T = decltype(tag);
        T* const* ch = channelsOf<T>(buffer);
        for (std::size_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < channels; ++c)
                sampleAt(ch, f.isInterleaved(), channels, offset + i, c) =
                    floatFile ? fromDouble<T>(scratchDouble_[i * channels + c])
                              : fromInt<T>(scratchInt_[i * channels + c]);
    };
    std::size_t done = 0;
    while (done < wanted) {
        const std::size_t chunk = std::min(kChunkFrames, wanted - done);
        sf_count_t got = 0;
        if (floatFile) {
            scratchDouble_.resize(chunk * channels);
            got = sf_readf_double(file_, scratchDouble_.data(), sf_count_t(chunk));
        } else {
            scratchInt_.resize(chunk * channels);
            got = sf_readf_int(file_, scratchInt_.data(), sf_count_t(chunk));
        }
        if (got <= 0) break;
        switch (f.commonFormat()) {
        case CommonFormat::pcmFormatFloat32:
            convert(float{}, done, std::size_t(got));
            break;
        case CommonFormat::pcmFormatFloat64:
            convert(double{}, done, std::size_t(got));
            break;
        case CommonFormat::pcmFormatInt16:
            convert(std::int16_t{}, done, std::size_t(got));
            break;
        case CommonFormat::pcmFormatInt32:
            convert(std::int32_t{}, done, std::size_t(got));
            break;
        case CommonFormat::otherFormat:
            break;
        }
        done += std::size_t(got);
        position_ += got;
    }
    buffer.setFrameLength(static_cast<std::uint32_t>(done));
}

void AudioFile::write(const PCMBuffer& buffer) {
    std::lock_guard lock(mutex_);
    if (!file_ || !writing_) fail(kAudio_ParamError, "file is not open for writing");
    const AudioFormat& f = buffer.format();
    if (f.channelCount() != processingFormat_.channelCount() ||
        f.commonFormat() != processingFormat_.commonFormat() ||
        f.isInterleaved() != processingFormat_.isInterleaved() ||
        f.sampleRate() != processingFormat_.sampleRate())
        fail(kAudioUnitErr_FormatNotSupported, "buffer format does not match the processing format");
    const std::uint32_t channels = f.channelCount();
    const std::size_t total = buffer.frameLength();
    const bool floatFile = floatFile_;
    auto convert = [&](auto tag, std::size_t offset, std::size_t frames) {
        using T = decltype(tag);
        T* const* ch = channelsOf<T>(buffer);
        for (std::size_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < channels; ++c) {
                const T v = sampleAt(ch, f.isInterleaved(), channels, offset + i, c);
                if (floatFile)
                    scratchDouble_[i * channels + c] = toDouble(v);
                else
                    scratchInt_[i * channels + c] = toInt(v);
            }
    };
    std::size_t done = 0;
    // Counts what reached the file; a short write fails the call.
    auto wrote = [&](sf_count_t put, std::size_t chunk) {
        if (put > 0) {
            length_ += put;
            position_ += put;
        }
        if (put != sf_count_t(chunk))
            fail(kAudio_ParamError, std::string("write failed: ") + sf_strerror(file_));
        done += chunk;
    };
    if (floatFile && f.commonFormat() == CommonFormat::pcmFormatFloat32) {
        // Float into a float file: straight through, interleaved in float, without the double stage.
        float* const* ch = buffer.floatChannelData();
        while (done < total) {
            const std::size_t chunk = std::min(kChunkFrames, total - done);
            const float* frames = ch[0] + done * channels;
            if (!f.isInterleaved()) {
                scratchFloat_.resize(chunk * channels);
                for (std::uint32_t c = 0; c < channels; ++c) {
                    const float* from = ch[c] + done;
                    for (std::size_t i = 0; i < chunk; ++i)
                        scratchFloat_[i * channels + c] = from[i];
                }
                frames = scratchFloat_.data();
            }
            wrote(sf_writef_float(file_, frames, sf_count_t(chunk)), chunk);
        }
        return;
    }
    while (done < total) {
        const std::size_t chunk = std::min(kChunkFrames, total - done);
        scratchDouble_.resize(floatFile ? chunk * channels : 0);
        scratchInt_.resize(floatFile ? 0 : chunk * channels);
        switch (f.commonFormat()) {
        case CommonFormat::pcmFormatFloat32:
            convert(float{}, done, chunk);
            break;
        case CommonFormat::pcmFormatFloat64:
            convert(double{}, done, chunk);
            break;
        case CommonFormat::pcmFormatInt16:
            convert(std::int16_t{}, done, chunk);
            break;
        case CommonFormat::pcmFormatInt32:
            convert(std::int32_t{}, done, chunk);
            break;
        case CommonFormat::otherFormat:
            break;
        }
        wrote(floatFile ? sf_writef_double(file_, scratchDouble_.data(), sf_count_t(chunk))
                        : sf_writef_int(file_, scratchInt_.data(), sf_count_t(chunk)),
              chunk);
    }
}

} // namespace platform
