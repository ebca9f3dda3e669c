// Byte stream to MIDI 1.0 UMP words.
#include "platform/midi/UMPTranslator.h"

#include "platform/midi/MIDIByteReader.h"

#include <algorithm>

namespace platform::midi {

namespace {

bool isRealTime(std::uint8_t byte) {
    return MIDIByteReader::isRealTime(byte);
}

// Data bytes that follow a status byte, for the statuses collected here.
std::uint8_t dataLength(std::uint8_t status) {
    const std::size_t length = MIDIByteReader::messageLength(status);
    return static_cast<std::uint8_t>(length > 0 ? length - 1 : 0);
}

} // namespace

std::uint32_t UMPTranslator::channelVoiceWord(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return 0x20000000u | (std::uint32_t{status} << 16) | (std::uint32_t{data1} << 8) | data2;
}

std::uint32_t UMPTranslator::systemWord(std::uint8_t status, std::uint8_t data1, std::uint8_t data2) {
    return 0x10000000u | (std::uint32_t{status} << 16) | (std::uint32_t{data1} << 8) | data2;
}

void UMPTranslator::appendSysEx7(SysEx7Status status, std::span<const std::uint8_t> bytes,
                                 std::vector<std::uint32_t>& out) {
    std::uint8_t b[6] = {0, 0, 0, 0, 0, 0};
    const std::size_t n = std::min<std::size_t>(bytes.size(), 6);
    std::copy_n(bytes.begin(), n, b);
    const std::uint32_t head = (std::uint32_t{status} << 4) | static_cast<std::uint32_t>(n);
    out.push_back(0x30000000u | (head << 16) | (std::uint32_t{b[0]} << 8) | b[1]);
    out.push_back((std::uint32_t{b[2]} << 24) | (std::uint32_t{b[3]} << 16) | (std::uint32_t{b[4]} << 8) |
                  b[5]);
}

void UMPTranslator::reset() {
    *this = UMPTranslator{};
}

void UMPTranslator::translate(std::span<const std::uint8_t> chunk, std::vector<std::uint32_t>& out,
                              Chunk kind) {
    bool chunkStart = kind == Chunk::message;
    for (const std::uint8_t byte : chunk) {
        handleByte(byte, chunkStart, out);
        // Real-time bytes pass through without settling how the chunk begins.
        if (!isRealTime(byte)) chunkStart = false;
    }
    // Hand on what an open SysEx collected so far instead of holding it for the next chunk.
    if (inSysEx_ && sysExCount_ > 0) flushSysEx(false, out);
}

void UMPTranslator::handleByte(std::uint8_t byte, bool chunkStart, std::vector<std::uint32_t>& out) {
    if (inSysEx_) {
        const bool endsByStatus = chunkStart && byte >= 0x80 && byte != 0xF7 && !isRealTime(byte);
        if (!endsByStatus) {
            if (chunkStart && isRealTime(byte)) {
                if (!MIDIByteReader::isUndefinedRealTime(byte)) out.push_back(systemWord(byte, 0, 0));
                return;
            }
            sysExByte(byte, out);
            return;
        }
        closeSysEx(out);
    }
    if (isRealTime(byte)) {
        if (!MIDIByteReader::isUndefinedRealTime(byte)) out.push_back(systemWord(byte, 0, 0));
        return;
    }
    if (byte == 0xF0) {
        status_ = 0;
        runningStatus_ = 0;
        inSysEx_ = true;
        sysExStarted_ = false;
        sysExCount_ = 0;
        return;
    }
    if (byte == 0xF7) { // an end with no SysEx open
        status_ = 0;
        return;
    }
    if (byte >= 0x80) {
        status_ = byte;
        have_ = 0;
        need_ = dataLength(byte);
        runningStatus_ = byte < 0xF0 ? byte : 0;
    } else if (status_ != 0) {
        data_[have_++] = byte;
    } else if (runningStatus_ != 0) {
        status_ = runningStatus_;
        need_ = dataLength(status_);
        data_[0] = byte;
        have_ = 1;
    } else {
        return; // a data byte with no status to belong to
    }
    if (have_ < need_) return;
    const std::uint8_t d1 = need_ > 0 ? data_[0] : 0;
    const std::uint8_t d2 = need_ > 1 ? data_[1] : 0;
    out.push_back(status_ < 0xF0 ? channelVoiceWord(status_, d1, d2) : systemWord(status_, d1, d2));
    status_ = 0;
    have_ = 0;
}

void UMPTranslator::sysExByte(std::uint8_t byte, std::vector<std::uint32_t>& out) {
    if (byte == 0xF7) {
        closeSysEx(out);
        return;
    }
    // A full piece goes out only once the next byte shows it is not the last one.
    if (sysExCount_ == 6) flushSysEx(false, out);
    sysEx_[sysExCount_++] = byte;
}

void UMPTranslator::closeSysEx(std::vector<std::uint32_t>& out) {
    flushSysEx(true, out);
    inSysEx_ = false;
    sysExStarted_ = false;
}

void UMPTranslator::flushSysEx(bool last, std::vector<std::uint32_t>& out) {
    SysEx7Status status;
    if (last)
        status = sysExStarted_ ? end : complete;
    else
        status = sysExStarted_ ? continued : start;
    appendSysEx7(status, {sysEx_, sysExCount_}, out);
    sysExStarted_ = true;
    sysExCount_ = 0;
}

} // namespace platform::midi
