// Reading the kernel's raw MIDI output room.
#include "platform/midi/alsa/AlsaOutputRoom.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>

namespace platform::midi {

namespace {

std::optional<std::string> readFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (n < 0) return std::nullopt;
    return text;
}

// The number after "name:" on a line that starts (after spaces) with name.
std::optional<std::size_t> field(std::string_view line, std::string_view name) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos || line.substr(start, name.size()) != name) return std::nullopt;
    const auto colon = line.find(':', start + name.size());
    if (colon == std::string_view::npos) return std::nullopt;
    const auto digits = line.find_first_not_of(' ', colon + 1);
    if (digits == std::string_view::npos) return std::nullopt;
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(line.data() + digits, line.data() + line.size(), value);
    if (error != std::errc{}) return std::nullopt;
    return value;
}

} // namespace

AlsaOutputRoom::AlsaOutputRoom(FileReader reader)
    : reader_(reader ? std::move(reader) : FileReader(readFile)) {}

std::string AlsaOutputRoom::path(const AlsaSequencer::RawMidi& rawMidi) {
    return "/proc/asound/card" + std::to_string(rawMidi.card) + "/midi" + std::to_string(rawMidi.device);
}

std::optional<AlsaOutputRoom::Figure> AlsaOutputRoom::read(const AlsaSequencer::RawMidi& rawMidi) const {
    const auto text = reader_(path(rawMidi));
    if (!text) return std::nullopt;
    return parse(*text, rawMidi.subdevice);
}

std::optional<AlsaOutputRoom::Figure> AlsaOutputRoom::parse(std::string_view text, int subdevice) {
    const std::string section = "Output " + std::to_string(subdevice);
    bool inSection = false;
    std::optional<std::size_t> size, avail;
    while (!text.empty()) {
        const auto newline = text.find('\n');
        const std::string_view line = text.substr(0, newline);
        text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
        // A universal-packet device's streams are not what a MIDI 1.0 port writes to.
        if (line.starts_with("Type:") && line.find("UMP") != std::string_view::npos) return std::nullopt;
        if (!line.empty() && line.front() != ' ') {
            if (inSection) break;
            inSection = line == section;
            continue;
        }
        if (!inSection) continue;
        if (auto v = field(line, "Buffer size")) size = v;
        if (auto v = field(line, "Avail")) avail = v;
    }
    // Only an open substream shows its buffer.
    if (!size || !avail || *size == 0 || *avail > *size) return std::nullopt;
    return Figure{*size, *avail};
}

} // namespace platform::midi
