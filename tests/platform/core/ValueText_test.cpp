#include "platform/core/ValueText.h"

#include <gtest/gtest.h>

#include <clocale>

using platform::describe;

TEST(ValueText, NumbersPrintAsTheSystemDid) {
    EXPECT_EQ(describe(44100.0), "44100.0");
    EXPECT_EQ(describe(0.1), "0.1");
    EXPECT_EQ(describe(-2.5), "-2.5");
    EXPECT_EQ(describe(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(describe(0.0), "0.0");
    EXPECT_EQ(describe(1e16), "1e+16");
    EXPECT_EQ(describe(2.5f), "2.5");
    EXPECT_EQ(describe(-10845), "-10845");
    EXPECT_EQ(describe(std::uint8_t{200}), "200");
    EXPECT_EQ(describe(true), "true");
}

TEST(ValueText, OptionalsArraysAndStrings) {
    EXPECT_EQ(describe(std::optional<int>{}), "nil");
    EXPECT_EQ(describe(std::optional<int>{3}), "3");
    EXPECT_EQ(describe(std::vector<int>{2, 3}), "[2, 3]");
    EXPECT_EQ(describe(std::vector<int>{}), "[]");
    EXPECT_EQ(describe(std::vector<std::string>{"a", "b"}), "[\"a\", \"b\"]");
    EXPECT_EQ(describe(std::string("text")), "text");
    EXPECT_EQ(describe("text"), "text");
    EXPECT_EQ(describe(std::nullopt), "nil");
}

TEST(ValueText, DoesNotDependOnTheLocale) {
    const char* old = std::setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") || std::setlocale(LC_ALL, "fr_FR.UTF-8")) {
        EXPECT_EQ(describe(0.5), "0.5");
    }
    std::setlocale(LC_ALL, saved.c_str());
}
