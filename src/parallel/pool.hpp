// The process-wide worker pool and the one row-parallel loop every stage uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

namespace tarnwick::parallel {

/// A contiguous range of rows, [begin, end).
struct RowRange {
    std::size_t begin;
    std::size_t end;
};

/// Type-erased body of a row loop: called with a range of rows, never concurrently for the same row.
struct RowBody {
    void (*call)(void* context, RowRange rows);
    void* context;
};

/// Runs body over [0, rows) on the process-wide pool and returns when every row is done. The
/// calling thread does the first row, then shares the rest with the helpers only when the loop is
/// worth a hand-off, and works on its own loop too, so concurrent callers never wait on each other.
/// An exception thrown by the body is rethrown here (the one from the lowest failing block);
/// rows not yet started when it happened are skipped.
void run_rows(std::size_t rows, RowBody body);

/// Calls row_fn(row) for every row in [0, rows) in parallel. Each row must depend only on inputs
/// that the loop does not change, so the result is independent of how rows are distributed.
template <typename RowFn>
void for_each_row(std::size_t rows, RowFn&& row_fn) {
    auto call = [](void* context, RowRange range) {
        auto& fn = *static_cast<std::remove_reference_t<RowFn>*>(context);
        for (std::size_t row = range.begin; row < range.end; ++row) fn(row);
    };
    run_rows(rows, RowBody{call, const_cast<void*>(static_cast<const void*>(&row_fn))});
}

/// How many blocks of block_rows rows (the last one shorter) cover [0, rows).
constexpr std::size_t block_count(std::size_t rows, std::size_t block_rows) {
    return rows / block_rows + (rows % block_rows != 0);
}

/// Calls block_fn(RowRange) for the block_count(rows, block_rows) consecutive blocks of
/// block_rows rows that cover [0, rows), in parallel: for stages that carry scratch state from one
/// row of a block to the next. The blocks do not depend on the number of threads.
template <typename BlockFn>
void for_each_row_block(std::size_t rows, std::size_t block_rows, BlockFn&& block_fn) {
    for_each_row(block_count(rows, block_rows), [&](std::size_t block) {
        const std::size_t begin = block * block_rows;
        block_fn(RowRange{begin, begin + std::min(block_rows, rows - begin)});
    });
}

struct Job;

/// Rows offered to the helpers while the calling thread goes on with other work. finish() does the
/// rows that no helper has taken and returns once every row is done; body and whatever it reads
/// must stay valid until then. Without a helper to spare, every row is left to finish().
class BackgroundRows {
public:
    BackgroundRows(std::size_t rows, RowBody body);
    /// Waits as finish() does; an exception from the body is dropped.
    ~BackgroundRows();
    BackgroundRows(const BackgroundRows&) = delete;
    BackgroundRows& operator=(const BackgroundRows&) = delete;

    /// Rethrows the exception from the lowest failing block; rows not yet started are skipped.
    void finish();

private:
    void wait() noexcept;

    std::unique_ptr<Job> job_;
    bool offered_ = false;
    bool done_ = false;
};

/// Marks the calling thread as busy with a computation for its lifetime. Loops are shared with
/// helpers only while fewer callers are busy than the pool has threads: several calls at once
/// already use the cores, and helpers would only make them take turns.
class BusyCaller {
public:
    BusyCaller() noexcept;
    ~BusyCaller();
    BusyCaller(const BusyCaller&) = delete;
    BusyCaller& operator=(const BusyCaller&) = delete;
};

/// Number of threads (the caller included) that loops use; creates the pool on first use. Fewer
/// than asked for when some could not be started.
std::size_t pool_size();

/// Whether a loop started now could have helpers: the pool has some, and fewer callers are busy
/// than it has threads.
bool helpers_to_spare();

/// Parses a positive decimal integer as the pool-size variables accept it; nullopt otherwise.
std::optional<std::size_t> parse_thread_count(std::string_view text);

/// The most threads a pool gets, whatever is asked: max(256, 4 x the usable CPUs, 0 = unknown = 1).
/// Far more threads than cores only adds switching, and a huge request must not exhaust the process.
std::size_t pool_size_cap(std::size_t cpus);

/// The pool size from its sources, in order: "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS" (each only
/// when it holds a positive decimal integer, capped by pool_size_cap), the CPUs available to the
/// process (0 = unknown), 1.
std::size_t choose_pool_size(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                             std::size_t available_cpus);

/// CPUs this process may run on: its affinity set, reduced by a cgroup CPU quota; 0 if unknown.
std::size_t available_cpus();

}  // namespace tarnwick::parallel
