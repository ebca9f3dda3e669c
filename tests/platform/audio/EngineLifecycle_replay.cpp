// Replays the engine lifecycle fuzzer's inputs (testing/lifecycle/EngineLifecycle.h): the regression
// inputs, each a fault it found once, and fresh inputs from fixed seeds. Built apart from the other
// tests: it counts what the rendering thread does, for its whole binary.
#include "testing/lifecycle/EngineLifecycle.h"
#include "testing/lifecycle/RenderThreadCounts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Under ThreadSanitizer an input takes about four times as long: it replays a quarter of the inputs.
#if defined(__SANITIZE_THREAD__)
constexpr int kShare = 4;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kShare = 4;
#else
constexpr int kShare = 1;
#endif
#else
constexpr int kShare = 1;
#endif

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The counts the rendering rules rest on: a counter that counts nothing would pass every input.
TEST(EngineLifecycle, TheRenderingThreadsCallsAreCounted) {
    renderthread::resetCounts();
    auto outside = std::make_unique<int>(1);
    EXPECT_EQ(renderthread::counts(), renderthread::Counts{});
    {
        renderthread::RenderingScope rendering;
        auto inside = std::make_unique<int>(2);
    }
    EXPECT_EQ(renderthread::counts().allocations, 2); // the allocation and its free
    if (renderthread::countsBlockingAndFileCalls()) {
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        {
            renderthread::RenderingScope rendering;
            EXPECT_EQ(::write(::fileno(file), "x", 1), 1);
        }
        std::fclose(file);
        EXPECT_EQ(renderthread::counts().fileCalls, 1);
    }
    renderthread::resetCounts();
}

TEST(EngineLifecycle, RegressionInputsKeepEveryRule) {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(SONABEL_ENGINE_LIFECYCLE_CORPUS))
        inputs.push_back(entry.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty());
    for (const auto& path : inputs) {
        const auto bytes = readFile(path);
        const auto broken = lifecycle::runEngineLifecycle(bytes.data(), bytes.size());
        EXPECT_FALSE(broken) << path.filename().string() << ": " << *broken;
    }
}

// Inputs of every length up to the fuzzer's usual ones, the same on every run: many short ones, a few
// long ones, each batch a test of its own.
struct Batch {
    std::uint32_t seed;
    int inputs;
    std::size_t longest;
};

void PrintTo(const Batch& batch, std::ostream* out) {
    *out << batch.inputs / kShare << " inputs of up to " << batch.longest << " bytes";
}

class SeededInputs : public ::testing::TestWithParam<Batch> {};

TEST_P(SeededInputs, KeepEveryRule) {
    const Batch batch = GetParam();
    std::mt19937 random(batch.seed);
    for (int i = 0; i < batch.inputs / kShare; ++i) {
        std::vector<std::uint8_t> bytes(random() % (batch.longest + 1));
        for (auto& b : bytes)
            b = std::uint8_t(random());
        const auto broken = lifecycle::runEngineLifecycle(bytes.data(), bytes.size());
        ASSERT_FALSE(broken) << "seed " << batch.seed << ", input " << i << ": " << *broken;
    }
}

INSTANTIATE_TEST_SUITE_P(EngineLifecycle, SeededInputs,
                         ::testing::Values(Batch{1, 800, 24}, Batch{2, 120, 128}, Batch{3, 20, 512}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

} // namespace
