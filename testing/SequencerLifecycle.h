#pragma once
// Reads bytes as a script of what happens around the sequencer server over FakeSequencer, and
// checks a reference model of what every receiver may get. Other clients and their ports appear
// and leave (addresses come back), become listed or unlisted, subscribe and are unsubscribed by the
// kernel; they send events of every kind, SysEx cut anywhere, from several senders at once, to our
// input ports and our virtual destination; the input overruns. Our output ports and our source send
// to devices, programs and subscribers that refuse subscriptions, fill their pools or freeze.
//
// The model: a receiver gets each sender's whole messages in that sender's order, the kernel's
// framing applied (a SysEx event that begins with F0 starts a SysEx, other events but real-time
// ones end it; what a program's SysEx event holds after its F7 is read as messages, real-time
// bytes anywhere among them); a whole SysEx may be missing only where a log line names its sender.
// Nothing is joined across senders or across a disconnect, nothing is invented. A send reported
// done reached every receiver it was for, as the wire reads it; a refusal reaches the caller.
//
// Deterministic: the same bytes give the same run (the polling thread's work is waited for after
// every step, deliveries run on the caller's thread).
#include <cstdint>
#include <span>
#include <string>

namespace alsatest {

// Empty when the model held for the whole script; otherwise what broke, at which step. A trace, if
// asked for, gets a line for each step.
std::string runSequencerLifecycle(std::span<const std::uint8_t> script, std::string* trace = nullptr);

} // namespace alsatest
