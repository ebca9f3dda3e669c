#include "emulator/InstrumentState.h"

namespace emulation {

InstrumentState::Record InstrumentState::factoryProgram(const InstrumentModel& model, std::uint8_t bank,
                                                        int program) {
    Record record(model.programSize);
    const unsigned mask = model.splitsBytes() ? 0xFF : 0x7F;
    for (std::size_t i = 0; i < record.size(); ++i)
        record[i] =
            static_cast<std::uint8_t>((bank * 37u + static_cast<unsigned>(program) * 11u + i * 3u) & mask);
    return record;
}

InstrumentState InstrumentState::factory(const InstrumentModel& model) {
    InstrumentState state;
    state.version = model.defaultVersion;
    for (int bank = 0; bank < model.bankCount; ++bank) {
        auto& records = state.banks[static_cast<std::uint8_t>(bank)];
        for (int program = 0; program < InstrumentModel::programsPerBank; ++program)
            records.push_back(factoryProgram(model, static_cast<std::uint8_t>(bank), program));
    }
    if (model.hasLayers) {
        for (int i = 0; i < InstrumentModel::layerCount; ++i) {
            Record layer(InstrumentModel::layerSize);
            for (std::size_t b = 0; b < layer.size(); ++b)
                layer[b] = static_cast<std::uint8_t>((i * 5 + b) & 0x7F);
            state.layers.push_back(std::move(layer));
        }
    }
    state.slots.assign(static_cast<std::size_t>(model.tuningSlots),
                       Slot{"empty", TuningTable::equalTempered()});
    state.slots[0] = {"Equal", TuningTable::equalTempered()};
    // Werckmeister III against equal temperament, raised so that every offset is positive.
    state.slots[1] = {"Werckmeister III", TuningTable::fromPitchClassCents({12.0, 2.2, 4.1, 6.1, 2.2, 10.0,
                                                                            0.2, 8.1, 4.1, 2.1, 8.1, 4.1})};
    state.slots[2] = {"Pythagor\xE9", TuningTable::fromPitchClassCents(
                                          {0.0, 13.7, 3.9, 17.6, 7.8, 2.0, 11.7, 2.0, 15.6, 5.9, 19.6, 9.8})};
    state.liveTuning = TuningTable::equalTempered();
    return state;
}

std::optional<std::vector<std::uint8_t>> InstrumentState::firmwareImage() const {
    if (firmwareBlocks.empty()) return std::nullopt;
    const int count = firmwareBlocks.back().count;
    if (count <= 0) return std::nullopt;
    std::vector<const FirmwareBlock*> latest(static_cast<std::size_t>(count), nullptr);
    for (const auto& block : firmwareBlocks)
        if (block.count == count && block.number >= 1 && block.number <= count)
            latest[static_cast<std::size_t>(block.number - 1)] = &block;
    std::vector<std::uint8_t> image;
    for (const auto* block : latest) {
        if (!block) return std::nullopt;
        image.insert(image.end(), block->data.begin(), block->data.end());
    }
    return image;
}

std::string InstrumentState::programNameText() const {
    std::string text;
    for (auto byte : programName) {
        if (byte == 0) break;
        text += static_cast<char>(byte);
    }
    return text;
}

} // namespace emulation
