#pragma once
// What every MIDI message value answers: its bytes and a text for people. Records keep their bytes
// in a `data` field, the one-byte kinds (status, system command) compute them with `data()`;
// `messageData` reads either.
#include "sonabel/midi/MIDIByte.h"

#include <concepts>
#include <string>
#include <vector>

namespace sonabel {

template <class T> std::vector<MIDIByte> messageData(const T& message) {
    if constexpr (requires {
                      { message.data() } -> std::convertible_to<std::vector<MIDIByte>>;
                  }) {
        return message.data();
    } else {
        return message.data;
    }
}

template <class T>
concept MIDIMessage = requires(const T& message) {
    { messageData(message) } -> std::same_as<std::vector<MIDIByte>>;
    { message.description() } -> std::convertible_to<std::string>;
};

} // namespace sonabel
