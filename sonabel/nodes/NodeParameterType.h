#pragma once
#include "platform/audio/AUParameter.h"

namespace sonabel {

// The value types a Parameter can expose, with their conversions to and from AUValue.
template <class T> struct NodeParameterType;

template <> struct NodeParameterType<float> {
    static platform::AUValue toAUValue(float value) { return value; }
    static float fromAUValue(platform::AUValue value) { return value; }
};

template <> struct NodeParameterType<bool> {
    static platform::AUValue toAUValue(bool value) { return value ? 1.0f : 0.0f; }
    static bool fromAUValue(platform::AUValue value) { return value > 0.5f; }
};

} // namespace sonabel
