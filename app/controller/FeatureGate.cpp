#include "app/controller/FeatureGate.h"

#include "app/protocol/InstrumentModel.h"

#include <tuple>

namespace malvo {

bool FeatureGate::tuningFeaturesAllowed(int deviceModel, int major, int minor, int patch) {
    const auto version = std::tuple(major, minor, patch);
    switch (deviceModel) {
    case int(InstrumentModel::Pellandor):
        return version >= std::tuple(1, 3, 12);
    case int(InstrumentModel::Toskar):
        return version >= std::tuple(1, 2, 1);
    case int(InstrumentModel::Velmor):
        return version > std::tuple(1, 0, 0);
    case int(InstrumentModel::ORVANE):
        return true;
    default:
        return false;
    }
}

bool FeatureGate::firmwareUpdateAllowed(int deviceModel) {
    return deviceModel != int(InstrumentModel::ORVANE);
}

} // namespace malvo
