// Arbitrary bytes through the sequence's MIDI-file loader; whatever loads must write and load again.
// The framework's MIDI file reader reads the same bytes, and where the loader read every track
// whole, both must have seen the same messages.
#include "fuzz/FuzzSupport.h"
#include "fuzz/MIDIFileReaders.h"
#include "platform/core/LogSink.h"
#include "platform/sequence/MusicSequenceServices.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::LogSink::setCurrent(std::make_shared<fuzzsupport::DiscardingLogSink>());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    fuzzsupport::readWithBothReaders(bytes);
    MusicSequence sequence{};
    if (NewMusicSequence(&sequence) != noErr) return 0;
    if (MusicSequenceFileLoadData(sequence, bytes, kMusicSequenceFile_MIDIType, 0) == noErr) {
        std::vector<std::uint8_t> written;
        if (MusicSequenceFileCreateData(sequence, kMusicSequenceFile_MIDIType,
                                        kMusicSequenceFileFlags_EraseFile, 480, &written) != noErr)
            std::abort();
        MusicSequence again{};
        NewMusicSequence(&again);
        if (MusicSequenceFileLoadData(again, written, kMusicSequenceFile_MIDIType, 0) != noErr) std::abort();
        std::uint32_t first = 0, second = 0;
        MusicSequenceGetTrackCount(sequence, &first);
        MusicSequenceGetTrackCount(again, &second);
        if (first != second) std::abort();
        DisposeMusicSequence(again);
    }
    DisposeMusicSequence(sequence);
    return 0;
}
