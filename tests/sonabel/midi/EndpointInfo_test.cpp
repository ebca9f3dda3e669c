// Endpoint descriptions: read from the server, compared, hashed and kept as JSON.
#include "MIDIObjectTestSupport.h"

#include "sonabel/midi/EndpointInfo.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace miditest;
using sonabel::EndpointInfo;

namespace {

EndpointInfo sample() {
    return EndpointInfo("Velmor", "Velmor Synth", "V1", "Malvo", "", "io.malvo.driver", 11, 0x1005,
                        std::nullopt);
}

} // namespace

TEST(EndpointInfo, ReadsTheEndpointsPropertiesWithEmptyStringsForMissingOnes) {
    Rig rig(true);
    MIDIEndpointRef destination = 0;
    rig.server->addExternalDestination(
        {.name = "Velmor", .manufacturer = "Malvo", .driverOwner = "io.malvo.driver", .uniqueID = 21},
        &destination);
    const EndpointInfo info(destination, *rig.server);
    EXPECT_EQ(info, EndpointInfo("Velmor", "Velmor", "", "Malvo", "", "io.malvo.driver", 21, destination,
                                 std::nullopt));
    EXPECT_EQ(info.midiEndpointRef, destination);
    ASSERT_EQ(rig.midi->destinationInfos().size(), 1u);
    EXPECT_EQ(rig.midi->destinationInfos()[0], info);
    EXPECT_TRUE(rig.midi->sourceInfos().empty());

    const auto placeholder = rig.midi->virtualInputInfos();
    ASSERT_EQ(placeholder.size(), 1u);
    EXPECT_EQ(placeholder[0], EndpointInfo());
    EXPECT_EQ(placeholder[0].midiEndpointRef, 0u);
    rig.midi->createVirtualOutputPorts(1, std::vector<std::int32_t>{33});
    const auto outputs = rig.midi->virtualOutputInfos();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[0].name, "Sonabel Output 1");
    EXPECT_EQ(outputs[0].midiUniqueID, 33);
}

TEST(EndpointInfo, EqualityAndHashIgnoreOnlyTheEndpointHandle) {
    auto a = sample();
    auto b = sample();
    b.midiEndpointRef = 0x2000;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<EndpointInfo>{}(a), std::hash<EndpointInfo>{}(b));
    for (auto change : std::vector<std::function<void(EndpointInfo&)>>{
             [](EndpointInfo& e) { e.name = "Toskar"; }, [](EndpointInfo& e) { e.image = "x.png"; },
             [](EndpointInfo& e) { e.midiUniqueID = 12; }, [](EndpointInfo& e) { e.midiPortRef = 0; },
             // the same characters in other fields must not compare equal
             [](EndpointInfo& e) { std::swap(e.name, e.displayName); }}) {
        auto c = sample();
        change(c);
        EXPECT_NE(a, c);
    }
}

TEST(EndpointInfo, EncodesItsKeysAndDecodesBackToAnEqualValue) {
    const auto info = sample();
    const nlohmann::json json = info;
    EXPECT_EQ(json.size(), 8u);
    EXPECT_FALSE(json.contains("midiPortRef"));
    EXPECT_EQ(json.at("midiEndpointRef"), 0x1005);
    const auto decoded = json.get<EndpointInfo>();
    EXPECT_EQ(decoded, info);
    EXPECT_EQ(decoded.midiEndpointRef, 0x1005u);
    EXPECT_EQ(decoded.midiPortRef, std::nullopt);

    auto withPort = info;
    withPort.midiPortRef = 0xFFFFFFFF;
    const nlohmann::json nine = withPort;
    EXPECT_EQ(nine.size(), 9u);
    EXPECT_EQ(nlohmann::json::parse(nine.dump()).get<EndpointInfo>().midiPortRef, 0xFFFFFFFFu);

    auto nullPort = json;
    nullPort["midiPortRef"] = nullptr;
    EXPECT_EQ(nullPort.get<EndpointInfo>(), info);
    EXPECT_EQ(nullPort.get<EndpointInfo>().midiPortRef, std::nullopt);
}

TEST(EndpointInfo, DecodingRefusesMissingKeysWrongTypesAndValuesThatDoNotFit) {
    const nlohmann::json good = sample();
    auto missing = good;
    missing.erase("midiEndpointRef");
    EXPECT_THROW(missing.get<EndpointInfo>(), nlohmann::json::out_of_range);
    auto wrongType = good;
    wrongType["name"] = 5;
    EXPECT_THROW(wrongType.get<EndpointInfo>(), nlohmann::json::type_error);
    for (const auto& [key, value] :
         std::vector<std::pair<std::string, nlohmann::json>>{{"midiUniqueID", 2147483648LL},
                                                             {"midiEndpointRef", -1},
                                                             {"midiPortRef", 1LL << 40},
                                                             {"midiUniqueID", 1.5},
                                                             {"midiEndpointRef", "4101"},
                                                             {"midiEndpointRef", nullptr},
                                                             {"name", nullptr},
                                                             {"midiPortRef", -1},
                                                             {"midiPortRef", "7"}}) {
        auto bad = good;
        bad[key] = value;
        EXPECT_THROW(bad.get<EndpointInfo>(), nlohmann::json::exception) << key << " " << value.dump();
    }
    EXPECT_THROW(nlohmann::json::array().get<EndpointInfo>(), nlohmann::json::exception);
}
