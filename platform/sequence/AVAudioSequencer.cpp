#include "platform/sequence/AVAudioSequencer.h"

#include "platform/sequence/MusicSequenceServices.h"

namespace platform {

std::string AVAudioSequencerError::description() const {
    return "The operation couldn't be completed. (OSStatus error " + std::to_string(code) + ".)";
}

AVAudioSequencer::AVAudioSequencer(std::shared_ptr<AudioEngine> audioEngine) : engine_(audioEngine) {
    NewMusicSequence(&sequence_);
    NewMusicPlayer(&player_);
    MusicPlayerSetSequence(player_, sequence_);
}

AVAudioSequencer::~AVAudioSequencer() {
    DisposeMusicPlayer(player_);
    DisposeMusicSequence(sequence_);
}

std::vector<std::shared_ptr<AVMusicTrack>> AVAudioSequencer::tracks() const {
    std::uint32_t count = 0;
    MusicSequenceGetTrackCount(sequence_, &count);
    std::vector<std::shared_ptr<AVMusicTrack>> list;
    std::map<std::uint64_t, std::shared_ptr<AVMusicTrack>> live;
    for (std::uint32_t i = 0; i < count; ++i) {
        MusicTrack track{};
        if (MusicSequenceGetIndTrack(sequence_, i, &track) != noErr) continue;
        const auto id = static_cast<std::uint64_t>(track);
        auto found = trackObjects_.find(id);
        auto object = found != trackObjects_.end() ? found->second : std::make_shared<AVMusicTrack>(track);
        live[id] = object;
        list.push_back(object);
    }
    trackObjects_ = std::move(live);
    return list;
}

namespace {
bool report(OSStatus status, AVAudioSequencerError* error) {
    if (status != noErr && error) error->code = status;
    return status == noErr;
}
} // namespace

bool AVAudioSequencer::loadFromURL(const std::filesystem::path& url, std::uint32_t options,
                                   AVAudioSequencerError* error) {
    return report(MusicSequenceFileLoad(sequence_, url, kMusicSequenceFile_AnyType, options), error);
}

bool AVAudioSequencer::loadFromData(std::span<const std::uint8_t> data, std::uint32_t options,
                                    AVAudioSequencerError* error) {
    return report(MusicSequenceFileLoadData(sequence_, data, kMusicSequenceFile_AnyType, options), error);
}

bool AVAudioSequencer::startAndReturnError(AVAudioSequencerError* error) {
    return report(MusicPlayerStart(player_), error);
}

void AVAudioSequencer::stop() {
    MusicPlayerStop(player_);
}

bool AVAudioSequencer::isPlaying() const {
    bool playing = false;
    MusicPlayerIsPlaying(player_, &playing);
    return playing;
}

MusicTimeStamp AVAudioSequencer::currentPositionInBeats() const {
    MusicTimeStamp time = 0;
    MusicPlayerGetTime(player_, &time);
    return time;
}

void AVAudioSequencer::setCurrentPositionInBeats(MusicTimeStamp beats) {
    MusicPlayerSetTime(player_, beats);
}

} // namespace platform
