#pragma once
// The audio engine's lifecycle, driven from bytes: each input decodes into a sequence of operations
// on an engine over the fake device (graph changes, starts and stops, device changes, players,
// recorders, MIDI, device cycles, captured input, a held tap thread), and a small reference model is
// checked after every step. The fuzz target and the test that replays its inputs share it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace lifecycle {

// Runs the operations the bytes decode to, then ends everything they started. Returns the first
// broken rule, with the step it broke at; nothing when every rule held.
std::optional<std::string> runEngineLifecycle(const std::uint8_t* data, std::size_t size);

} // namespace lifecycle
