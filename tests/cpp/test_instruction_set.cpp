// Choosing a kernel version: names round-trip, requests fall back to what the CPU can run.
#include <gtest/gtest.h>

#include <algorithm>

#include "sample/instruction_set.hpp"

namespace {

using tarnwick::InstructionSet;

constexpr InstructionSet ALL[] = {InstructionSet::baseline, InstructionSet::avx2,
                                  InstructionSet::avx512, InstructionSet::neon};

TEST(InstructionSet, NamesRoundTripAndAnythingElseMeansAuto) {
    for (InstructionSet set : ALL) EXPECT_EQ(tarnwick::parse_instruction_set(name(set)), set);
    for (const char* text : {"auto", "", "AVX2", "sse4", " avx2", "avx512f"})
        EXPECT_EQ(tarnwick::parse_instruction_set(text), std::nullopt) << text;
}

TEST(InstructionSet, RequestsResolveToUsableSetsBestFirst) {
    auto usable = tarnwick::usable_instruction_sets();
    ASSERT_FALSE(usable.empty());
    EXPECT_EQ(usable.back(), InstructionSet::baseline);
    EXPECT_EQ(tarnwick::resolve_instruction_set(std::nullopt), usable.front());
    for (InstructionSet set : ALL) {
        bool listed = std::find(usable.begin(), usable.end(), set) != usable.end();
        EXPECT_EQ(tarnwick::is_usable(set), listed) << name(set);
        // A set the CPU cannot run falls back to the best one it can, never to a crash.
        EXPECT_EQ(tarnwick::resolve_instruction_set(set), listed ? set : usable.front())
            << name(set);
    }
    EXPECT_TRUE(tarnwick::is_usable(tarnwick::active_instruction_set()));
}

}  // namespace
