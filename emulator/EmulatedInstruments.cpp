#include "emulator/EmulatedInstruments.h"

#include "platform/core/LogSink.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace emulation {

namespace {

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::optional<FirmwareVersion> parseVersion(std::string_view text) {
    std::uint8_t parts[3] = {};
    for (int i = 0; i < 3; ++i) {
        const auto dot = i < 2 ? text.find('.') : std::string_view::npos;
        const auto number = text.substr(0, dot);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (number.empty() || error != std::errc() || end != number.data() + number.size() || value > 0x7F)
            return std::nullopt;
        parts[i] = static_cast<std::uint8_t>(value);
        if (i < 2) {
            if (dot == std::string_view::npos) return std::nullopt;
            text.remove_prefix(dot + 1);
        }
    }
    return FirmwareVersion{parts[0], parts[1], parts[2]};
}

std::optional<std::uint8_t> parseKeyOption(std::string_view option) {
    constexpr std::string_view prefix = "key=";
    if (!option.starts_with(prefix)) return std::nullopt;
    option.remove_prefix(prefix.size());
    unsigned key = 0;
    const auto [end, error] = std::from_chars(option.data(), option.data() + option.size(), key);
    if (option.empty() || error != std::errc() || end != option.data() + option.size() || key > 0x7F)
        return std::nullopt;
    return static_cast<std::uint8_t>(key);
}

void logSkipped(std::string_view item) {
    platform::LogSink::emit({"Sonabel", "midi", platform::LogLevel::error,
                             "No instrument to emulate for \"" + std::string(item) + "\""});
}

} // namespace

std::vector<std::shared_ptr<InstrumentEmulator>>
attachEmulatedInstruments(platform::midi::InProcessServer& server, const std::string& names) {
    std::vector<std::shared_ptr<InstrumentEmulator>> emulators;
    std::string_view rest(names);
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const auto item = trimmed(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 1);
        if (item.empty()) continue;
        InstrumentEmulatorConfig config;
        const auto plus = item.find('+');
        if (plus != std::string_view::npos) {
            config.keyAfterVersion = parseKeyOption(trimmed(item.substr(plus + 1)));
            if (!config.keyAfterVersion) {
                logSkipped(item);
                continue;
            }
        }
        const auto named = item.substr(0, plus);
        const auto at = named.find('@');
        config.portName = std::string(trimmed(named.substr(0, at)));
        if (at != std::string_view::npos) {
            config.version = parseVersion(trimmed(named.substr(at + 1)));
            if (!config.version) {
                logSkipped(item);
                continue;
            }
        }
        if (auto emulator = InstrumentEmulator::make(server, std::move(config)))
            emulators.push_back(std::move(emulator));
        else
            logSkipped(item);
    }
    return emulators;
}

} // namespace emulation
