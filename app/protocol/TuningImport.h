#pragma once
// A tuning file chosen to be sent: a scala file (extension exactly "scl") converted to a bulk
// tuning dump, or a ".syx" dump taken as it is.
#include "app/protocol/ScalaScale.h"
#include "app/protocol/TuningDump.h"
#include "app/protocol/mts_note_data.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace malvo {

inline constexpr std::string_view fileNotValidMessage = "File is not valid!";

struct TuningImport {
    // The file's name without its extension: the program name shown, and the dump's name.
    std::string name;
    // Set for scala files only.
    std::optional<ScalaScale> scale;
    std::array<mts_note_data, 128> mts_data{};
    TuningDump mts_file;

    // Larger scala files are refused rather than read.
    static constexpr std::size_t maxScalaFileSize = 16 * 1024 * 1024;

    static bool isScalaFile(const std::filesystem::path& path) { return path.extension() == ".scl"; }
    static std::string nameOf(const std::filesystem::path& path) { return path.stem().string(); }

    // nullopt: fileNotValidMessage.
    static std::optional<TuningImport> fromContents(const std::filesystem::path& path,
                                                    std::span<const std::uint8_t> contents);
    static std::optional<TuningImport> fromFile(const std::filesystem::path& path);
};

} // namespace malvo
