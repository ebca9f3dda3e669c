#include "sonabel/midi/UMPMessageType.h"

namespace sonabel {

std::size_t UMPMessageType::wordCount() const {
    switch (case_) {
    case Utility32bit:
    case SystemRealTimeAndCommon32bit:
    case MIDI1ChannelVoice32bit:
    case Reserved32bit_1:
    case Reserved32bit_2:
        return 1;
    case DataAndSysEx64bit:
    case MIDI2ChannelVoice64bit:
    case Reserved64bit_3:
    case Reserved64bit_4:
    case Reserved64bit_5:
        return 2;
    case Reserved96bit_6:
    case Reserved96bit_7:
        return 3;
    case Data128bit:
    case Reserved128bit_8:
    case Reserved128bit_9:
    case Reserved128bit_10:
        return 4;
    }
    return 1;
}

std::string UMPMessageType::caseName() const {
    switch (case_) {
    case Utility32bit:
        return "Utility32bit";
    case SystemRealTimeAndCommon32bit:
        return "SystemRealTimeAndCommon32bit";
    case MIDI1ChannelVoice32bit:
        return "MIDI1ChannelVoice32bit";
    case DataAndSysEx64bit:
        return "DataAndSysEx64bit";
    case MIDI2ChannelVoice64bit:
        return "MIDI2ChannelVoice64bit";
    case Data128bit:
        return "Data128bit";
    case Reserved32bit_1:
        return "Reserved32bit_1";
    case Reserved32bit_2:
        return "Reserved32bit_2";
    case Reserved64bit_3:
        return "Reserved64bit_3";
    case Reserved64bit_4:
        return "Reserved64bit_4";
    case Reserved64bit_5:
        return "Reserved64bit_5";
    case Reserved96bit_6:
        return "Reserved96bit_6";
    case Reserved96bit_7:
        return "Reserved96bit_7";
    case Reserved128bit_8:
        return "Reserved128bit_8";
    case Reserved128bit_9:
        return "Reserved128bit_9";
    case Reserved128bit_10:
        return "Reserved128bit_10";
    }
    return {};
}

} // namespace sonabel
