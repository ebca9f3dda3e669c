#include "app/controller/LiveTuning.h"

#include "app/protocol/NoteTuning.h"

namespace malvo {

std::optional<std::uint8_t> LiveTuning::currentKey() const {
    const std::uint8_t key = services_.state.currentNote;
    if (key > 127) return std::nullopt;
    return key;
}

void LiveTuning::sendNoteTuning(std::uint8_t key, double pitch) const {
    if (!services_.requireDevice()) return;
    if (const auto message = singleNoteTuningMessage(services_.model(), key, pitch))
        services_.sendSysEx(*message);
}

std::optional<double> LiveTuning::step(const TuningStep& step, double shown) const {
    const auto key = currentKey();
    if (!key) return std::nullopt;
    sendNoteTuning(*key, step.pitchSent(shown));
    return step.pitchShown(shown);
}

std::optional<double> LiveTuning::resetKey() const {
    const auto key = currentKey();
    if (!key) return std::nullopt;
    sendNoteTuning(*key, double(*key));
    return double(*key);
}

std::optional<double> LiveTuning::resetAllKeys() const {
    if (!services_.requireDevice()) return std::nullopt;
    const auto key = currentKey();
    for (int k = 0; k < 128; ++k) {
        sendNoteTuning(std::uint8_t(k), double(k));
        // The instrument takes one change at a time.
        services_.sleeper.sleepFor(resetAllInterval);
    }
    if (!key) return std::nullopt;
    return double(*key);
}

} // namespace malvo
