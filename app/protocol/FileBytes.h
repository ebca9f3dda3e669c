#pragma once
// Whole-file reads and writes for tuning dumps and bank files. A write never leaves a partial
// file where the user's file was: it goes to a temporary file beside it, renamed into place.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

namespace malvo {

// At most maxBytes from the start of the file; nullopt when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::filesystem::path& path,
                                                       std::size_t maxBytes);

// True once the bytes are the file's whole content; on failure any file at the path is as it was,
// and `error`, when given, tells why.
bool writeFileReplacing(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        std::error_code* error = nullptr);

} // namespace malvo
