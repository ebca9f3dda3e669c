#include "platform/core/HostClock.h"
#include "platform/core/MainQueue.h"
#include "platform/ui/ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <thread>

using platform::DialogRequest;
using platform::MainQueue;
using platform::ManualClock;
using platform::ScriptedDialogs;
using platform::TestMainQueueDriver;

namespace {

class ScriptedDialogsTest : public ::testing::Test {
protected:
    ManualClock clock;
    MainQueue queue{clock};
    TestMainQueueDriver driver{queue, clock};
    ScriptedDialogs dialogs{queue};
};

TEST_F(ScriptedDialogsTest, RecordsEveryRequestWithItsTextsInOrder) {
    dialogs.runAlert({.messageText = "Error", .informativeText = "Open the Device!"});
    dialogs.runOpenPanel({.title = "Choose a Bank File", .allowedFileTypes = {"syx", "p"}});
    dialogs.runSavePanel(
        {.title = "Choose Where To Save The Program", .nameFieldStringValue = "MyScale.syx"});
    dialogs.beginSavePanel({.title = "Choose Where To Save The Bank", .nameFieldStringValue = "Toskar_HV.p"},
                           nullptr);

    const auto requests = dialogs.requests();
    const std::vector<DialogRequest> expected = {
        DialogRequest::alert({.messageText = "Error", .informativeText = "Open the Device!"}),
        DialogRequest::openPanel({.title = "Choose a Bank File", .allowedFileTypes = {"syx", "p"}}),
        DialogRequest::savePanel(
            {.title = "Choose Where To Save The Program", .nameFieldStringValue = "MyScale.syx"}),
        DialogRequest::beginSavePanel(
            {.title = "Choose Where To Save The Bank", .nameFieldStringValue = "Toskar_HV.p"}),
    };
    EXPECT_EQ(requests, expected);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].messageText, "Error");
    EXPECT_EQ(requests[0].informativeText, "Open the Device!");
    EXPECT_EQ(requests[1].allowedFileTypes, (std::vector<std::string>{"syx", "p"}));
    EXPECT_FALSE(requests[1].canCreateDirectories); // open panels never make folders, save panels may
    EXPECT_TRUE(requests[2].canCreateDirectories);
    EXPECT_EQ(requests[3].nameFieldStringValue, "Toskar_HV.p");
    EXPECT_NE(requests[0],
              DialogRequest::alert({.messageText = "Open the Device!", .informativeText = "Error"}));
    EXPECT_NE(requests[2], DialogRequest::beginSavePanel({.title = "Choose Where To Save The Program",
                                                          .nameFieldStringValue = "MyScale.syx"}));
    EXPECT_EQ(dialogs.alerts(), std::vector{requests[0]});
}

TEST_F(ScriptedDialogsTest, PanelsTakePreparedAnswersInOrderAndCancelWhenNoneAreLeft) {
    dialogs.queueAnswer("/tmp/first.bin");
    dialogs.queueCancel();
    dialogs.queueAnswer("/tmp/third.syx");
    EXPECT_EQ(dialogs.pendingAnswerCount(), 3u);

    EXPECT_EQ(dialogs.runOpenPanel({.title = "a"}), "/tmp/first.bin");
    dialogs.runAlert({.messageText = "Error", .informativeText = "File is not valid!"}); // takes no answer
    EXPECT_EQ(dialogs.runSavePanel({.title = "b"}), std::nullopt);
    EXPECT_EQ(dialogs.runOpenPanel({.title = "c"}), "/tmp/third.syx");
    EXPECT_EQ(dialogs.pendingAnswerCount(), 0u);
    EXPECT_EQ(dialogs.runOpenPanel({.title = "d"}), std::nullopt);
    EXPECT_EQ(dialogs.runSavePanel({.title = "e"}), std::nullopt);
    EXPECT_EQ(dialogs.requests().size(), 6u);
}

TEST_F(ScriptedDialogsTest, SavePanelCompletionRunsLaterOnTheMainQueueWithTheAnswerOfItsOwnPanel) {
    dialogs.queueAnswer("/tmp/Velmor_bnk5.p");
    dialogs.queueAnswer("/tmp/other.syx");
    std::vector<std::optional<std::string>> completions;
    dialogs.beginSavePanel({.title = "Choose Where To Save The Bank"},
                           [&](std::optional<std::string> path) { completions.push_back(std::move(path)); });
    EXPECT_TRUE(completions.empty()); // the action returns before the panel closes

    // A panel shown before the completion runs takes the next answer, not this panel's.
    EXPECT_EQ(dialogs.runOpenPanel({.title = "Choose a scala file"}), "/tmp/other.syx");
    dialogs.beginSavePanel({.title = "Choose Where To Save The Bank"},
                           [&](std::optional<std::string> path) { completions.push_back(std::move(path)); });

    driver.runUntilIdle();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0], "/tmp/Velmor_bnk5.p");
    EXPECT_EQ(completions[1], std::nullopt);
}

TEST_F(ScriptedDialogsTest, PendingCompletionsEndWithTheDialogs) {
    bool ran = false;
    {
        ScriptedDialogs shortLived(queue);
        shortLived.queueAnswer("/tmp/x.p");
        shortLived.beginSavePanel({.title = "t"}, [&](std::optional<std::string>) { ran = true; });
    }
    driver.runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST_F(ScriptedDialogsTest, CountsRequestsMadeOffTheMainThread) {
    dialogs.runAlert({.messageText = "Error", .informativeText = "Open file!"});
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
    std::thread midi([&] { dialogs.runAlert({.messageText = "Error", .informativeText = "Wrong state!"}); });
    midi.join();
    EXPECT_EQ(dialogs.offMainThreadCount(), 1u);
    EXPECT_EQ(dialogs.requests().size(), 2u);

    dialogs.clearRequests();
    EXPECT_TRUE(dialogs.requests().empty());
    EXPECT_EQ(dialogs.offMainThreadCount(), 0u);
}

TEST(DialogRequest, PrintsReadablyInTestFailures) {
    std::ostringstream alert, panel;
    alert << DialogRequest::alert({.messageText = "Error", .informativeText = "Open the Device!"});
    panel << DialogRequest::savePanel({.title = "Choose Where To Save The Bank",
                                       .nameFieldStringValue = "Orvane_layers.p",
                                       .allowedFileTypes = {"p"}});
    EXPECT_EQ(alert.str(), R"(alert{messageText: "Error", informativeText: "Open the Device!"})");
    EXPECT_EQ(panel.str(), R"(savePanel{title: "Choose Where To Save The Bank", name: "Orvane_layers.p", )"
                           R"(types: ["p"], hidden: 0, createDirectories: 1})");
}

} // namespace
