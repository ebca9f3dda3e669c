#pragma once
// Music sequences, tracks, event iterators and players under the platform's names.
//
// Every event lives in its track in time order; an event added at a time that already has
// events goes after them. A track's length grows to the end of what is added to it (a note's
// end, another event's time) and can be set lower or higher; it reads back as no less than the
// end of the events (setting it never removes any). Range calls (clear, copy, merge)
// take the events with start <= time < end, and also those exactly at `end` when `end` reaches
// the source track's length, so a range up to the length takes the whole track. Clearing an
// empty range takes nothing.
//
// One lock guards all sequences, and the player takes it only while it gathers due messages;
// messages go out after it is released.
#include "platform/sequence/MusicPlayerConfiguration.h"
#include "platform/sequence/MusicSequenceTypes.h"

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

OSStatus NewMusicSequence(MusicSequence* outSequence);
OSStatus DisposeMusicSequence(MusicSequence sequence);
OSStatus MusicSequenceNewTrack(MusicSequence sequence, MusicTrack* outTrack);
OSStatus MusicSequenceDisposeTrack(MusicSequence sequence, MusicTrack track);
OSStatus MusicSequenceGetTrackCount(MusicSequence sequence, std::uint32_t* outNumberOfTracks);
OSStatus MusicSequenceGetIndTrack(MusicSequence sequence, std::uint32_t trackIndex, MusicTrack* outTrack);
OSStatus MusicSequenceGetTempoTrack(MusicSequence sequence, MusicTrack* outTrack);
OSStatus MusicSequenceGetBeatsForSeconds(MusicSequence sequence, double seconds, MusicTimeStamp* outBeats);
OSStatus MusicSequenceGetSecondsForBeats(MusicSequence sequence, MusicTimeStamp beats, double* outSeconds);

// Standard MIDI Files. A file whose header cannot be read leaves the sequence as it was; one with
// a malformed or cut-short track loads the tracks before it and fails with
// kAudioFileInvalidFileError.
OSStatus MusicSequenceFileLoad(MusicSequence sequence, const std::filesystem::path& fileURL,
                               MusicSequenceFileTypeID fileTypeHint, MusicSequenceLoadFlags flags);
OSStatus MusicSequenceFileLoadData(MusicSequence sequence, std::span<const std::uint8_t> data,
                                   MusicSequenceFileTypeID fileTypeHint, MusicSequenceLoadFlags flags);
// A resolution of 0 or less writes 480 ticks per quarter note. The file is written beside its
// destination and renamed over it, so a failed write leaves the old file whole.
OSStatus MusicSequenceFileCreate(MusicSequence sequence, const std::filesystem::path& fileURL,
                                 MusicSequenceFileTypeID fileType, MusicSequenceFileFlags flags,
                                 std::int16_t resolution);
OSStatus MusicSequenceFileCreateData(MusicSequence sequence, MusicSequenceFileTypeID fileType,
                                     MusicSequenceFileFlags flags, std::int16_t resolution,
                                     std::vector<std::uint8_t>* outData);
// The sequence's structure as text (tracks, properties, events), for diagnostics.
OSStatus MusicSequenceDescribe(MusicSequence sequence, std::string* outText);

OSStatus MusicTrackGetSequence(MusicTrack track, MusicSequence* outSequence);
OSStatus MusicTrackNewMIDINoteEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                    const MIDINoteMessage* message);
OSStatus MusicTrackNewMIDIChannelEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                       const MIDIChannelMessage* message);
// Reads `length` bytes from `data`: the buffer must hold 4 + length bytes.
OSStatus MusicTrackNewMIDIRawDataEvent(MusicTrack track, MusicTimeStamp timeStamp,
                                       const MIDIRawData* rawData);
OSStatus MusicTrackNewExtendedTempoEvent(MusicTrack track, MusicTimeStamp timeStamp, double bpm);
// Reads `dataLength` bytes from `data`: the buffer must hold 8 + dataLength bytes.
OSStatus MusicTrackNewMetaEvent(MusicTrack track, MusicTimeStamp timeStamp, const MIDIMetaEvent* metaEvent);
OSStatus MusicTrackClear(MusicTrack track, MusicTimeStamp startTime, MusicTimeStamp endTime);
// Copies the source's events of the range to the destination at destInsertTime; CopyInsert
// first moves the destination's events at or after that time later by the range's length.
OSStatus MusicTrackCopyInsert(MusicTrack sourceTrack, MusicTimeStamp sourceStartTime,
                              MusicTimeStamp sourceEndTime, MusicTrack destTrack,
                              MusicTimeStamp destInsertTime);
OSStatus MusicTrackMerge(MusicTrack sourceTrack, MusicTimeStamp sourceStartTime, MusicTimeStamp sourceEndTime,
                         MusicTrack destTrack, MusicTimeStamp destInsertTime);
OSStatus MusicTrackGetProperty(MusicTrack track, std::uint32_t propertyID, void* outData,
                               std::uint32_t* ioLength);
OSStatus MusicTrackSetProperty(MusicTrack track, std::uint32_t propertyID, const void* data,
                               std::uint32_t length);
OSStatus MusicTrackSetDestNode(MusicTrack track, AUNode node);
OSStatus MusicTrackGetDestNode(MusicTrack track, AUNode* outNode);
OSStatus MusicTrackSetDestMIDIEndpoint(MusicTrack track, MIDIEndpointRef endpoint);
OSStatus MusicTrackGetDestMIDIEndpoint(MusicTrack track, MIDIEndpointRef* outEndpoint);
// Our own: the track's messages go to the receiver (in place of any endpoint); an empty one
// removes it.
OSStatus MusicTrackSetDestMIDIReceiver(MusicTrack track, MusicTrackMIDIReceiver receiver);

OSStatus NewMusicEventIterator(MusicTrack track, MusicEventIterator* outIterator);
OSStatus DisposeMusicEventIterator(MusicEventIterator iterator);
// Places the iterator on the first event at or after the time (past the end when none is).
OSStatus MusicEventIteratorSeek(MusicEventIterator iterator, MusicTimeStamp timeStamp);
OSStatus MusicEventIteratorNextEvent(MusicEventIterator iterator);
OSStatus MusicEventIteratorPreviousEvent(MusicEventIterator iterator);
// The data pointer stays valid until the track is next changed.
OSStatus MusicEventIteratorGetEventInfo(MusicEventIterator iterator, MusicTimeStamp* outTimeStamp,
                                        MusicEventType* outEventType, const void** outEventData,
                                        std::uint32_t* outEventDataSize);
// Replaces the current event's data (same size rules as the New...Event calls for the type).
OSStatus MusicEventIteratorSetEventInfo(MusicEventIterator iterator, MusicEventType eventType,
                                        const void* eventData);
OSStatus MusicEventIteratorSetEventTime(MusicEventIterator iterator, MusicTimeStamp timeStamp);
// Deletes the current event; the one after it becomes current.
OSStatus MusicEventIteratorDeleteEvent(MusicEventIterator iterator);
OSStatus MusicEventIteratorHasPreviousEvent(MusicEventIterator iterator, bool* outHasPrevEvent);
OSStatus MusicEventIteratorHasNextEvent(MusicEventIterator iterator, bool* outHasNextEvent);
OSStatus MusicEventIteratorHasCurrentEvent(MusicEventIterator iterator, bool* outHasCurEvent);

// A player takes MusicPlayerDefaultConfiguration() of the moment it is made.
OSStatus NewMusicPlayer(MusicPlayer* outPlayer);
OSStatus NewMusicPlayerWithConfiguration(const MusicPlayerConfiguration& configuration,
                                         MusicPlayer* outPlayer);
// Stops the player and joins its thread.
OSStatus DisposeMusicPlayer(MusicPlayer player);
OSStatus MusicPlayerSetSequence(MusicPlayer player, MusicSequence sequence);
OSStatus MusicPlayerGetSequence(MusicPlayer player, MusicSequence* outSequence);
OSStatus MusicPlayerSetTime(MusicPlayer player, MusicTimeStamp time);
OSStatus MusicPlayerGetTime(MusicPlayer player, MusicTimeStamp* outTime);
OSStatus MusicPlayerGetHostTimeForBeats(MusicPlayer player, MusicTimeStamp beats, MIDITimeStamp* outHostTime);
OSStatus MusicPlayerGetBeatsForHostTime(MusicPlayer player, MIDITimeStamp hostTime, MusicTimeStamp* outBeats);
OSStatus MusicPlayerPreroll(MusicPlayer player);
OSStatus MusicPlayerStart(MusicPlayer player);
// Sends a note off for every note still sounding.
OSStatus MusicPlayerStop(MusicPlayer player);
OSStatus MusicPlayerIsPlaying(MusicPlayer player, bool* outIsPlaying);
OSStatus MusicPlayerSetPlayRateScalar(MusicPlayer player, double scaleRate);
OSStatus MusicPlayerGetPlayRateScalar(MusicPlayer player, double* outScaleRate);
// Our own: sends every message due up to the host time, as the player's thread does; for a
// player made without a thread, the only way it plays.
OSStatus MusicPlayerRenderUntil(MusicPlayer player, MIDITimeStamp hostTime);
