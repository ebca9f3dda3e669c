#pragma once
// Values and records of music sequences, tracks, event iterators and players. Handles are
// numbers that the calls check against the live objects, so a handle used after its object was
// disposed gets an error status instead of touching freed memory.
#include "platform/core/OSStatus.h"
#include "platform/midi/MIDITypes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

using MusicTimeStamp = double;
using MusicEventType = std::uint32_t;
using MusicSequenceFileTypeID = std::uint32_t;
using MusicSequenceLoadFlags = std::uint32_t;
using MusicSequenceFileFlags = std::uint32_t;
using AUNode = std::int32_t;

enum class MusicSequence : std::uint64_t {};
enum class MusicTrack : std::uint64_t {};
enum class MusicEventIterator : std::uint64_t {};
enum class MusicPlayer : std::uint64_t {};

inline constexpr MusicEventType kMusicEventType_NULL = 0;
inline constexpr MusicEventType kMusicEventType_ExtendedNote = 1;
inline constexpr MusicEventType kMusicEventType_ExtendedTempo = 3;
inline constexpr MusicEventType kMusicEventType_User = 4;
inline constexpr MusicEventType kMusicEventType_Meta = 5;
inline constexpr MusicEventType kMusicEventType_MIDINoteMessage = 6;
inline constexpr MusicEventType kMusicEventType_MIDIChannelMessage = 7;
inline constexpr MusicEventType kMusicEventType_MIDIRawData = 8;
inline constexpr MusicEventType kMusicEventType_Parameter = 9;
inline constexpr MusicEventType kMusicEventType_AUPreset = 10;

inline constexpr std::uint32_t kSequenceTrackProperty_LoopInfo = 0;
inline constexpr std::uint32_t kSequenceTrackProperty_OffsetTime = 1;
inline constexpr std::uint32_t kSequenceTrackProperty_MuteStatus = 2;
inline constexpr std::uint32_t kSequenceTrackProperty_SoloStatus = 3;
inline constexpr std::uint32_t kSequenceTrackProperty_AutomatedParameters = 4;
inline constexpr std::uint32_t kSequenceTrackProperty_TrackLength = 5;
inline constexpr std::uint32_t kSequenceTrackProperty_TimeResolution = 6;

inline constexpr MusicSequenceFileTypeID kMusicSequenceFile_AnyType = 0;
inline constexpr MusicSequenceFileTypeID kMusicSequenceFile_MIDIType = 0x6D696469;    // 'midi'
inline constexpr MusicSequenceFileTypeID kMusicSequenceFile_iMelodyType = 0x696D656C; // 'imel'
inline constexpr MusicSequenceFileFlags kMusicSequenceFileFlags_Default = 0;
inline constexpr MusicSequenceFileFlags kMusicSequenceFileFlags_EraseFile = 1;

// Beyond platform/core's table: a file that is not what it claims ('dta?'), and a write refused
// because the file exists and erasing was not asked for.
inline constexpr OSStatus kAudioFileInvalidFileError = 0x6474613F;
inline constexpr OSStatus kAudio_FilePermissionError = -54;

struct MIDINoteMessage {
    std::uint8_t channel = 0;
    std::uint8_t note = 0;
    std::uint8_t velocity = 0;
    std::uint8_t releaseVelocity = 0;
    float duration = 0;
};
static_assert(sizeof(MIDINoteMessage) == 8);

struct MIDIChannelMessage {
    std::uint8_t status = 0;
    std::uint8_t data1 = 0;
    std::uint8_t data2 = 0;
    std::uint8_t reserved = 0;
};
static_assert(sizeof(MIDIChannelMessage) == 4);

// Variable-size records: the declared size counts one data byte; real buffers carry `length`
// (or `dataLength`) bytes from `data` on.
struct MIDIRawData {
    std::uint32_t length = 0;
    std::uint8_t data[1] = {};
};
static_assert(sizeof(MIDIRawData) == 8);

struct MIDIMetaEvent {
    std::uint8_t metaEventType = 0;
    std::uint8_t unused1 = 0;
    std::uint8_t unused2 = 0;
    std::uint8_t unused3 = 0;
    std::uint32_t dataLength = 0;
    std::uint8_t data[1] = {};
};
static_assert(sizeof(MIDIMetaEvent) == 12);
static_assert(offsetof(MIDIMetaEvent, data) == 8);

struct ExtendedTempoEvent {
    double bpm = 0;
};

struct MusicTrackLoopInfo {
    MusicTimeStamp loopDuration = 0;
    std::int32_t numberOfLoops = 0; // 0 repeats for ever
};
static_assert(sizeof(MusicTrackLoopInfo) == 16);

// One message the player sends from a track, at the host time it is due.
struct MusicTrackOutput {
    MusicTimeStamp beats = 0;
    MIDITimeStamp hostTime = 0;
    std::span<const std::uint8_t> bytes;
};
// Takes a track's messages in process, in place of a MIDI endpoint. Called on the player's
// thread (or the thread that renders), without the sequence lock held.
using MusicTrackMIDIReceiver = std::function<void(const MusicTrackOutput& output)>;
