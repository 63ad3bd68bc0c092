// Components of the strong pixels from their runs along rows, joined in a union-find, then dealt
// into bundles largest first.
#include "detector/components.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <utility>

#include "parallel/pool.hpp"
#include "sample/check.hpp"

namespace tarnwick::detector {
namespace {

// Consecutive listed pixels of one row: indices [begin, end).
struct Run {
    PixelIndex begin;
    PixelIndex end;
    std::uint32_t row;
};

std::vector<Run> runs_of(const std::vector<PixelIndex>& pixels, std::uint32_t width) {
    std::vector<Run> runs;
    runs.reserve(pixels.size() / 4);
    for (std::size_t i = 0; i < pixels.size();) {
        const PixelIndex begin = pixels[i];
        const std::uint32_t row = begin / width;
        const std::uint64_t row_end = (std::uint64_t{row} + 1) * width;
        PixelIndex end = begin + 1;
        for (++i; i < pixels.size() && pixels[i] == end && end < row_end; ++i) ++end;
        runs.push_back({begin, end, row});
    }
    return runs;
}

// A union-find over numbered nodes (runs, or components of blocks) with their pixel counts. Every
// link points to a lower node, so a root is the lowest node of its tree, and one pass in ascending
// order resolves every node to its root.
class RunForest {
public:
    explicit RunForest(std::size_t nodes) : parent_(nodes), pixels_(nodes) {
        std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
    }

    void set_pixels(std::uint32_t node, std::uint32_t pixels) { pixels_[node] = pixels; }

    // Joins the node of a run of the row above with that of a run of the row below. Most nodes
    // below meet their first run above while still roots (numbered after every node above): they
    // link straight to its root.
    void join_below(std::uint32_t above, std::uint32_t below) {
        const std::uint32_t a = root(above);
        if (parent_[below] == below) {
            parent_[below] = a;
            return;
        }
        const std::uint32_t b = root(below);
        if (a < b) parent_[b] = a;
        else if (b < a) parent_[a] = b;
    }

    // Afterwards every node's parent is its root, and every root holds its tree's pixels.
    void flatten() {
        for (std::size_t node = 0; node < parent_.size(); ++node) {
            const std::uint32_t root = parent_[parent_[node]];
            parent_[node] = root;
            if (root != node) pixels_[root] += pixels_[node];
        }
    }

    std::uint32_t parent(std::size_t node) const { return parent_[node]; }
    std::size_t size() const { return parent_.size(); }
    // After flatten, a root's count is its tree's.
    std::uint32_t pixels(std::size_t node) const { return pixels_[node]; }
    bool is_root(std::size_t node) const { return parent_[node] == node; }

private:
    std::uint32_t root(std::uint32_t node) {
        while (parent_[node] != node) node = parent_[node] = parent_[parent_[node]];
        return node;
    }

    std::vector<std::uint32_t> parent_;
    std::vector<std::uint32_t> pixels_;
};

// Joins the runs of a row with those of the row below that touch them, diagonally included.
// Both lists ascend; node_above(i) and node_below(i) give the forest's nodes of their runs.
template <typename NodeAbove, typename NodeBelow>
void join_rows(RunForest& forest, std::span<const Run> above, NodeAbove node_above,
               std::span<const Run> below, NodeBelow node_below, std::uint32_t width) {
    std::size_t next = 0;
    for (std::size_t b = 0; b < below.size(); ++b) {
        // Shifted one row down, a run above touches [begin, end) when it covers a column in
        // [begin - 1, end].
        const std::uint64_t begin = below[b].begin, end = below[b].end;
        while (next < above.size() && std::uint64_t{above[next].end} + width < begin) ++next;
        for (std::size_t a = next; a < above.size() && std::uint64_t{above[a].begin} + width <= end; ++a)
            forest.join_below(node_above(a), node_below(b));
    }
}

// The runs of the first row of a block's list, and of its last.
std::span<const Run> first_row(std::span<const Run> runs) {
    std::size_t n = 0;
    while (n < runs.size() && runs[n].row == runs[0].row) ++n;
    return runs.first(n);
}
std::span<const Run> last_row(std::span<const Run> runs) {
    std::size_t n = 0;
    while (n < runs.size() && runs[runs.size() - 1 - n].row == runs.back().row) ++n;
    return runs.last(n);
}

// One block's runs and their components, found on the block's own thread: a forest over the
// block's runs alone stays in cache.
struct BlockComponents {
    std::vector<Run> runs;
    std::vector<std::uint32_t> component;  // of each run, numbered from 0 in the block
    std::vector<std::uint32_t> pixels;     // of each component

    BlockComponents(const std::vector<PixelIndex>& listed, std::uint32_t width) : runs(runs_of(listed, width)) {
        RunForest forest(runs.size());
        for (std::size_t run = 0; run < runs.size(); ++run)
            forest.set_pixels(static_cast<std::uint32_t>(run), runs[run].end - runs[run].begin);
        std::span<const Run> above;
        std::size_t first_above = 0;
        for (std::size_t i = 0; i < runs.size();) {
            const std::span<const Run> row = first_row(std::span<const Run>(runs).subspan(i));
            if (!above.empty() && above.back().row + 1 == row[0].row)
                join_rows(forest, above, [&](std::size_t a) { return static_cast<std::uint32_t>(first_above + a); },
                          row, [&](std::size_t b) { return static_cast<std::uint32_t>(i + b); }, width);
            above = row;
            first_above = i;
            i += row.size();
        }
        forest.flatten();
        component.resize(runs.size());
        for (std::size_t run = 0; run < runs.size(); ++run) {
            if (forest.is_root(run)) {
                component[run] = static_cast<std::uint32_t>(pixels.size());
                pixels.push_back(forest.pixels(run));
            } else {
                component[run] = component[forest.parent(run)];  // a lower run, numbered already
            }
        }
    }
};

// Components by size, largest first, each to the bundle with the fewest pixels so far. Those
// below a sixteenth of a bundle's share follow unsorted: being small, they even out the rest
// without the cost of sorting thousands of them.
std::vector<std::uint8_t> deal(const RunForest& forest, std::size_t bundles, std::vector<std::uint64_t>& loads) {
    std::vector<std::uint32_t> sizes(forest.size(), 0);  // of the components, at their roots
    for (std::size_t node = 0; node < sizes.size(); ++node)
        if (forest.is_root(node)) sizes[node] = forest.pixels(node);
    const std::uint64_t total = std::accumulate(sizes.begin(), sizes.end(), std::uint64_t{0});
    const std::uint64_t large = total / (16 * bundles);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> largest;  // (size, root)
    for (std::size_t root = 0; root < sizes.size(); ++root)
        if (sizes[root] > large) largest.emplace_back(sizes[root], static_cast<std::uint32_t>(root));
    std::sort(largest.begin(), largest.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::uint8_t> bundle_of(sizes.size(), 0);
    loads.assign(bundles, 0);
    auto give = [&](std::uint32_t root) {
        const auto lightest = static_cast<std::uint8_t>(std::min_element(loads.begin(), loads.end()) - loads.begin());
        bundle_of[root] = lightest;
        loads[lightest] += sizes[root];
    };
    for (const auto& component : largest) give(component.second);
    for (std::size_t root = 0; root < sizes.size(); ++root)
        if (sizes[root] != 0 && sizes[root] <= large) give(static_cast<std::uint32_t>(root));
    return bundle_of;
}

}  // namespace

std::size_t bundle_components(StrongPixels& strong, std::uint32_t width, std::size_t bundles) {
    check(width > 0, "bundle_components: an image has columns");
    bundles = std::min(bundles, MAX_BUNDLES);
    strong.bundles.clear();
    if (bundles < 2) return 0;
    const std::size_t blocks = strong.pixels.size();
    std::vector<std::optional<BlockComponents>> parts(blocks);
    parallel::for_each_row(blocks, [&](std::size_t block) { parts[block].emplace(strong.pixels[block], width); });
    // The blocks' components become the nodes of one forest, block after block.
    std::vector<std::uint32_t> first_node(blocks + 1, 0);
    for (std::size_t block = 0; block < blocks; ++block) {
        check(parts[block]->pixels.size() <= UINT32_MAX - first_node[block], "bundle_components: too many components");
        first_node[block + 1] = first_node[block] + static_cast<std::uint32_t>(parts[block]->pixels.size());
    }
    RunForest forest(first_node[blocks]);
    auto node_of = [&](std::size_t block, std::size_t run) { return first_node[block] + parts[block]->component[run]; };
    for (std::size_t block = 0; block < blocks; ++block)
        for (std::size_t c = 0; c < parts[block]->pixels.size(); ++c)
            forest.set_pixels(first_node[block] + static_cast<std::uint32_t>(c), parts[block]->pixels[c]);
    // Across blocks, in order: the last listed row before a block may be the row above its first.
    std::size_t above = blocks;  // the last block with runs so far
    for (std::size_t block = 0; block < blocks; ++block) {
        const std::vector<Run>& runs = parts[block]->runs;
        if (runs.empty()) continue;
        if (above != blocks) {
            const std::vector<Run>& runs_above = parts[above]->runs;
            const std::span<const Run> last = last_row(runs_above), first = first_row(runs);
            check(last[0].row < first[0].row, "bundle_components: blocks must hold whole rows in order");
            const std::size_t first_of_last = runs_above.size() - last.size();
            if (last[0].row + 1 == first[0].row)
                join_rows(forest, last, [&](std::size_t a) { return node_of(above, first_of_last + a); }, first,
                          [&](std::size_t b) { return node_of(block, b); }, width);
        }
        above = block;
    }
    forest.flatten();

    std::vector<std::uint64_t> loads;
    const std::vector<std::uint8_t> bundle_of = deal(forest, bundles, loads);
    // Walking bundles at once pays only when no bundle holds most of the pixels.
    const std::uint64_t total = std::accumulate(loads.begin(), loads.end(), std::uint64_t{0});
    if (total == 0 || *std::max_element(loads.begin(), loads.end()) * 3 > total * 2) return 0;

    strong.bundles.resize(blocks);
    parallel::for_each_row(blocks, [&](std::size_t block) {
        std::vector<std::uint8_t>& of_pixels = strong.bundles[block];
        of_pixels.resize(strong.pixels[block].size());
        std::uint8_t* next = of_pixels.data();
        const std::vector<Run>& runs = parts[block]->runs;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::size_t length = runs[i].end - runs[i].begin;
            std::memset(next, bundle_of[forest.parent(node_of(block, i))], length);
            next += length;
        }
    });
    return bundles;
}

}  // namespace tarnwick::detector
