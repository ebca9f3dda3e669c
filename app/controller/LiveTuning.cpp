#include "app/controller/LiveTuning.h"

#include "app/protocol/NoteTuning.h"

#include <string>

namespace malvo {

std::optional<std::uint8_t> LiveTuning::currentKey() const {
    const std::uint8_t key = services_.state.currentNote;
    if (key > 127) return std::nullopt;
    return key;
}

bool LiveTuning::sendNoteTuning(std::uint8_t key, double pitch) const {
    if (!services_.requireDevice()) return true;
    const auto message = singleNoteTuningMessage(services_.model(), key, pitch);
    return !message || services_.sent(services_.sendSysEx(*message),
                                     "The tuning of note " + std::to_string(key) + " was not sent");
}

std::optional<double> LiveTuning::step(const TuningStep& step, double shown) const {
    const auto key = currentKey();
    if (!key || !sendNoteTuning(*key, step.pitchSent(shown))) return std::nullopt;
    return step.pitchShown(shown);
}

std::optional<double> LiveTuning::resetKey() const {
    const auto key = currentKey();
    if (!key || !sendNoteTuning(*key, double(*key))) return std::nullopt;
    return double(*key);
}

std::optional<double> LiveTuning::resetAllKeys() const {
    if (!services_.requireDevice()) return std::nullopt;
    const auto key = currentKey();
    for (int k = 0; k < 128; ++k) {
        if (!sendNoteTuning(std::uint8_t(k), double(k))) return std::nullopt;
        // The instrument takes one change at a time.
        services_.sleeper.sleepFor(resetAllInterval);
    }
    if (!key) return std::nullopt;
    return double(*key);
}

} // namespace malvo
