#pragma once
// The three families of system messages. Nothing maps a MIDISystemCommand to one; callers that
// sort system messages name the family themselves.

namespace sonabel {

enum class MIDISystemCommandType { systemRealtime, systemCommon, systemExclusive };

} // namespace sonabel
