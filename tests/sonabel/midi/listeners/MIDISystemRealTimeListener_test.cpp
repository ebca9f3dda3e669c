#include "ListenerTestSupport.h"

#include "platform/midi/inprocess/InProcessServer.h"
#include "sonabel/midi/MIDI.h"
#include "sonabel/midi/listeners/MIDIObserverMaster.h"

#include <gtest/gtest.h>

using namespace listenertest;
using sonabel::MIDISystemRealTimeListener;
using State = MIDISystemRealTimeListener::SRTState;

namespace {

void send(MIDISystemRealTimeListener& listener, sonabel::MIDIByte status) {
    listener.receivedMIDISystemCommand({status}, std::nullopt, std::nullopt);
}

} // namespace

TEST(MIDISystemRealTimeListener, TransportTransitionsAndNotifications) {
    MIDISystemRealTimeListener listener;
    EXPECT_EQ(listener.state(), State::stopped);
    EXPECT_TRUE(listener.observers().empty());
    auto observer = std::make_shared<TransportRecorder>();
    listener.addObserver(observer);

    send(listener, 0xFC); // stopped stays stopped, still notified
    send(listener, 0xFB); // continue from stopped plays
    send(listener, 0xF8); // clock: nothing
    send(listener, 0xFA);
    send(listener, 0xFC);
    send(listener, 0xFA); // start from paused
    send(listener, 0xFC);
    send(listener, 0xFC);
    send(listener, 0xFB); // continue from... stopped
    send(listener, 0xFE);
    // Each observer sees the new state already.
    EXPECT_EQ(observer->calls(),
              (std::vector<std::string>{"stop stopped", "continue playing", "start playing", "stop paused",
                                        "start playing", "stop paused", "stop stopped", "continue playing"}));
    EXPECT_EQ(listener.state(), State::playing);
}

TEST(MIDISystemRealTimeListener, LogsTransportMessagesToTheMIDICategory) {
    MIDISystemRealTimeListener listener;
    platform::ScopedLogCapture capture;
    for (sonabel::MIDIByte status : {0xFA, 0xFB, 0xFC, 0xF8})
        send(listener, status);
    EXPECT_EQ(contents(capture), (std::vector<std::string>{"Incoming MMC [Start]", "Incoming MMC [Continue]",
                                                           "Incoming MMC [Stop]"}));
    for (const auto& entry : capture.entries()) {
        EXPECT_EQ(entry.category, "midi");
        EXPECT_EQ(entry.level, platform::LogLevel::info);
        EXPECT_NE(
            entry.text.find("MIDISystemRealTimeListener.cpp:receivedMIDISystemCommand(_:portID:timeStamp:):"),
            std::string::npos);
    }
}

TEST(MIDISystemRealTimeListener, ObserversByIdentityInOrder) {
    MIDISystemRealTimeListener listener;
    Recorder order;
    struct Named : sonabel::MIDISystemRealTimeObserver {
        Named(Recorder& r, std::string n) : recorder(r), name(std::move(n)) {}
        void startSRT(const MIDISystemRealTimeListener&) override { recorder.record(name); }
        Recorder& recorder;
        std::string name;
    };
    auto a = std::make_shared<Named>(order, "a");
    auto b = std::make_shared<Named>(order, "b");
    auto stranger = std::make_shared<Named>(order, "x");
    listener.addObserver(a);
    listener.addObserver(b);
    listener.addObserver(a);
    listener.removeObserver(stranger); // not there: unchanged
    send(listener, 0xFA);
    EXPECT_EQ(order.take(), (std::vector<std::string>{"a", "b", "a"}));
    listener.removeObserver(a); // both entries
    send(listener, 0xFA);
    EXPECT_EQ(order.take(), (std::vector<std::string>{"b"}));
    listener.removeAllObservers();
    send(listener, 0xFA);
    EXPECT_TRUE(order.take().empty());
}

TEST(MIDISystemRealTimeListener, AnObserverMayRemoveItselfWhileCalled) {
    MIDISystemRealTimeListener listener;
    struct Once : sonabel::MIDISystemRealTimeObserver {
        void startSRT(const MIDISystemRealTimeListener&) override {
            ++calls;
            owner->removeObserver(this);
        }
        MIDISystemRealTimeListener* owner = nullptr;
        int calls = 0;
    };
    auto once = std::make_shared<Once>();
    once->owner = &listener;
    listener.addObserver(once);
    send(listener, 0xFA);
    send(listener, 0xFA);
    EXPECT_EQ(once->calls, 1);
}

TEST(MIDISystemRealTimeListener, ReceivesThroughAMIDIObject) {
    auto server = std::make_shared<platform::midi::InProcessServer>(
        platform::midi::InProcessServerConfig{.manualDelivery = true});
    auto midi = sonabel::MIDI::make({server});
    MIDIEndpointRef source = 0;
    server->addExternalSource({.name = "Clock", .uniqueID = 41}, &source);
    server->runPending();
    auto listener = std::make_shared<MIDISystemRealTimeListener>();
    midi->addListener(listener);
    midi->openInput(MIDIUniqueID{41});
    const std::uint8_t bytes[] = {0xFA, 0xF8, 0xFC};
    server->sendFromSource(source, bytes);
    server->runPending();
    EXPECT_EQ(listener->state(), State::paused);
}

TEST(MIDIObserverMaster, HoldsObserversByIdentity) {
    sonabel::MIDIObserverMaster<TransportRecorder> master;
    auto a = std::make_shared<TransportRecorder>();
    auto b = std::make_shared<TransportRecorder>();
    master.addObserver(a);
    master.addObserver(b);
    master.addObserver(a);
    master.removeObserver(a.get());
    ASSERT_EQ(master.observers.size(), 1u);
    EXPECT_EQ(master.observers[0], b);
    master.removeAllObservers();
    EXPECT_TRUE(master.observers.empty());
}
