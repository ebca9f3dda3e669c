#pragma once
// Support for the tests that run against the kernel's sequencer (*_kernel_test.cpp; scripts/test
// runs them in a guest, scripts/run-in-guest). Where there is no sequencer they skip, except
// where SONABEL_KERNEL_TESTS=required (the guest), where nothing may skip: they fail.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace kerneltest {

inline bool required() {
    const char* value = std::getenv("SONABEL_KERNEL_TESTS");
    return value && std::string_view(value) == "required";
}

// Skips the test (or fails it, where the kernel must be there) unless `condition` holds.
#define KERNEL_TEST_NEEDS(condition, why)                                                                    \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            if (::kerneltest::required()) FAIL() << why;                                                     \
            GTEST_SKIP() << why;                                                                             \
        }                                                                                                    \
    } while (0)

// SysEx of `length` bytes with the data bytes 00-7F counting up.
inline std::vector<std::uint8_t> sevenBitSysEx(std::size_t length) {
    std::vector<std::uint8_t> m(length);
    for (std::size_t i = 0; i < length; ++i)
        m[i] = static_cast<std::uint8_t>(i % 128);
    m.front() = 0xF0;
    m.back() = 0xF7;
    return m;
}

} // namespace kerneltest
