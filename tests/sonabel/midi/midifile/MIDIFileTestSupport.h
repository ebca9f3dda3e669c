#pragma once
// Builders of Standard MIDI File bytes, and files written to a scratch directory.
#include "sonabel/midi/MIDIByte.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <unistd.h>
#include <vector>

namespace midifiletest {

using Bytes = std::vector<sonabel::MIDIByte>;

inline Bytes chunk(const std::string& type, const Bytes& body) {
    Bytes bytes(type.begin(), type.end());
    const auto size = static_cast<std::uint32_t>(body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.push_back(static_cast<sonabel::MIDIByte>(size >> shift));
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

inline Bytes header(int format, int trackCount, std::uint16_t division) {
    return chunk("MThd",
                 {static_cast<sonabel::MIDIByte>(format >> 8), static_cast<sonabel::MIDIByte>(format),
                  static_cast<sonabel::MIDIByte>(trackCount >> 8), static_cast<sonabel::MIDIByte>(trackCount),
                  static_cast<sonabel::MIDIByte>(division >> 8), static_cast<sonabel::MIDIByte>(division)});
}

inline Bytes track(const Bytes& body) {
    return chunk("MTrk", body);
}

inline Bytes join(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const auto& part : parts)
        bytes.insert(bytes.end(), part.begin(), part.end());
    return bytes;
}

// End of Track after the given delta.
inline Bytes endOfTrack(sonabel::MIDIByte delta = 0) {
    return {delta, 0xFF, 0x2F, 0x00};
}

// A directory of its own per test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = std::filesystem::temp_directory_path() /
                ("sonabel-midifile-" + std::to_string(::getpid()) + "-" + info->name());
        std::filesystem::create_directories(path_);
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

    std::filesystem::path write(const std::string& name, const Bytes& bytes) const {
        const auto file = path_ / name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    std::filesystem::path path_;
};

} // namespace midifiletest
