#pragma once
// How the application ends once its window has closed, in an order that cannot hang: a running
// upload stops before its next send and is waited for, the MIDI server stops delivering (its
// thread runs on the shared background jobs), then every background job is joined.
#include "platform/core/BackgroundJobs.h"
#include "platform/midi/Server.h"

namespace malvo {

class ViewController;

void shutDownApplication(ViewController& controller, platform::midi::Server* server,
                         platform::BackgroundJobs& jobs = platform::BackgroundJobs::shared());

} // namespace malvo
