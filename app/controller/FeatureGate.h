#pragma once
// Which firmware of which model has the tuning features (microtuning switch, tuning files, tuning
// slots), and which models take firmware from this application.
namespace malvo {

struct FeatureGate {
    // Version compared number by number: a Pellandor from 1.3.12, a Toskar from 1.2.1, a Velmor
    // after 1.0.0, an ORVANE always, any other code never.
    static bool tuningFeaturesAllowed(int deviceModel, int major, int minor, int patch);
    // Every model but the ORVANE.
    static bool firmwareUpdateAllowed(int deviceModel);
};

} // namespace malvo
