// Closing the window in the middle of a firmware upload: the same shutdown the application runs.
#include "app/ApplicationShutdown.h"
#include "testing/ControllerHarness.h"
#include "testing/Eventually.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// That the job stopped shows in the blocks sent; the time only tells a shutdown that ends from
// one that hangs.
constexpr auto kShutdownDeadline = testwait::kDeadline;

class Shutdown : public malvo::test::ControllerHarness {};

TEST_F(Shutdown, ClosingMidUploadSendsNoFurtherBlockAndEndsWithinTheDeadline) {
    auto& toskar = plug("Toskar MK2", Framing::both, emulation::FirmwareVersion{1, 0, 6});
    makeWindow();
    open("Toskar MK2");
    const auto dir = std::filesystem::temp_directory_path() / ("shutdown-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto file = dir / "fw_2.0.0.bin";
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(8 * 256, '\x11');
    }
    dialogs.queueAnswer(file.string());
    controller->browseFile();

    // Every answer waits for the job's next poll; after block 3 the job is held there until the close.
    toskar.setFaults({.replyDelay = 10ms});
    std::atomic<bool> reached{false};
    std::atomic<bool> closing{false};
    sleeper.afterSettling = [&] {
        if (toskar.state().firmwareBlocks.size() < 3) return;
        reached = true;
        testwait::eventually([&] { return closing.load(); });
    };
    controller->sendFW();
    const bool held = testwait::eventually([&] { return reached.load(); });
    closing = !held;
    ASSERT_TRUE(held);

    const auto start = std::chrono::steady_clock::now();
    closing = true;
    malvo::shutDownApplication(*controller, server.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, kShutdownDeadline);
    EXPECT_EQ(toskar.state().firmwareBlocks.size(), 3u);
    EXPECT_FALSE(controller->transferRunning());
    // What the stopped job would have shown never reaches the window.
    driver.runUntilIdle();
    EXPECT_NE(o().log->text(), "Update Failed");
    EXPECT_TRUE(dialogs.alerts().empty());
    std::filesystem::remove_all(dir);
}

} // namespace
