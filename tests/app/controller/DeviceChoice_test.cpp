#include "app/controller/BankChoices.h"
#include "app/controller/FeatureGate.h"
#include "app/controller/InstrumentPort.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using malvo::BankChoices;
using malvo::FeatureGate;
using malvo::InstrumentPort;
using Names = std::vector<std::string>;

TEST(InstrumentPort, OnlyExactNamesAreInstrumentsInServerOrder) {
    EXPECT_EQ(InstrumentPort::among({"USB MIDI", "Velmor", "Toskar MK2"}),
              (std::vector<InstrumentPort>{{"Velmor", 3}, {"Toskar MK2", 2}}));
    EXPECT_EQ(
        InstrumentPort::among({"Pellandor", "Toskar", "Toskar MK1", "ORVANE", "Pellandor"}),
        (std::vector<InstrumentPort>{{"Pellandor", 1}, {"Toskar", 2}, {"Toskar MK1", 2}, {"ORVANE", 4}}));
    EXPECT_TRUE(
        InstrumentPort::among({"velmor", "Velmor ", " Velmor", "Orvane", "Toskar MK3", "Toskar MK2 ", ""})
            .empty());
}

TEST(FeatureGate, TuningFeaturesStartAtEachModelsFirmware) {
    struct Case {
        int model, major, minor, patch;
        bool allowed;
    };
    for (const Case c :
         {Case{1, 1, 3, 11, false}, Case{1, 1, 3, 12, true}, Case{1, 1, 4, 0, true}, Case{1, 0, 9, 99, false},
          Case{1, 2, 0, 0, true}, Case{2, 1, 2, 0, false}, Case{2, 1, 2, 1, true}, Case{2, 1, 1, 127, false},
          Case{3, 1, 0, 0, false}, Case{3, 1, 0, 1, true}, Case{3, 0, 127, 127, false},
          Case{4, 0, 0, 0, true}, Case{4, 1, 0, 0, true}, Case{0, 9, 9, 9, false}, Case{5, 9, 9, 9, false}}) {
        SCOPED_TRACE(std::to_string(c.model) + " " + std::to_string(c.major) + "." + std::to_string(c.minor) +
                     "." + std::to_string(c.patch));
        EXPECT_EQ(FeatureGate::tuningFeaturesAllowed(c.model, c.major, c.minor, c.patch), c.allowed);
    }
    EXPECT_TRUE(FeatureGate::firmwareUpdateAllowed(1));
    EXPECT_TRUE(FeatureGate::firmwareUpdateAllowed(2));
    EXPECT_TRUE(FeatureGate::firmwareUpdateAllowed(3));
    EXPECT_FALSE(FeatureGate::firmwareUpdateAllowed(4));
}

TEST(BankChoices, ItemsPerModelAndPort) {
    const Names tenBanks = {"Factory Bank", "Bank 1", "Bank 2", "Bank 3", "Bank 4",
                            "Bank 5",       "Bank 6", "Bank 7", "Bank 8", "Bank 9"};
    EXPECT_EQ(BankChoices::items(1, "Pellandor"), tenBanks);
    EXPECT_EQ(BankChoices::items(3, "Velmor"), tenBanks);
    EXPECT_EQ(BankChoices::items(7, "Other"), tenBanks);
    EXPECT_EQ(BankChoices::items(4, "ORVANE"),
              (Names{"Factory Bank", "Bank 1", "Bank 2", "Bank 3", "Layers"}));
    EXPECT_EQ(BankChoices::items(2, "Toskar MK2"), (Names{"WBTL", "FT", "GN", "Bank 1", "Bank 2", "Bank 3",
                                                          "Bank 4", "Bank 5", "Bank 6", "Bank 7", "Bank 8"}));
    EXPECT_EQ(BankChoices::items(2, "Toskar MK1").front(), "HV");
    EXPECT_EQ(BankChoices::items(2, "Toskar").front(), "HV");
    EXPECT_EQ(BankChoices::items(2, "Toskar MK1").size(), 11u);
}
