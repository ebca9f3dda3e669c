#pragma once
// A scale read from a scala tuning file, and how it is laid over the 128 keys: key 60 and every
// key a whole number of periods (num keys) away sound at their own equal-tempered pitch, the
// degrees are laid out above each of them.
#include "app/protocol/mts_note_data.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace malvo {

struct ScalaScale {
    std::string description;
    // Degree count; the last degree is the period.
    std::int64_t num = 0;
    // Degrees in cents, in file order, all finite and not negative.
    std::vector<double> cents;

    bool operator==(const ScalaScale&) const = default;

    // Reads the file's text (UTF-8, or UTF-16 with a byte-order mark). Comments start with "!";
    // a degree is cents (with "."), a ratio n/d, or a whole number n meaning n/1. A file is taken
    // when either reading gives a valid scale: with every empty line dropped, or with the first
    // non-comment line as the description even when it is empty. nullopt: "File is not valid!".
    static std::optional<ScalaScale> make(std::string_view fileText);

    // The tuning of every key, index = key number.
    std::array<mts_note_data, 128> mtsData() const;
};

} // namespace malvo
