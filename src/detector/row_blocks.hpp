// Fixed blocks of rows as the units of the parallel row loop, for stages that carry scratch rows
// from one row of a block to the next.
#pragma once

#include <algorithm>
#include <cstddef>

#include "parallel/pool.hpp"

namespace tarnwick::detector {

/// Calls block_fn(RowRange) for consecutive blocks of block_rows rows (the last one shorter) that
/// cover [0, rows), in parallel. The blocks do not depend on the number of threads.
template <typename BlockFn>
void for_each_row_block(std::size_t rows, std::size_t block_rows, BlockFn&& block_fn) {
    const std::size_t blocks = (rows + block_rows - 1) / block_rows;
    parallel::for_each_row(blocks, [&](std::size_t block) {
        const std::size_t begin = block * block_rows;
        block_fn(parallel::RowRange{begin, std::min(rows, begin + block_rows)});
    });
}

}  // namespace tarnwick::detector
