// The sequencer server's lifecycle fuzzer, run briefly: the scripts it once failed on, then a few
// thousand from a fixed seed.
#include "testing/SequencerLifecycle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

struct Finding {
    const char* name;
    const char* what;
    std::vector<std::uint8_t> script;
};

// Each the smallest script found for a fault, annotated step by step.
const Finding kFindings[] = {
    {"AnUnlistedSendersSysExEndsWithItsProgram",
     "an unlisted sender's unfinished SysEx is completed by the next program at its address",
     {0x00, 0x02, 0x01, 0x02,                     // program 130 starts, its port 0 unlisted as a sender
      0x06, 0x02, 0x0A, 0x05, 0x03,               // it sends F0 7D 00 00 to our destination
      0x03, 0x02,                                 // it leaves
      0x00, 0x02, 0x01, 0x02,                     // another program starts at 130:0
      0x06, 0x02, 0x04, 0x82, 0x55, 0x66, 0x77}}, // and sends 55 66 77 F7
    {"ASenderListedInTheMiddleOfASysExKeepsIt",
     "a sender that becomes listed in the middle of a SysEx loses it without a line",
     {0x00, 0x03, 0x01, 0x02,         // program 131 starts, unlisted as a sender
      0x06, 0x03, 0x0A, 0x05, 0x03,   // it sends F0 7D 00 00 to our destination
      0x04, 0x03, 0x00,               // its port becomes readable: listed
      0x06, 0x03, 0x0A, 0x00, 0x3F}}, // it sends the rest of the SysEx
    {"ASenderNoLongerListedInTheMiddleOfASysExKeepsIt",
     "a sender that stops being listed in the middle of a SysEx loses it without a line",
     {0x00, 0x03, 0x01, 0x00,         // program 131 starts, listed as a sender
      0x06, 0x03, 0x0A, 0x05, 0x03,   // it sends F0 7D 00 00 to our destination
      0x04, 0x03, 0x02,               // its port becomes write-only: no longer listed
      0x06, 0x03, 0x0A, 0x00, 0x3F}}, // it sends the rest of the SysEx
    {"ANoteWithARealTimeByteInsideArrivesWhole",
     "a note with a real-time byte inside, after an F7 in a program's event, is dropped",
     {0x00, 0x02, 0x01, 0x02,                     // program 130 starts
      0x06, 0x02, 0x06, 0x01, 0x00, 0x0D, 0x2F}}, // F0 7D 00 00 F7 90 FA 00 00 in one event
    {"APortsExitLeavesTheOtherPortsSysEx",
     "a port's exit ends the output state toward its client's other ports",
     {0x00, 0x02, 0x03, 0x28, 0x28, // program 130 starts with two ports
      0x0F, 0x00, 0x01, 0x02, 0x14, // our port sends F0 and two bytes to 130:1
      0x02, 0x02,                   // port 130:0 leaves
      0x0F, 0x00, 0x00, 0x03}},     // our port sends the rest of the SysEx to 130:1
    {"AHeldSendKeepsItsPlaceInLine",
     "a send under way to a program loses its place in line when another port of the program goes",
     {0x00, 0x02, 0x03, 0x00, 0x00, // program 130 starts with two ports that take an event at a time
      0x88, 0x00, 0x01, 0x08, 0x06, 0x06, 0x06, // our first port sends three notes to 130:1, and waits
      0x0B,                                     // meanwhile 130:0 leaves, and
      0x00, 0x02, 0x06}},                       // our second port sends a note to 130:1
    {"OurRunningStatusEndsAtASysEx",
     "a note cut short by a SysEx in our send is completed by a data byte after the SysEx",
     {0x00, 0x02, 0x01, 0x02,               // program 130 starts, its port 0 a destination
      0x0F, 0x00, 0x00, 0x05, 0x17,         // our port sends six bytes to it:
      0x90, 0x3C, 0xF0, 0x01, 0xF7, 0x40}}, // 90 3C F0 01 F7 40
    {"AMessageCutShortLeavesTheRestOfThePacketInProcess",
     "the in-process server drops what follows a message cut short by a status byte",
     {0x00, 0x02, 0x01, 0x02,         // program 130 starts
      0x0F, 0x00, 0x00, 0x04, 0x13,   // our port sends five bytes, also in process:
      0x90, 0x3C, 0x80, 0x3C, 0x40}}, // 90 3C 80 3C 40
    {"AProgramRestartedUnheardGetsNoneOfOurSysExBefore",
     "after an overrun lost a program's restart, our open SysEx goes on into the new program",
     {0x00, 0x02, 0x01, 0x02,                               // program 130 starts
      0x0F, 0x00, 0x00, 0x03, 0x0F, 0xF0, 0x01, 0x02, 0x03, // our port sends F0 01 02 03
      0xAD, 0x02, 0x01, 0x02,                               // it restarts, unheard: the input overruns
      0x0F, 0x00, 0x00, 0x02, 0x0B, 0x04, 0x05, 0xF7}},     // our port sends 04 05 F7
};

void PrintTo(const Finding& finding, std::ostream* out) {
    *out << finding.name;
}

class SequencerLifecycle : public testing::TestWithParam<Finding> {};

TEST_P(SequencerLifecycle, AScriptItOnceFailedOnNowHolds) {
    std::string trace;
    EXPECT_EQ(alsatest::runSequencerLifecycle(GetParam().script, &trace), "") << GetParam().what << "\n"
                                                                              << trace;
}

INSTANTIATE_TEST_SUITE_P(Findings, SequencerLifecycle, testing::ValuesIn(kFindings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SequencerLifecycleRandom, ThousandsOfScriptsFromAFixedSeedHold) {
    std::mt19937 random(36);
    std::uniform_int_distribution<int> length(16, 400), byte(0, 255);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::uint8_t> script(static_cast<std::size_t>(length(random)));
        for (auto& b : script)
            b = static_cast<std::uint8_t>(byte(random));
        if (alsatest::runSequencerLifecycle(script).empty()) continue;
        std::string trace;
        ADD_FAILURE() << alsatest::runSequencerLifecycle(script, &trace) << " in script " << i << ":\n"
                      << trace;
        return;
    }
    std::printf("%.1f s\n", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

} // namespace
