#pragma once
#include <cstdint>

// Status codes keep the platform's published values so that status naming stays meaningful.
using OSStatus = std::int32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudio_ParamError = -50;
inline constexpr OSStatus kAudio_UnimplementedError = -4;
inline constexpr OSStatus kAudio_FileNotFoundError = -43;
inline constexpr OSStatus kAudio_MemFullError = -108;

inline constexpr OSStatus kMIDIInvalidClient = -10830;
inline constexpr OSStatus kMIDIInvalidPort = -10831;
inline constexpr OSStatus kMIDIWrongEndpointType = -10832;
inline constexpr OSStatus kMIDINoConnection = -10833;
inline constexpr OSStatus kMIDIUnknownEndpoint = -10834;
inline constexpr OSStatus kMIDIUnknownProperty = -10835;
inline constexpr OSStatus kMIDIWrongPropertyType = -10836;
inline constexpr OSStatus kMIDINoCurrentSetup = -10837;
inline constexpr OSStatus kMIDIMessageSendErr = -10838;
inline constexpr OSStatus kMIDIServerStartErr = -10839;
inline constexpr OSStatus kMIDISetupFormatErr = -10840;
inline constexpr OSStatus kMIDIWrongThread = -10841;
inline constexpr OSStatus kMIDIObjectNotFound = -10842;
inline constexpr OSStatus kMIDIIDNotUnique = -10843;
inline constexpr OSStatus kMIDINotPermitted = -10844;

inline constexpr OSStatus kAudioToolboxErr_InvalidSequenceType = -10846;
inline constexpr OSStatus kAudioUnitErr_Unauthorized = -10847;
inline constexpr OSStatus kAudioUnitErr_InvalidOfflineRender = -10848;
inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;
inline constexpr OSStatus kAudioUnitErr_PropertyNotInUse = -10850;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioToolboxErr_InvalidPlayerState = -10852;
inline constexpr OSStatus kAudioToolboxErr_InvalidEventType = -10853;
inline constexpr OSStatus kAudioToolboxErr_NoSequence = -10854;
inline constexpr OSStatus kAudioToolboxErr_IllegalTrackDestination = -10855;
inline constexpr OSStatus kAudioToolboxErr_StartOfTrack = -10856;
inline constexpr OSStatus kAudioToolboxErr_EndOfTrack = -10857;
inline constexpr OSStatus kAudioToolboxErr_TrackNotFound = -10858;
inline constexpr OSStatus kAudioToolboxErr_TrackIndexError = -10859;
inline constexpr OSStatus kAUGraphErr_NodeNotFound = -10860;
inline constexpr OSStatus kAUGraphErr_InvalidConnection = -10861;
inline constexpr OSStatus kAUGraphErr_OutputNodeErr = -10862;
inline constexpr OSStatus kAUGraphErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAUGraphErr_InvalidAudioUnit = -10864;
inline constexpr OSStatus kAudioUnitErr_PropertyNotWritable = -10865;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_InvalidFile = -10871;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
