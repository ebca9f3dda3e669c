#pragma once
// Reads bytes as a script of what happens around the sequencer server over FakeSequencer, and
// checks a reference model of what every receiver may get. Other clients and their ports appear
// and leave (addresses come back), become listed or unlisted, subscribe and are unsubscribed by the
// kernel or by other programs; they send events of every kind, SysEx cut anywhere, from several
// senders at once, to our input ports and our virtual destination; the input overruns, losing the
// kernel's announcements. Our output ports (one of them the MIDI object's) and our source send, in
// packets stamped now or earlier, to devices, programs and subscribers that refuse subscriptions,
// fill their pools or freeze; a send is held mid-way while a port leaves or takes the old address,
// our next port is made anew, another send starts or the server stops. The in-process server gets
// the same sends.
//
// The model: a receiver gets each sender's messages as the wire reads them, in that sender's order:
// none lost, doubled or invented, real-time bytes where they stood; the kernel's framing applied
// on input (a SysEx event that begins with F0 starts a SysEx, other events but real-time ones end
// it); our output's running status within one send only. A whole SysEx may be missing only where a
// log line names its sender's port, and every SysEx cut short is told. A send reported done reached
// every receiver it was for; a failed one failed toward a receiver that refused, left or took
// nothing, and says which; no send waits past each receiver's deadline once (on the test's clock).
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
