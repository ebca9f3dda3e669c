#include "emulator/EmulatedInstruments.h"
#include "emulator/InstrumentEmulator.h"
#include "emulator/SysExAssembler.h"

#include "platform/core/LogSink.h"
#include "tests/emulator/EmulatorHost.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace emulation;
using emulatortest::Bytes;
using emulatortest::concat;
using platform::midi::InProcessServer;
using Framing = InstrumentEmulatorConfig::Framing;

namespace {

class EmulatorTest : public ::testing::Test {
protected:
    std::shared_ptr<InstrumentEmulator> plug(InstrumentEmulatorConfig config) {
        config.clock = &clock;
        config.replyThread = false;
        auto emulator = InstrumentEmulator::make(server, std::move(config));
        if (emulator) host.listenTo(emulator->source());
        return emulator;
    }
    std::shared_ptr<InstrumentEmulator> plug(const std::string& name, Framing framing = Framing::both) {
        InstrumentEmulatorConfig config;
        config.portName = name;
        config.framing = framing;
        return plug(std::move(config));
    }
    std::vector<Bytes> exchange(InstrumentEmulator& emulator, const Bytes& request,
                                std::size_t packet = 256) {
        host.send(emulator.destination(), request, packet);
        return host.take();
    }

    platform::ManualClock clock;
    InProcessServer server{{.manualDelivery = true, .clock = &clock}};
    emulatortest::EmulatorHost host{server};
};

Bytes withID(Bytes plain) {
    plain.insert(plain.begin() + 1, {0x00, 0x66, 0x2B});
    return plain;
}

Bytes firmwareBlock(std::uint8_t model, int number, int count, const Bytes& data) {
    Bytes m{0xF0,
            model,
            0x01,
            std::uint8_t((number >> 7) & 0x7F),
            std::uint8_t(number & 0x7F),
            std::uint8_t((count >> 7) & 0x7F),
            std::uint8_t(count & 0x7F),
            0x01};
    for (auto b : data) {
        m.push_back(b >> 7);
        m.push_back(b & 0x7F);
    }
    m.push_back(0xF7);
    return m;
}

Bytes pattern(std::size_t size, unsigned mask, unsigned seed = 0) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>((i * 13 + seed) & mask);
    return out;
}

std::uint8_t xorOf(const Bytes& m, std::size_t from, std::size_t to) {
    std::uint8_t x = 0;
    for (std::size_t i = from; i < to; ++i)
        x ^= m[i];
    return x;
}

} // namespace

// Models and plugging ---------------------------------------------------------------------------

TEST(InstrumentModelTest, PortNamesMatchExactly) {
    const std::pair<const char*, int> names[] = {{"Pellandor", 1},  {"Toskar", 2}, {"Toskar MK1", 2},
                                                 {"Toskar MK2", 2}, {"Velmor", 3}, {"ORVANE", 4}};
    for (const auto& [name, code] : names) {
        auto model = InstrumentModel::forPortName(name);
        ASSERT_TRUE(model) << name;
        EXPECT_EQ(model->code, code);
        EXPECT_EQ(model->portName, name);
    }
    for (const char* name : {"toskar", "Velmor ", "ORVANE2", "", "Toskar MK3"})
        EXPECT_FALSE(InstrumentModel::forPortName(name)) << name;
    EXPECT_EQ(InstrumentModel::forPortName("Pellandor")->tuningSlots, 10);
    EXPECT_EQ(InstrumentModel::forPortName("Velmor")->tuningSlots, 128);
    EXPECT_FALSE(InstrumentModel::forCode(0, "x"));
    EXPECT_FALSE(InstrumentModel::forCode(5, "x"));
    EXPECT_EQ(InstrumentModel::forCode(3, "toskar")->portName, "toskar");
}

TEST_F(EmulatorTest, PlugsInOneSourceAndOneDestinationNamedAfterIt) {
    auto emulator = plug("Toskar MK2");
    ASSERT_TRUE(emulator);
    ASSERT_EQ(server.numberOfSources(), 1u);
    ASSERT_EQ(server.numberOfDestinations(), 1u);
    std::string name;
    server.getStringProperty(server.source(0), kMIDIPropertyName, &name);
    EXPECT_EQ(name, "Toskar MK2");
    server.getStringProperty(server.destination(0), kMIDIPropertyName, &name);
    EXPECT_EQ(name, "Toskar MK2");
    EXPECT_EQ(emulator->model().code, 2);

    EXPECT_FALSE(plug("toskar"));
    InstrumentEmulatorConfig config;
    config.portName = "toskar";
    config.model = 2;
    EXPECT_TRUE(plug(config));
}

// Version and framing ---------------------------------------------------------------------------

TEST_F(EmulatorTest, VersionIsAnsweredInTheFramingItWasAskedIn) {
    auto both = plug("Toskar");
    both->setVersion({1, 3, 12});
    EXPECT_EQ(exchange(*both, {0xF0, 0x02, 0x15, 0xF7}),
              (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 3, 12, 0xF7}}));
    const auto reply = exchange(*both, {0xF0, 0x00, 0x66, 0x2B, 0x02, 0x15, 0xF7});
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0], (Bytes{0xF0, 0x00, 0x66, 0x2B, 0x02, 0x15, 1, 3, 12, 0xF7}));
    EXPECT_EQ(reply[0].size(), 10u);
}

TEST_F(EmulatorTest, AnInstrumentOfOneFramingIgnoresTheOther) {
    auto plain = plug("Velmor", Framing::plain);
    EXPECT_TRUE(exchange(*plain, {0xF0, 0x00, 0x66, 0x2B, 0x03, 0x15, 0xF7}).empty());
    EXPECT_EQ(exchange(*plain, {0xF0, 0x03, 0x15, 0xF7}).size(), 1u);

    auto withIDOnly = plug("Pellandor", Framing::manufacturerID);
    EXPECT_TRUE(exchange(*withIDOnly, {0xF0, 0x01, 0x15, 0xF7}).empty());
    EXPECT_EQ(exchange(*withIDOnly, {0xF0, 0x00, 0x66, 0x2B, 0x01, 0x15, 0xF7}),
              (std::vector<Bytes>{{0xF0, 0x00, 0x66, 0x2B, 0x01, 0x15, 1, 3, 12, 0xF7}}));
    // Spontaneous messages of an instrument that speaks only with the ID carry it.
    withIDOnly->releaseKey();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{{0xF0, 0x00, 0x66, 0x2B, 0x01, 0x10, 0xF7}}));
}

TEST_F(EmulatorTest, MessagesForAnotherModelOrMakerOrTooShortAreIgnored) {
    auto emulator = plug("Toskar");
    for (const Bytes& request :
         std::vector<Bytes>{{0xF0, 0x03, 0x15, 0xF7},
                            {0xF0, 0x00, 0x66, 0x2C, 0x02, 0x15, 0xF7},
                            {0xF0, 0x00, 0x66, 0x2B, 0x03, 0x15, 0xF7},
                            {0xF0, 0x02, 0xF7},
                            {0xF0, 0xF7},
                            {0xF0, 0x02, 0x15, 0x00, 0xF7}}) // version takes no payload
        EXPECT_TRUE(exchange(*emulator, request).empty()) << ::testing::PrintToString(request);
    EXPECT_EQ(emulator->received().size(), 6u);
}

// Firmware --------------------------------------------------------------------------------------

TEST_F(EmulatorTest, AcknowledgedFirmwareUploadCollectsTheFile) {
    auto toskar = plug("Toskar"); // 1.2.1: acknowledged mode
    const Bytes file = pattern(300, 0xFF);
    const Bytes first(file.begin(), file.begin() + 256), second(file.begin() + 256, file.end());
    const Bytes block1 = firmwareBlock(2, 1, 2, first);
    ASSERT_EQ(block1.size(), 521u);
    EXPECT_EQ(exchange(*toskar, block1), (std::vector<Bytes>{{0xF0, 0x02, 0x05, 0xF7}}));
    const Bytes block2 = firmwareBlock(2, 2, 2, second);
    ASSERT_EQ(block2.size(), 97u);
    EXPECT_EQ(exchange(*toskar, block2), (std::vector<Bytes>{{0xF0, 0x02, 0x25, 0xF7}}));
    EXPECT_EQ(toskar->state().firmwareImage(), file);

    // In the framing with the ID every answer carries it.
    EXPECT_EQ(exchange(*toskar, withID(firmwareBlock(2, 1, 2, first))),
              (std::vector<Bytes>{withID({0xF0, 0x02, 0x05, 0xF7})}));
    EXPECT_EQ(exchange(*toskar, withID(block2)), (std::vector<Bytes>{withID({0xF0, 0x02, 0x25, 0xF7})}));
}

TEST_F(EmulatorTest, AcknowledgementFollowsTheVersionRule) {
    auto toskar = plug("Toskar");
    const Bytes block = firmwareBlock(2, 2, 3, pattern(256, 0xFF));
    const std::pair<FirmwareVersion, bool> versions[] = {
        {{1, 0, 5}, false}, {{1, 0, 6}, true}, {{1, 1, 0}, true}, {{2, 0, 0}, true}};
    for (const auto& [version, acknowledged] : versions) {
        toskar->setVersion(version);
        EXPECT_EQ(exchange(*toskar, block).size(), acknowledged ? 1u : 0u)
            << int(version.major) << "." << int(version.minor) << "." << int(version.patch);
    }
    auto velmor = plug("Velmor"); // ready after block 1, never an ACK
    EXPECT_EQ(exchange(*velmor, firmwareBlock(3, 1, 2, pattern(256, 0xFF))),
              (std::vector<Bytes>{{0xF0, 0x03, 0x05, 0xF7}}));
    EXPECT_TRUE(exchange(*velmor, firmwareBlock(3, 2, 2, pattern(10, 0xFF))).empty());
    auto pellandor = plug("Pellandor"); // neither
    EXPECT_TRUE(exchange(*pellandor, firmwareBlock(1, 1, 1, pattern(256, 0xFF))).empty());
    EXPECT_EQ(pellandor->state().firmwareImage(), pattern(256, 0xFF));
}

TEST_F(EmulatorTest, NaksRejectBlocksUntilTheCountIsUsedUp) {
    auto toskar = plug("Toskar");
    toskar->setFaults({.naks = 2});
    const Bytes block = firmwareBlock(2, 2, 3, pattern(256, 0xFF, 5));
    const Bytes nak{0xF0, 0x02, 0x26, 0xF7}, ack{0xF0, 0x02, 0x25, 0xF7};
    EXPECT_EQ(exchange(*toskar, block), std::vector<Bytes>{nak});
    EXPECT_EQ(exchange(*toskar, block), std::vector<Bytes>{nak});
    EXPECT_EQ(exchange(*toskar, block), std::vector<Bytes>{ack});
    EXPECT_EQ(toskar->state().firmwareBlocks.size(), 1u);
    EXPECT_EQ(toskar->faults().naks, 0);
}

TEST_F(EmulatorTest, MalformedBlocksAreRefused) {
    auto toskar = plug("Toskar");
    const Bytes nak{0xF0, 0x02, 0x26, 0xF7};
    Bytes constantByte = firmwareBlock(2, 2, 3, pattern(4, 0xFF));
    constantByte[7] = 0x02;
    Bytes oddHalves = firmwareBlock(2, 2, 3, pattern(4, 0xFF));
    oddHalves.erase(oddHalves.end() - 2);
    Bytes badHigh = firmwareBlock(2, 2, 3, pattern(4, 0xFF));
    badHigh[8] = 0x02;
    for (const Bytes& block :
         {firmwareBlock(2, 0, 3, pattern(4, 0xFF)), firmwareBlock(2, 4, 3, pattern(4, 0xFF)),
          firmwareBlock(2, 2, 3, pattern(257, 0xFF)), constantByte, oddHalves, badHigh})
        EXPECT_EQ(exchange(*toskar, block), std::vector<Bytes>{nak});
    EXPECT_TRUE(toskar->state().firmwareBlocks.empty());
    // The largest block number and count that two 7-bit bytes hold.
    EXPECT_EQ(exchange(*toskar, firmwareBlock(2, 16383, 16383, {0x01})).size(), 1u);
    EXPECT_EQ(toskar->state().firmwareBlocks.back().number, 16383);
}

// Banks, layers, program names ------------------------------------------------------------------

TEST_F(EmulatorTest, ProgramDumpsHaveEachModelsLayout) {
    const std::tuple<const char*, std::size_t, std::uint8_t> models[] = {
        {"Pellandor", 202, 9}, {"Toskar", 262, 10}, {"Velmor", 262, 9}, {"ORVANE", 518, 3}};
    for (const auto& [name, length, lastBank] : models) {
        auto emulator = plug(name);
        const std::uint8_t model = emulator->model().code;
        auto reply = exchange(*emulator, {0xF0, model, 0x13, lastBank, 127, 0xF7});
        ASSERT_EQ(reply.size(), 1u) << name;
        EXPECT_EQ(reply[0].size(), length) << name;
        EXPECT_EQ(Bytes(reply[0].begin(), reply[0].begin() + 5), (Bytes{0xF0, model, 0x00, lastBank, 127}));
        reply = exchange(*emulator, withID({0xF0, model, 0x13, 0, 0, 0xF7}));
        ASSERT_EQ(reply.size(), 1u);
        EXPECT_EQ(reply[0].size(), length + 3) << name;
        // A bank the model does not have, or a program past 127, is not answered.
        EXPECT_TRUE(exchange(*emulator, {0xF0, model, 0x13, std::uint8_t(lastBank + 1), 0, 0xF7}).empty())
            << name;
        EXPECT_TRUE(exchange(*emulator, {0xF0, model, 0x13, 0, 128, 0xF7}).empty()) << name;
    }
}

TEST_F(EmulatorTest, PellandorSplitsEightBitBytesIntoHalves) {
    auto pellandor = plug("Pellandor");
    Bytes record(98);
    std::iota(record.begin(), record.end(), std::uint8_t(0xC0)); // 8-bit values, F7 among them
    pellandor->modifyState([&](InstrumentState& s) { s.banks[2][5] = record; });
    const auto reply = exchange(*pellandor, {0xF0, 0x01, 0x13, 0x02, 0x05, 0xF7});
    ASSERT_EQ(reply.size(), 1u);
    ASSERT_EQ(reply[0].size(), 202u);
    EXPECT_EQ(reply[0][5], 0x01);
    EXPECT_EQ(reply[0][6], 0x40); // C0
    EXPECT_EQ(reply[0][5 + 2 * 0x37], 0x01);
    EXPECT_EQ(reply[0][6 + 2 * 0x37], 0x77); // F7 goes out as 01 77
}

TEST_F(EmulatorTest, UploadedRecordsComeBackByteIdentical) {
    struct Case {
        const char* name;
        std::uint8_t command;
        std::size_t size;
        bool split;
    };
    for (const auto& c : {Case{"Pellandor", 0x00, 98, true}, Case{"Toskar", 0x17, 256, false},
                          Case{"Velmor", 0x00, 256, false}, Case{"ORVANE", 0x00, 512, false}}) {
        auto emulator = plug(c.name);
        const std::uint8_t model = emulator->model().code;
        const Bytes record = pattern(c.size, c.split ? 0xFF : 0x7F, 77);
        Bytes upload{0xF0, model, c.command, 0x01, 0x11};
        for (auto b : record) {
            if (c.split) upload.push_back(b >> 7);
            upload.push_back(c.split ? (b & 0x7F) : b);
        }
        upload.push_back(0xF7);
        EXPECT_TRUE(exchange(*emulator, upload).empty());
        EXPECT_EQ(emulator->state().banks[1][0x11], record) << c.name;
        const auto reply = exchange(*emulator, {0xF0, model, 0x13, 0x01, 0x11, 0xF7});
        ASSERT_EQ(reply.size(), 1u);
        Bytes expected = upload;
        expected[2] = 0x00;
        EXPECT_EQ(reply[0], expected) << c.name;
        // One data byte short, or the other model's upload command: not taken.
        Bytes shortUpload = upload;
        shortUpload.erase(shortUpload.end() - 2);
        shortUpload[4] = 0x12;
        exchange(*emulator, shortUpload);
        Bytes otherCommand = upload;
        otherCommand[2] = c.command == 0x17 ? 0x00 : 0x17;
        otherCommand[4] = 0x13;
        exchange(*emulator, otherCommand);
        const auto state = emulator->state();
        EXPECT_EQ(state.banks.at(1)[0x12], InstrumentState::factoryProgram(emulator->model(), 1, 0x12))
            << c.name;
        EXPECT_EQ(state.banks.at(1)[0x13], InstrumentState::factoryProgram(emulator->model(), 1, 0x13))
            << c.name;
    }
}

TEST_F(EmulatorTest, LayersTravelWithTheirTwoByteIndex) {
    auto orvane = plug("ORVANE");
    const Bytes layer = pattern(256, 0x7F, 3);
    Bytes upload = concat({{0xF0, 0x04, 0x24, 0x02, 0x2C}, layer, {0xF7}}); // layer 300
    EXPECT_TRUE(exchange(*orvane, upload).empty());
    EXPECT_EQ(orvane->state().layers[300], layer);
    EXPECT_EQ(exchange(*orvane, {0xF0, 0x04, 0x25, 0x02, 0x2C, 0xF7}), std::vector<Bytes>{upload});
    const auto last = exchange(*orvane, withID({0xF0, 0x04, 0x25, 0x03, 0x73, 0xF7})); // 499
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].size(), 265u);
    EXPECT_TRUE(exchange(*orvane, {0xF0, 0x04, 0x25, 0x03, 0x74, 0xF7}).empty()); // 500
    auto toskar = plug("Toskar");
    EXPECT_TRUE(exchange(*toskar, {0xF0, 0x02, 0x25, 0x00, 0x00, 0xF7}).empty());
}

TEST_F(EmulatorTest, ProgramNameKeepsLatinOneBytes) {
    auto velmor = plug("Velmor");
    Bytes name{0xF0, 0x03, 0x11, 'S', 'o', 'l', 0xE9};
    name.resize(3 + 16, 0x00);
    name.push_back(0xF7);
    ASSERT_EQ(name.size(), 20u);
    exchange(*velmor, name);
    EXPECT_EQ(velmor->state().programNameText(), "Sol\xE9");
    Bytes tooLong = name;
    tooLong.insert(tooLong.end() - 1, 'x');
    tooLong[3] = 'X';
    exchange(*velmor, tooLong);
    EXPECT_EQ(velmor->state().programNameText(), "Sol\xE9");
    velmor->programChanged();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{{0xF0, 0x03, 0x36, 0xF7}}));
    EXPECT_EQ(velmor->state().programNameText(), "");
}

// Tuning ----------------------------------------------------------------------------------------

TEST_F(EmulatorTest, SlotNamesAndDumps) {
    auto toskar = plug("Toskar MK2");
    auto reply = exchange(*toskar, {0xF0, 0x02, 0x33, 0x02, 0xF7});
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0], (Bytes{0xF0, 0x02, 0x33, 0x02, 'P', 'y', 't', 'h', 'a', 'g', 'o',
                               'r',  0xE9, 0,    0,    0,   0,   0,   0,   0,   0xF7}));
    reply = exchange(*toskar, withID({0xF0, 0x02, 0x33, 0x7F, 0xF7}));
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].size(), 24u);
    EXPECT_EQ(Bytes(reply[0].begin() + 7, reply[0].begin() + 12), (Bytes{'e', 'm', 'p', 't', 'y'}));

    // The dump never carries the ID, even when asked with it.
    reply = exchange(*toskar, withID({0xF0, 0x02, 0x32, 0x01, 0xF7}));
    ASSERT_EQ(reply.size(), 1u);
    const Bytes& dump = reply[0];
    ASSERT_EQ(dump.size(), 408u);
    EXPECT_EQ(Bytes(dump.begin(), dump.begin() + 6), (Bytes{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00}));
    EXPECT_EQ(std::string(dump.begin() + 6, dump.begin() + 22), "Werckmeister III");
    EXPECT_EQ(dump[406], xorOf(dump, 1, 406));
    EXPECT_EQ(dump[407], 0xF7);
    EXPECT_LE(host.maxPacket(), 256u); // the server cut it; the instrument sent it whole
    EXPECT_EQ(toskar->sent().back(), dump);
    const auto table = toskar->state().slots[1].table;
    for (int key : {0, 60, 127}) {
        const auto at = std::size_t(22 + 3 * key);
        EXPECT_EQ(dump[at], table.keys[key].semitone);
        EXPECT_EQ((dump[at + 1] << 7) | dump[at + 2], table.keys[key].fraction);
    }
}

TEST_F(EmulatorTest, SlotsPastTheCountAndSilentSlotsAreNotAnswered) {
    auto pellandor = plug("Pellandor");
    EXPECT_EQ(exchange(*pellandor, {0xF0, 0x01, 0x33, 0x09, 0xF7}).size(), 1u);
    EXPECT_TRUE(exchange(*pellandor, {0xF0, 0x01, 0x33, 0x0A, 0xF7}).empty());
    EXPECT_TRUE(exchange(*pellandor, {0xF0, 0x01, 0x32, 0x0A, 0xF7}).empty());
    pellandor->setFaults({.silentSlots = {3}});
    EXPECT_TRUE(exchange(*pellandor, {0xF0, 0x01, 0x33, 0x03, 0xF7}).empty());
    EXPECT_TRUE(exchange(*pellandor, {0xF0, 0x01, 0x32, 0x03, 0xF7}).empty());
    EXPECT_EQ(exchange(*pellandor, {0xF0, 0x01, 0x33, 0x04, 0xF7}).size(), 1u);
}

TEST_F(EmulatorTest, SwitchesAndStateReports) {
    auto velmor = plug("Velmor");
    EXPECT_EQ(exchange(*velmor, {0xF0, 0x03, 0x30, 0xF7}),
              (std::vector<Bytes>{{0xF0, 0x03, 0x30, 0x00, 0xF7}}));
    for (const Bytes& m : std::vector<Bytes>{
             {0xF0, 0x03, 0x06, 0x24, 0x01, 0xF7}, {0xF0, 0x03, 0x21, 0xF7}, {0xF0, 0x03, 0x35, 0x01, 0xF7}})
        EXPECT_TRUE(exchange(*velmor, m).empty());
    auto state = velmor->state();
    EXPECT_EQ(state.microtuning, 1);
    EXPECT_EQ(state.applyCount, 1);
    EXPECT_EQ(state.noteSwitch, 1);
    EXPECT_EQ(exchange(*velmor, withID({0xF0, 0x03, 0x30, 0xF7})),
              (std::vector<Bytes>{withID({0xF0, 0x03, 0x30, 0x01, 0xF7})}));
    // A state request after "state changed" is answered with the microtuning report.
    velmor->modifyState([](InstrumentState& s) { s.microtuning = 2; });
    velmor->stateChanged();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{withID({0xF0, 0x03, 0x16, 0xF7})}));
    EXPECT_EQ(exchange(*velmor, {0xF0, 0x03, 0x14, 0xF7}),
              (std::vector<Bytes>{{0xF0, 0x03, 0x06, 0x24, 0x02, 0xF7}}));
}

TEST_F(EmulatorTest, RealTimeTuningChangesTheLiveTable) {
    auto toskar = plug("Toskar");
    exchange(*toskar, {0xF0, 0x7F, 0x02, 0x08, 0x02, 0x00, 0x01, 0x3C, 0x3C, 0x40, 0x00, 0xF7});
    exchange(*toskar, withID({0xF0, 0x7F, 0x02, 0x08, 0x02, 0x00, 0x01, 0x3D, 0x3D, 0x0C, 0x66, 0xF7}));
    exchange(*toskar, {0xF0, 0x7F, 0x02, 0x08, 0x02, 0x00, 0x01, 0x3E, 0x7F, 0x7F, 0x7F, 0xF7}); // no change
    exchange(*toskar,
             {0xF0, 0x7F, 0x03, 0x08, 0x02, 0x00, 0x01, 0x3F, 0x00, 0x00, 0x00, 0xF7}); // other device
    auto live = toskar->state().liveTuning;
    EXPECT_EQ(live.keys[60], (TuningTable::Pitch{60, 0x2000}));
    EXPECT_EQ(live.keys[61], (TuningTable::Pitch{61, 1638}));
    EXPECT_EQ(live.keys[62], (TuningTable::Pitch{62, 0}));
    EXPECT_EQ(live.keys[63], (TuningTable::Pitch{63, 0}));

    // The key report carries the live tuning; key 150 reports that no key is held.
    toskar->pressKey(60);
    toskar->pressKey(150);
    toskar->releaseKey();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{{0xF0, 0x02, 0x09, 0x3C, 0x3C, 0x40, 0x00, 0xF7},
                                               {0xF0, 0x02, 0x09, 0x96, 0x00, 0x00, 0x00, 0xF7},
                                               {0xF0, 0x02, 0x10, 0xF7}}));
}

TEST_F(EmulatorTest, BulkDumpReplacesTheLiveTableWhenItsChecksumHolds) {
    auto orvane = plug("ORVANE");
    Bytes dump{0xF0, 0x7E, 0x00, 0x08, 0x01, 0x00, 'e', 't', 0xE9};
    dump.resize(22, 0x00);
    for (int key = 0; key < 128; ++key) {
        const bool high = key == 127;
        dump.insert(dump.end(), {std::uint8_t(high ? 0x7F : key), std::uint8_t(high ? 0x7F : 0x02),
                                 std::uint8_t(high ? 0x7E : 0x40)});
    }
    dump.push_back(xorOf(dump, 1, dump.size()));
    dump.push_back(0xF7);
    ASSERT_EQ(dump.size(), 408u);
    Bytes corrupt = dump;
    corrupt[406] ^= 0x01;
    exchange(*orvane, corrupt);
    EXPECT_EQ(orvane->state().rejectedDumps, 1);
    EXPECT_EQ(orvane->state().liveTuning, TuningTable::equalTempered());
    EXPECT_EQ(orvane->state().microtuning, 0);

    exchange(*orvane, dump);
    const auto state = orvane->state();
    EXPECT_EQ(state.liveTuningName, "et\xE9");
    EXPECT_EQ(state.microtuning, 1);
    EXPECT_EQ(state.liveTuning.keys[0], (TuningTable::Pitch{0, 0x140}));
    EXPECT_EQ(state.liveTuning.keys[127], (TuningTable::Pitch{0x7F, 0x3FFE}));
    Bytes short407(dump.begin(), dump.end() - 2);
    short407.push_back(0xF7);
    exchange(*orvane, short407);
    EXPECT_EQ(orvane->state().rejectedDumps, 1);
}

// Spontaneous framing and faults ----------------------------------------------------------------

TEST_F(EmulatorTest, SpontaneousMessagesFollowTheLastRequestsFraming) {
    auto toskar = plug("Toskar");
    toskar->listChanged();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{{0xF0, 0x02, 0x34, 0xF7}}));
    exchange(*toskar, withID({0xF0, 0x02, 0x21, 0xF7}));
    toskar->listChanged();
    server.runPending();
    EXPECT_EQ(host.take(), (std::vector<Bytes>{withID({0xF0, 0x02, 0x34, 0xF7})}));
}

TEST_F(EmulatorTest, SilenceKeepsTakingStateButAnswersNothing) {
    auto toskar = plug("Toskar");
    toskar->setFaults({.silent = true});
    EXPECT_TRUE(exchange(*toskar, {0xF0, 0x02, 0x15, 0xF7}).empty());
    exchange(*toskar, {0xF0, 0x02, 0x06, 0x24, 0x01, 0xF7});
    EXPECT_EQ(toskar->state().microtuning, 1);
    toskar->setFaults({.silentCommands = {0x30}});
    EXPECT_TRUE(exchange(*toskar, {0xF0, 0x02, 0x30, 0xF7}).empty());
    EXPECT_EQ(exchange(*toskar, {0xF0, 0x02, 0x15, 0xF7}).size(), 1u);
}

TEST_F(EmulatorTest, DelayedRepliesWaitForTheClockAndKeepTheirOrder) {
    auto toskar = plug("Toskar");
    toskar->setFaults({.replyDelay = std::chrono::milliseconds(500)});
    EXPECT_TRUE(exchange(*toskar, {0xF0, 0x02, 0x15, 0xF7}).empty());
    toskar->releaseKey(); // not delayed itself, but never ahead of the reply
    server.runPending();
    EXPECT_TRUE(host.take().empty());
    EXPECT_EQ(toskar->pendingReplies(), 2u);
    clock.advance(499'999'999);
    EXPECT_EQ(toskar->pump(), 0u);
    clock.advance(1);
    EXPECT_EQ(toskar->pump(), 2u);
    server.runPending();
    const auto replies = host.take();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0][2], 0x15);
    EXPECT_EQ(replies[1][2], 0x10);
}

TEST_F(EmulatorTest, WrongLengthTruncationAndWrongHeadersAreAppliedToReplies) {
    auto toskar = plug("Toskar");
    toskar->setVersion({1, 2, 1});
    const Bytes query{0xF0, 0x02, 0x15, 0xF7};
    toskar->setFaults({.wrongLengthReplies = 1});
    EXPECT_EQ(exchange(*toskar, query), (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 2, 1, 0x00, 0xF7}}));
    EXPECT_EQ(exchange(*toskar, query), (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 2, 1, 0xF7}}));
    toskar->setFaults({.wrongLengthReplies = 1, .lengthChange = -2});
    EXPECT_EQ(exchange(*toskar, query), (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 0xF7}}));
    toskar->setFaults({.truncatedReplies = 1, .truncateTo = 5});
    host.send(toskar->destination(), query);
    // The server keeps the cut reply open until its F7 (8-bit data may follow), so it reaches no
    // one, and drops it once the instrument was silent for more than a second.
    EXPECT_TRUE(host.takeRaw().empty());
    clock.advance(1'000'000'001);
    EXPECT_EQ(exchange(*toskar, query), (std::vector<Bytes>{{0xF0, 0x02, 0x15, 1, 2, 1, 0xF7}}));
    toskar->setFaults(
        {.replyModel = 3, .replyManufacturerID = std::array<std::uint8_t, 3>{0x00, 0x66, 0x2C}});
    EXPECT_EQ(exchange(*toskar, query), (std::vector<Bytes>{{0xF0, 0x03, 0x15, 1, 2, 1, 0xF7}}));
    EXPECT_EQ(exchange(*toskar, withID(query)),
              (std::vector<Bytes>{{0xF0, 0x00, 0x66, 0x2C, 0x03, 0x15, 1, 2, 1, 0xF7}}));
    EXPECT_EQ(toskar->sent().size(), 7u);
    EXPECT_EQ(toskar->sent()[3], (Bytes{0xF0, 0x02, 0x15, 1, 2}));
}

TEST_F(EmulatorTest, UnplugRemovesBothEndpointsAndReplugBringsThemBack) {
    auto velmor = plug("Velmor");
    const MIDIEndpointRef destination = velmor->destination();
    std::int32_t sourceID = 0, destinationID = 0;
    server.getIntegerProperty(velmor->source(), kMIDIPropertyUniqueID, &sourceID);
    server.getIntegerProperty(destination, kMIDIPropertyUniqueID, &destinationID);
    velmor->unplug();
    EXPECT_FALSE(velmor->isPlugged());
    EXPECT_EQ(server.numberOfSources(), 0u);
    EXPECT_EQ(server.numberOfDestinations(), 0u);
    velmor->stateChanged(); // goes nowhere
    server.runPending();
    EXPECT_TRUE(velmor->sent().empty());

    velmor->replug();
    ASSERT_TRUE(velmor->isPlugged());
    EXPECT_NE(velmor->destination(), destination);
    std::int32_t id = 0;
    server.getIntegerProperty(velmor->source(), kMIDIPropertyUniqueID, &id);
    EXPECT_EQ(id, sourceID);
    server.getIntegerProperty(velmor->destination(), kMIDIPropertyUniqueID, &id);
    EXPECT_EQ(id, destinationID);
    host.listenTo(velmor->source());
    EXPECT_EQ(exchange(*velmor, {0xF0, 0x03, 0x15, 0xF7}).size(), 1u);
}

// Reassembly ------------------------------------------------------------------------------------

TEST(SysExAssemblerTest, CollectsAcrossPacketsAndKeepsEightBitData) {
    SysExAssembler assembler;
    EXPECT_TRUE(assembler.feed(Bytes{0x90, 0x3C, 0x40, 0xF0, 0x01}).empty());
    EXPECT_TRUE(assembler.collecting());
    EXPECT_TRUE(assembler.feed(Bytes{0x96, 0xE9, 0xF0, 0xFF}).empty());
    const auto messages = assembler.feed(Bytes{0x02, 0xF7, 0x80, 0xF0, 0x03, 0xF7});
    EXPECT_EQ(messages,
              (std::vector<Bytes>{{0xF0, 0x01, 0x96, 0xE9, 0xF0, 0xFF, 0x02, 0xF7}, {0xF0, 0x03, 0xF7}}));
    EXPECT_FALSE(assembler.collecting());

    SysExAssembler bounded(8);
    EXPECT_TRUE(bounded.feed(Bytes{0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 0xF7}).empty());
    EXPECT_EQ(bounded.feed(Bytes{0xF0, 1, 2, 3, 4, 5, 6, 0xF7}).size(), 1u);
}

TEST_F(EmulatorTest, LongRequestsArriveInPacketsOf256BytesOrFewer) {
    auto orvane = plug("ORVANE");
    const Bytes record = pattern(512, 0x7F, 9);
    const Bytes upload = concat({{0xF0, 0x04, 0x00, 0x03, 0x7F}, record, {0xF7}});
    for (std::size_t packet : {1u, 7u, 256u}) {
        exchange(*orvane, upload, packet);
        EXPECT_EQ(orvane->state().banks[3][0x7F], record) << packet;
        EXPECT_EQ(orvane->received().back(), upload);
    }
}

// Attaching by name -----------------------------------------------------------------------------

TEST(EmulatedInstrumentsTest, AttachesTheNamedInstrumentsAndLogsTheRest) {
    InProcessServer server{{.manualDelivery = true}};
    platform::ScopedLogCapture log;
    auto emulators =
        attachEmulatedInstruments(server, " Toskar MK2 ,Velmor@1.0.0,,toskar, Pellandor@1.3, ORVANE@1.2.128,"
                                          "Toskar MK1@1.0.6 + key=127, Toskar+key=128, Toskar+note=3");
    ASSERT_EQ(emulators.size(), 3u);
    EXPECT_EQ(emulators[2]->model().portName, "Toskar MK1");
    EXPECT_EQ(emulators[2]->state().version, (FirmwareVersion{1, 0, 6}));
    EXPECT_EQ(emulators[0]->model().portName, "Toskar MK2");
    EXPECT_EQ(emulators[0]->state().version, (FirmwareVersion{1, 2, 1}));
    EXPECT_EQ(emulators[1]->state().version, (FirmwareVersion{1, 0, 0}));
    EXPECT_EQ(server.numberOfSources(), 3u);
    const auto lines = log.sink().lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_NE(lines[3].find("\"Toskar+key=128\""), std::string::npos);
    EXPECT_NE(lines[4].find("\"Toskar+note=3\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"toskar\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"Pellandor@1.3\""), std::string::npos);
    EXPECT_NE(lines[2].find("\"ORVANE@1.2.128\""), std::string::npos);
    EXPECT_TRUE(attachEmulatedInstruments(server, "").empty());
}
