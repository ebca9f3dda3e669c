#include "sonabel/internals/error_handling/CheckError.h"

#include "sonabel/internals/error_handling/Log.h"

#include <array>
#include <utility>

namespace sonabel {

namespace {
constexpr std::array<std::pair<OSStatus, std::string_view>, 46> kNames{{
    {-50, "kAudio_ParamError"},
    {-10830, "kMIDIInvalidClient"},
    {-10831, "kMIDIInvalidPort"},
    {-10832, "kMIDIWrongEndpointType"},
    {-10833, "kMIDINoConnection"},
    {-10834, "kMIDIUnknownEndpoint"},
    {-10835, "kMIDIUnknownProperty"},
    {-10836, "kMIDIWrongPropertyType"},
    {-10837, "kMIDINoCurrentSetup"},
    {-10838, "kMIDIMessageSendErr"},
    {-10839, "kMIDIServerStartErr"},
    {-10840, "kMIDISetupFormatErr"},
    {-10841, "kMIDIWrongThread"},
    {-10842, "kMIDIObjectNotFound"},
    {-10843, "kMIDIIDNotUnique"},
    {-10844, "kMIDINotPermitted: Have you enabled the audio background mode in your ios app?"},
    {-10846, "kAudioToolboxErr_InvalidSequenceType"},
    {-10847, "kAudioUnitErr_Unauthorized"},
    {-10848, "kAudioUnitErr_InvalidOfflineRender"},
    {-10849, "kAudioUnitErr_Initialized"},
    {-10850, "kAudioUnitErr_PropertyNotInUse"},
    {-10851, "kAudioUnitErr_InvalidPropertyValue"},
    {-10852, "kAudioToolboxErr_InvalidPlayerState"},
    {-10853, "kAudioToolboxErr_InvalidEventType"},
    {-10854, "kAudioToolboxErr_NoSequence"},
    {-10855, "kAudioToolboxErr_IllegalTrackDestination"},
    {-10856, "kAudioToolboxErr_StartOfTrack"},
    {-10857, "kAudioToolboxErr_EndOfTrack"},
    {-10858, "kAudioToolboxErr_TrackNotFound"},
    {-10859, "kAudioToolboxErr_TrackIndexError"},
    {-10860, "kAUGraphErr_NodeNotFound"},
    {-10861, "kAUGraphErr_InvalidConnection"},
    {-10862, "kAUGraphErr_OutputNodeErr"},
    {-10863, "kAUGraphErr_CannotDoInCurrentContext"},
    {-10864, "kAUGraphErr_InvalidAudioUnit"},
    {-10865, "kAudioUnitErr_PropertyNotWritable"},
    {-10866, "kAudioUnitErr_InvalidScope"},
    {-10867, "kAudioUnitErr_Uninitialized"},
    {-10868, "kAudioUnitErr_FormatNotSupported"},
    {-10871, "kAudioUnitErr_InvalidFile"},
    {-10874, "kAudioUnitErr_TooManyFramesToProcess"},
    {-10875, "kAudioUnitErr_FailedInitialization"},
    {-10876, "kAudioUnitErr_NoConnection"},
    {-10877, "kAudioUnitErr_InvalidElement"},
    {-10878, "kAudioUnitErr_InvalidParameter"},
    {-10879, "kAudioUnitErr_InvalidProperty"},
}};
} // namespace

std::optional<std::string_view> statusName(OSStatus status) {
    for (const auto& [code, name] : kNames)
        if (code == status) return name;
    return std::nullopt;
}

void CheckError(OSStatus status) {
    if (status == noErr) return;
    if (auto name = statusName(status)) {
        const bool midi = status <= -10830 && status >= -10844;
        Log({"CheckError(_:)", midi ? OSLog::midi : OSLog::general, OSLogType::error}, *name);
    } else {
        Log({"CheckError(_:)", OSLog::general, OSLogType::error}, status);
    }
}

} // namespace sonabel
