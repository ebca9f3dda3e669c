#include "platform/audio/AudioUnitCalls.h"

namespace platform {

OSStatus AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue value, std::uint32_t) {
    if (!unit) return kAudio_ParamError;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (element != 0) return kAudioUnitErr_InvalidElement;
    if (!unit->renderParameterValue(id)) return kAudioUnitErr_InvalidParameter;
    unit->setRenderParameterValue(id, value);
    return noErr;
}

OSStatus AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                               AudioUnitElement element, AudioUnitParameterValue* value) {
    if (!unit || !value) return kAudio_ParamError;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (element != 0) return kAudioUnitErr_InvalidElement;
    auto v = unit->renderParameterValue(id);
    if (!v) return kAudioUnitErr_InvalidParameter;
    *value = *v;
    return noErr;
}

OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, void* data, std::uint32_t* dataSize) {
    if (!unit) return kAudio_ParamError;
    return unit->getProperty(id, scope, element, data, dataSize);
}

OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                              AudioUnitElement element, const void* data, std::uint32_t dataSize) {
    if (!unit) return kAudio_ParamError;
    return unit->setProperty(id, scope, element, data, dataSize);
}

OSStatus AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement) {
    if (!unit) return kAudio_ParamError;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    unit->reset();
    return noErr;
}

} // namespace platform
