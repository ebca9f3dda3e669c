// Arbitrary outside bytes through every parser of tuning files and instrument replies: no crash,
// no hang, and whatever is accepted comes out well formed.
#include "app/protocol/InstrumentReply.h"
#include "app/protocol/ScalaScale.h"
#include "app/protocol/TuningDump.h"
#include "app/protocol/TuningImport.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkDump(const std::vector<std::uint8_t>& dump) {
    require(dump.size() == malvo::TuningDump::size);
    require(dump.front() == 0xF0 && dump[1] == 0x7E && dump.back() == 0xF7);
}

void fuzzScala(std::string_view text) {
    const auto scale = malvo::ScalaScale::make(text);
    if (!scale) return;
    require(scale->num >= 1 && scale->cents.size() == static_cast<std::size_t>(scale->num));
    for (double c : scale->cents)
        require(std::isfinite(c) && c >= 0);
    const auto keys = scale->mtsData();
    for (const auto& key : keys)
        require(key.cents < 16384);
    const auto dump = malvo::TuningDump::fromNoteData(keys, text.substr(0, 40)).bytes();
    checkDump(dump);
    // Key bytes are MIDI data; the name field carries Latin-1 as it is.
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i < malvo::TuningDump::size - 1; ++i) {
        if (i >= malvo::TuningDump::keysOffset && i < malvo::TuningDump::checksumOffset)
            require(dump[i] < 0x80);
        sum ^= dump[i];
    }
    require(sum == 0);
}

void fuzzReplies(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t model = 0; model <= 5; ++model) {
        const auto reply = malvo::InstrumentReply::decode(bytes, model);
        using Kind = malvo::InstrumentReply::Kind;
        if (reply.kind == Kind::tuningDump) checkDump(reply.data);
        if (reply.kind == Kind::programRecord)
            require(reply.data.size() == 98 || reply.data.size() == 256 || reply.data.size() == 512);
        if (reply.kind == Kind::layerRecord) require(reply.data.size() == 256);
        if (reply.kind == Kind::keyTuning) require(reply.key < 128 && reply.pitch >= 0 && reply.pitch < 258);
        if (reply.kind != Kind::ignored)
            require(reply.commandOffset < bytes.size() || reply.commandOffset == 0);
    }
    if (const auto dump = malvo::TuningDump::make(bytes)) checkDump(dump->bytes());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    fuzzScala(std::string_view(reinterpret_cast<const char*>(data), size));
    fuzzReplies(bytes);
    // Replies come framed as F0 ... F7 from the MIDI core; steer some inputs there.
    if (size >= 2) {
        std::vector<std::uint8_t> framed(bytes.begin(), bytes.end());
        framed.front() = 0xF0;
        framed.back() = 0xF7;
        fuzzReplies(framed);
    }
    if (const auto imported = malvo::TuningImport::fromContents("fuzz.scl", bytes))
        checkDump(imported->mts_file.bytes());
    return 0;
}
