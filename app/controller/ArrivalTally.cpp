#include "app/controller/ArrivalTally.h"

#include <vector>

namespace malvo {

namespace {

struct KindName {
    std::string_view one;
    std::string_view many;
};

constexpr std::array<KindName, 8> kindNames{{{"note off", "note offs"},
                                             {"note on", "note ons"},
                                             {"key pressure", "key pressures"},
                                             {"control change", "control changes"},
                                             {"program change", "program changes"},
                                             {"channel pressure", "channel pressures"},
                                             {"pitch bend", "pitch bends"},
                                             {"other SysEx message", "other SysEx messages"}}};

} // namespace

void ArrivalTally::restart() {
    std::lock_guard lock(mutex_);
    counts_.fill(0);
}

void ArrivalTally::count(std::uint8_t status) {
    if (status < 0x80 || status > 0xF0) return;
    std::lock_guard lock(mutex_);
    ++counts_[(status >> 4) - 8];
}

std::string ArrivalTally::inPlaceOf(std::string_view missing) const {
    std::array<std::size_t, 8> counts;
    {
        std::lock_guard lock(mutex_);
        counts = counts_;
    }
    std::vector<std::string> parts;
    for (std::size_t i = 0; i < counts.size(); ++i)
        if (counts[i] > 0)
            parts.push_back(std::to_string(counts[i]) + " " +
                            std::string(counts[i] == 1 ? kindNames[i].one : kindNames[i].many));
    std::string out(missing);
    if (parts.empty()) return out + ", nor anything else";
    out += ", but ";
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return out + " did";
}

} // namespace malvo
