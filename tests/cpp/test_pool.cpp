// The process-wide pool and its row loop: coverage of rows, concurrency, errors, and sizing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "parallel/pool.hpp"

namespace {

using namespace tarnwick::parallel;

// Runs a loop that counts visits per row; every count must be exactly 1 afterwards.
void expect_each_row_once(std::size_t rows) {
    std::vector<std::atomic<int>> visits(rows);
    for_each_row(rows, [&](std::size_t row) { visits[row] += 1; });
    for (std::size_t row = 0; row < rows; ++row)
        ASSERT_EQ(visits[row].load(), 1) << "row " << row << " of " << rows;
}

// Sizes around the block split: none, one, fewer rows than threads, uneven remainders, many.
class RowLoop : public ::testing::TestWithParam<std::size_t> {};
TEST_P(RowLoop, VisitsEveryRowExactlyOnce) { expect_each_row_once(GetParam()); }
INSTANTIATE_TEST_SUITE_P(Sizes, RowLoop,
                         ::testing::Values(0u, 1u, 2u, 3u, 7u, 8u, 9u, 63u, 1001u, 100000u));

// Callers never wait on each other's loops, and no loop sees another's rows.
TEST(RowLoopConcurrency, LoopsFromSeveralThreadsAllComplete) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &failures] {
            for (int loop = 0; loop < 40; ++loop) {
                const std::size_t rows = 1 + std::size_t((t * 131 + loop * 37) % 500);
                std::vector<std::size_t> out(rows, 0);
                for_each_row(rows, [&](std::size_t row) { out[row] = row * row + 1; });
                for (std::size_t row = 0; row < rows; ++row) failures += out[row] != row * row + 1;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// A row that runs a loop of its own, on a worker of the same pool, must not deadlock.
TEST(RowLoopConcurrency, NestedLoopInsideARowCompletes) {
    constexpr std::size_t kOuter = 16, kInner = 33;
    std::vector<std::atomic<int>> visits(kOuter * kInner);
    for_each_row(kOuter, [&](std::size_t outer) {
        for_each_row(kInner, [&](std::size_t inner) { visits[outer * kInner + inner] += 1; });
    });
    for (std::size_t i = 0; i < visits.size(); ++i) ASSERT_EQ(visits[i].load(), 1) << i;
}

struct RowFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The row's own exception reaches the caller, also through a nested loop, and the pool still runs
// every row of the next loop.
TEST(RowLoopErrors, ExceptionReachesTheCallerAndThePoolKeepsWorking) {
    for (std::size_t rows : {1u, 2u, 100u, 5000u}) {
        const std::size_t bad = rows / 2;
        try {
            for_each_row(rows, [&](std::size_t row) {
                if (row == bad) throw RowFailure("row " + std::to_string(row));
            });
            ADD_FAILURE() << "no exception for " << rows << " rows";
        } catch (const RowFailure& error) {
            EXPECT_EQ(std::string(error.what()), "row " + std::to_string(bad));
        }
        expect_each_row_once(257);
    }
    EXPECT_THROW(for_each_row(8, [](std::size_t outer) {
        for_each_row(8, [&](std::size_t inner) {
            if (outer == 5 && inner == 6) throw RowFailure("nested");
        });
    }), RowFailure);
    expect_each_row_once(50);
}

// Loops left to the helpers while the caller runs loops of its own: several at once, each row
// once, finished in any order or only by the destructor; a failing row reaches finish().
TEST(BackgroundLoops, EveryRowOnceWhileTheCallerWorksAndErrorsReachFinish) {
    auto counting = [](void* context, RowRange range) {
        auto& visits = *static_cast<std::vector<std::atomic<int>>*>(context);
        for (std::size_t row = range.begin; row < range.end; ++row) visits[row] += 1;
    };
    for (std::size_t rows : {0u, 1u, 2u, 7u, 64u, 1001u}) {
        std::vector<std::atomic<int>> first(rows), second(rows), third(rows);
        {
            BackgroundRows a(rows, RowBody{counting, &first});
            BackgroundRows b(rows, RowBody{counting, &second});
            {
                BackgroundRows c(rows, RowBody{counting, &third});  // only its destructor waits
                expect_each_row_once(rows + 3);
            }
            b.finish();
            a.finish();
        }
        for (auto* visits : {&first, &second, &third})
            for (std::size_t row = 0; row < rows; ++row) ASSERT_EQ((*visits)[row].load(), 1) << rows;
    }
    auto failing = [](void*, RowRange range) {
        if (range.begin <= 30 && 30 < range.end) throw RowFailure("row 30");
    };
    BackgroundRows loop(100, RowBody{failing, nullptr});
    EXPECT_THROW(loop.finish(), RowFailure);
    EXPECT_NO_THROW(loop.finish());  // reported once
    expect_each_row_once(257);
}

TEST(ThreadCount, ParsesOnlyPositiveDecimalIntegers) {
    for (auto [text, value] : {std::pair{"1", 1u}, {"4", 4u}, {"128", 128u}, {"+3", 3u}, {"007", 7u}})
        EXPECT_EQ(parse_thread_count(text), std::optional<std::size_t>(value)) << text;
    for (const char* text :
         {"0", "-3", "abc", "", " 4", "4x", "4 ", "2.5", "+", "+-3", "99999999999999999999999"})
        EXPECT_EQ(parse_thread_count(text), std::nullopt) << '"' << text << '"';
}

// RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the CPUs, then 1; a bad value falls through.
TEST(ThreadCount, SourcesAreTriedInOrderAndBadValuesFallThrough) {
    EXPECT_EQ(choose_pool_size("3", "5", 8), 3u);
    EXPECT_EQ(choose_pool_size(nullptr, "5", 8), 5u);
    EXPECT_EQ(choose_pool_size(nullptr, nullptr, 8), 8u);
    EXPECT_EQ(choose_pool_size(nullptr, nullptr, 0), 1u);
    for (const char* bad : {"0", "-3", "abc", "", " 4", "4x"}) {
        EXPECT_EQ(choose_pool_size(bad, "6", 8), 6u) << bad;
        EXPECT_EQ(choose_pool_size("2", bad, 8), 2u) << bad;
        EXPECT_EQ(choose_pool_size(bad, bad, 8), 8u) << bad;
        EXPECT_EQ(choose_pool_size(bad, nullptr, 0), 1u) << bad;
    }
    // Requests are capped at max(256, 4 x CPUs), so that no request can exhaust the process.
    EXPECT_EQ(choose_pool_size("4611686018427387904", nullptr, 2), 256u);
    EXPECT_EQ(choose_pool_size("18446744073709551615", nullptr, 0), 256u);
    EXPECT_EQ(choose_pool_size(nullptr, "3000", 100), 400u);
    EXPECT_EQ(choose_pool_size("256", nullptr, 1), 256u);
    EXPECT_EQ(pool_size_cap(SIZE_MAX), SIZE_MAX);
    // The pool itself is sized from the same sources, once.
    EXPECT_EQ(pool_size(), choose_pool_size(std::getenv("RAYON_NUM_THREADS"),
                                            std::getenv("RAYON_RS_NUM_CPUS"), available_cpus()));
}

}  // namespace
