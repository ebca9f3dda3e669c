// Feeds arbitrary bytes to the Standard MIDI File reader as a whole file, and each input's tail to
// the track-event parser as a chunk body: lying chunk lengths, cut-short events, running status
// with no status, endless variable-length quantities. Besides the sanitizers' checks, it traps
// when the reader keeps bytes it was not given or drops bytes of a body it walked, and when the
// sequence loader's reader, run on the same bytes, read every track whole yet saw other messages.
#include "fuzz/FuzzSupport.h"
#include "fuzz/MIDIFileReaders.h"
#include "platform/core/LogSink.h"
#include "sonabel/midi/MIDIEvent.h"
#include "sonabel/midi/midifile/MIDIFile.h"
#include "sonabel/midi/midifile/MIDIFileTrackNoteMap.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

using namespace sonabel;

namespace {

using fuzzsupport::check;
using fuzzsupport::DiscardingLogSink;

// The events cover the body from its start without gaps, and each is a whole delta time plus at
// least one byte.
void checkEvents(const MIDIFileTrackChunk& chunk) {
    const auto body = chunk.data();
    std::size_t at = 0;
    std::int64_t ticks = 0;
    for (const auto& event : chunk.parseTrackEvents()) {
        check(event.timeOffset == ticks);
        ticks += event.deltaTime();
        check(at + event.data.size() <= body.size());
        check(
            std::equal(event.data.begin(), event.data.end(), body.begin() + static_cast<std::ptrdiff_t>(at)));
        at += event.data.size();
        check(event.eventData().size() >= 1);
        check(event.computedData().size() == event.eventData().size() + (event.runningStatus ? 1 : 0));
        if (const auto index = event.typeIndex()) check(*index < event.data.size());
        if (const auto message = MIDIEvent::make(event)) {
            check(message->data.size() <= event.computedData().size());
            check(message->positionInBeats.has_value());
        }
    }
}

void fuzzFile(std::span<const MIDIByte> bytes) {
    const MIDIFile file("fuzz.mid", bytes);
    std::size_t chunkBytes = 0;
    for (const auto& chunk : file.chunks) {
        const auto& base = MIDIFile::chunk(chunk);
        check(base.isValid());
        chunkBytes += base.rawData.size();
    }
    check(chunkBytes <= bytes.size());
    (void)file.format();
    (void)file.trackCount();
    (void)file.timeFormat();
    (void)file.ticksPerBeat();
    (void)file.framesPerSecond();
    (void)file.ticksPerFrame();

    for (const auto& chunk : file.trackChunks())
        checkEvents(chunk);
    for (const auto& track : file.tracks()) {
        const auto events = track.events();
        check(track.channelEvents().size() <= events.size());
        (void)track.metaEvents();
        (void)track.length();
        (void)track.name();
    }
    if (const auto tempo = file.tempoTrack()) {
        const float bpm = tempo->tempoBPM();
        check(bpm > 0 && bpm < 1e8f);
    }

    const int trackNumber = bytes.empty() ? 0 : static_cast<int>(bytes.back() % 4) - 1;
    const MIDIFileTrackNoteMap map(file, trackNumber);
    for (const auto& note : map.noteDurations())
        check(note->noteNumber >= 0 && note->noteNumber < 128 && note->noteEndTime >= note->noteStartTime);
    check(map.noteRange() >= 1);
    check(map.endOfTrackBeats() >= 0);
}

// The bytes as the body of a track chunk, so that every input reaches the event parser.
void fuzzTrackBody(std::span<const MIDIByte> bytes) {
    std::vector<MIDIByte> chunk{'M', 'T', 'r', 'k'};
    const auto size = static_cast<std::uint32_t>(bytes.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk.push_back(static_cast<MIDIByte>(size >> shift));
    chunk.insert(chunk.end(), bytes.begin(), bytes.end());
    // A trailing byte, so that even an empty body makes a chunk.
    chunk.push_back(0);
    const auto track = MIDIFileTrackChunk::make(chunk);
    check(track.has_value() && track->data().size() == bytes.size());
    checkEvents(*track);
    const MIDIFileTrack view{*track};
    // The in-place walk gives what the event list gives.
    std::vector<MIDIEvent> expected;
    for (const auto& event : track->parseTrackEvents())
        if (auto message = MIDIEvent::make(event)) expected.push_back(std::move(*message));
    const auto events = view.events();
    check(events.size() == expected.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        check(events[i].data == expected[i].data && events[i].positionInBeats == expected[i].positionInBeats);
    (void)view.name();
    (void)view.length();
    if (const auto tempo = MIDIFileTempoTrack::make(*track)) (void)tempo->tempoBPM();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::LogSink::setCurrent(std::make_shared<DiscardingLogSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that a read one past the input is caught.
    const std::unique_ptr<MIDIByte[]> copy(new MIDIByte[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    const std::span<const MIDIByte> bytes(copy.get(), size);

    fuzzFile(bytes);
    fuzzTrackBody(bytes);
    fuzzsupport::readWithBothReaders(bytes);
    return 0;
}
