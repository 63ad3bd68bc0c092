// Building the pool when memory runs out part-way: every allocation from the k-th on fails, for
// each k in turn, in a fresh child process (a child forgets its parent's pool and builds its own).
// The pool must never free itself under helpers that already run, and must keep working.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "parallel/pool.hpp"

namespace {

// Allocations left before they start to fail; negative means never.
std::atomic<long> allocations_left{-1};

void* allocate(std::size_t size) {
    long left = allocations_left.load();
    while (left > 0 && !allocations_left.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 0) throw std::bad_alloc();
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using tarnwick::parallel::for_each_row;
using tarnwick::parallel::pool_size;

bool every_row_once(std::size_t rows) {
    std::vector<std::atomic<int>> visits(rows);
    for_each_row(rows, [&](std::size_t row) {
        // Enough work per row that the loop is shared with helpers.
        volatile double sink = 0.0;
        for (int i = 0; i < 20000; ++i) sink = sink + static_cast<double>(i);
        visits[row] += 1;
    });
    for (auto& count : visits)
        if (count.load() != 1) return false;
    return true;
}

// Exit status of a child that builds the pool with allocations failing from the k-th on.
// 0: the pool works afterwards; 1: it lost rows; 2: it has more threads than asked for;
// 128 + signal: it crashed or hung.
int build_pool_failing_from(long k) {
    pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a child stuck on a broken pool fails instead of hanging the test
        allocations_left = k;
        try {
            every_row_once(64);
        } catch (const std::bad_alloc&) {
            // Running out of memory may fail the first loop, but only the loop.
        }
        allocations_left = -1;
        int status = every_row_once(300) ? 0 : 1;
        if (pool_size() > 8) status = 2;
        usleep(20000);  // helpers that outlived a freed pool would touch it by now
        std::_Exit(status);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PoolUnderMemoryFaults, KeepsWorkingWithTheHelpersItCouldStart) {
    setenv("RAYON_NUM_THREADS", "8", 1);
    for (long k = 0; k < 60; ++k) EXPECT_EQ(build_pool_failing_from(k), 0) << "failing from " << k;
}

}  // namespace
