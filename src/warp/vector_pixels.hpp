// The resampler's pixel loop written once for every vector instruction set: Ops supplies the
// lane operations. Included only by the per-set sources, and everything here has internal
// linkage: an inline function with external linkage compiled for a wider instruction set could be
// picked by the linker for baseline callers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "warp/pixel_kernels.hpp"

namespace tarnwick::warp {
namespace {

// Each output pixel's four neighbours are read as two horizontal pairs, (x0, y0)-(x1, y0) and
// (x0, y1)-(x1, y1), each pair from 64-bit loads at fixed byte offsets from the pair's first
// sample. One byte shuffle per sample moves it into a 64-bit lane of its own. Instruction sets
// that convert 64-bit integers to doubles in one step do so; for the others every load leaves one
// 16-bit word unused, the kernel puts the exponent of 2^52 there, and the shuffle turns a sample
// into the bits of 2^52 + sample, which becomes the sample as a double after one exact
// subtraction.
//
// The vector path only takes pixels with x0 <= width - 2 and y0 <= height - 2, so both pairs lie
// inside the source; the loads below stay inside it too.
template <typename T>
struct PairLoads;

// Three bytes per pixel: the top pair is read from its start (the two bytes after it belong to
// the next pixel or the next row, which exists), the bottom pair from two bytes before its start
// (a previous row exists), so that no load runs past the end of the source.
template <>
struct PairLoads<std::uint8_t> {
    static constexpr int count = 1;
    static constexpr int offset[2][1] = {{0}, {-2}};
    static constexpr int spare_word[2][1] = {{3}, {0}};
    static constexpr int sample_bytes = 1;
    // The load and the byte of channel c of the left (0) or right (1) pixel of the top (0) or
    // bottom (1) pair.
    static constexpr int load(int, int) { return 0; }
    static constexpr int byte(int pair, int side, int c) { return (pair ? 2 : 0) + 3 * side + c; }
};

// Six bytes per pixel: two loads per pair, from its start and four bytes later, cover exactly the
// pair's twelve bytes.
template <>
struct PairLoads<std::uint16_t> {
    static constexpr int count = 2;
    static constexpr int offset[2][2] = {{0, 4}, {0, 4}};
    static constexpr int spare_word[2][2] = {{3, 0}, {3, 0}};
    static constexpr int sample_bytes = 2;
    static constexpr int load(int, int side) { return side; }
    static constexpr int byte(int, int side, int c) { return 2 * (side + c); }
};

// Instruction sets with a word permutation across two registers (AVX-512) read the pair of a
// pixel with 16-bit samples, twelve bytes, in one 16-byte load into a 128-bit lane instead, four
// pixels to a register, and one permutation of two such registers per sample moves the sample of
// all eight pixels into 64-bit lanes of their own and clears the other words: half the loads, and
// far fewer instructions that assemble them into registers. The top pair is read from its start
// (the four bytes after it belong to the next pixel or the next row, which exists), the bottom
// pair from four bytes before its start (a previous row exists).
struct WholePairLoads {
    static constexpr int offset[2] = {0, -4};
    // The word of channel c of the left (0) or right (1) pixel within the top (0) or bottom (1)
    // pair's sixteen bytes.
    static constexpr int word(int pair, int side, int c) { return (pair ? 2 : 0) + 3 * side + c; }
};

template <typename Ops, typename T>
constexpr bool reads_whole_pairs = Ops::template WHOLE_PAIRS<T>;

// The registers that hold the top (or the bottom) pairs of one vector's pixels.
template <typename Ops, typename T>
constexpr int pair_registers = reads_whole_pairs<Ops, T> ? 2 : PairLoads<T>::count;

// The byte shuffle, per 64-bit lane, that moves one sample to the low bytes, clears the bytes in
// between and keeps the spare word, where the exponent is, in the top bytes; or clears those too
// for instruction sets that convert 64-bit integers to doubles in one step.
template <typename T>
constexpr std::uint64_t sample_shuffle(int pair, int side, int c, bool exponent) {
    using Loads = PairLoads<T>;
    constexpr std::uint64_t CLEAR = 0x80;
    const int first = Loads::byte(pair, side, c);
    const int spare = 2 * Loads::spare_word[pair][Loads::load(pair, side)];
    std::uint64_t control = 0;
    for (int k = 0; k < 8; ++k) {
        std::uint64_t from = k < Loads::sample_bytes ? std::uint64_t(first + k)
                             : k >= 6 && exponent   ? std::uint64_t(spare + k - 6)
                                                    : CLEAR;
        control |= from << (8 * k);
    }
    return control;
}

// A byte shuffle indexes within 128 bits: the second 64-bit lane of each reads 8 bytes further on.
constexpr std::uint64_t in_second_lane(std::uint64_t control) {
    std::uint64_t shifted = control;
    for (int k = 0; k < 8; ++k)
        if (!(control >> (8 * k) & 0x80)) shifted += std::uint64_t{8} << (8 * k);
    return shifted;
}

// The twelve shuffles of one sample type, [pair][side][channel], each for both 64-bit lanes of
// 128 bits.
template <typename T>
struct SampleShuffles {
    std::uint64_t control[2][2][3][2];
};

template <typename T>
constexpr SampleShuffles<T> sample_shuffles(bool exponent) {
    SampleShuffles<T> shuffles{};
    for (int pair = 0; pair < 2; ++pair)
        for (int side = 0; side < 2; ++side)
            for (int c = 0; c < 3; ++c) {
                const std::uint64_t control = sample_shuffle<T>(pair, side, c, exponent);
                shuffles.control[pair][side][c][0] = control;
                shuffles.control[pair][side][c][1] = in_second_lane(control);
            }
    return shuffles;
}

// What the integer classification takes from v: its floor as a byte offset of the top pair's row,
// its fraction, and whether the floor is below the last row.
template <typename Ops>
struct RowFloors {
    typename Ops::Double v;
    typename Ops::Double fraction;
    typename Ops::Lanes offset;
    typename Ops::Mask interior;
};

// Since the last row's index is an integer, v >= 0 and v < max_y together say that floor(v), as
// an unsigned integer, is below it; Ops::floor gives negative, NaN, infinite and huge positions
// values above every index. One integer comparison does the work of two ordered ones, and the
// floor is the integer part besides. The same holds for u and the last column.
template <typename Ops>
[[gnu::always_inline]] inline RowFloors<Ops> row_floors(typename Ops::Double v,
                                                        std::uint32_t row_bytes,
                                                        std::uint64_t last_row) {
    const typename Ops::Lanes y0 = Ops::floor(v);
    return {v, Ops::fraction(v), Ops::times(y0, row_bytes), Ops::below_lanes(y0, last_row)};
}

// What every vector of one run of pixels shares.
template <typename Ops, typename T>
struct RunConstants {
    using Double = typename Ops::Double;
    using Lanes = typename Ops::Lanes;

    RunConstants(const Source<T>& source, const ColumnTable& columns, RowTerms row)
        : samples(reinterpret_cast<const unsigned char*>(source.samples)),
          row_bytes(static_cast<std::uint32_t>(source.width * 3 * sizeof(T))),
          row_u(Ops::broadcast(row.u)),
          row_v(Ops::broadcast(row.v)),
          row_w(Ops::broadcast(row.w)),
          max_x(Ops::broadcast(source.max_x)),
          max_y(Ops::broadcast(source.max_y)),
          // Division by exactly 1 changes no bit, and affine maps have W = 1 everywhere.
          divide(!(columns.w_zero && row.w == 1.0)),
          last_column(source.width - 1),
          last_row(source.height - 1),
          same_v(Ops::INTEGER_FLOORS && columns.v_same_along_rows()) {
        if constexpr (Ops::INTEGER_FLOORS) {
            // V and W are the row's terms plus a zero in every column, so every pixel's v is this
            // one, or differs from it only in the sign of a zero or of an infinity, which no sample
            // shows: a zero floors to row 0 with fraction 0, and an infinity comes with an
            // infinite u, outside either way.
            if (same_v)
                same_row = row_floors<Ops>(divide ? Ops::div(row_v, row_w) : row_v, row_bytes, last_row);
        }
        static constexpr SampleShuffles<T> SHUFFLES = sample_shuffles<T>(!Ops::CONVERTS_INTEGERS);
        for (int pair = 0; pair < 2; ++pair)
            for (int side = 0; side < 2; ++side)
                for (int c = 0; c < 3; ++c)
                    if constexpr (reads_whole_pairs<Ops, T>)
                        shuffles[pair][side][c] =
                            Ops::whole_pair_control(WholePairLoads::word(pair, side, c));
                    else
                        shuffles[pair][side][c] = Ops::shuffle_control(
                            SHUFFLES.control[pair][side][c][0], SHUFFLES.control[pair][side][c][1]);
    }

    const unsigned char* samples;
    std::uint32_t row_bytes;
    Double row_u, row_v, row_w, max_x, max_y;
    bool divide;
    std::uint64_t last_column, last_row;
    // Where neither V nor W depends on the column (vertical keystones, affine maps without
    // rotation), every pixel of the row has the same v: its floor, fraction and test are taken
    // once per row, and each vector divides only for u.
    bool same_v;
    RowFloors<Ops> same_row;
    Lanes shuffles[2][2][3];
};

// Where the pixels of one vector sample the source: for the interior lanes, the byte offset of
// the top pair (the integer parts of the position) and the fractional parts; the other lanes have
// offset 0, which the blend reads harmlessly, and their blends never reach the output: the store
// masks them, or, where Ops::outside_as_nan makes their fractions NaN, truncates them to zeros.
// Then the masks of both kinds of lane.
template <typename Ops>
struct Located {
    typename Ops::Lanes at;
    typename Ops::Double fx;
    typename Ops::Double fy;
    typename Ops::Mask interior;  // inside, with x0 <= width - 2 and y0 <= height - 2
    unsigned edge;                // inside, on the last column or row
};

// The lanes of a vector that are inside the source but not interior. Ordered comparisons: NaN
// positions (W = 0 among them) are not inside, and leave zeros, as the formula's NaN weights do.
// Infinite positions fail.
template <typename Ops, typename T>
[[gnu::always_inline]] inline unsigned edge_lanes(const RunConstants<Ops, T>& k,
                                                  typename Ops::Double u, typename Ops::Double v,
                                                  typename Ops::Mask interior) {
    // Only a vector with lanes that are not interior can have lanes on the last column or row.
    if (Ops::bits(interior) == (1u << Ops::LANES) - 1) return 0;
    const typename Ops::Double zero = Ops::broadcast(0.0);
    const typename Ops::Mask inside =
        Ops::both(Ops::both(Ops::at_least(u, zero), Ops::at_most(u, k.max_x)),
                  Ops::both(Ops::at_least(v, zero), Ops::at_most(v, k.max_y)));
    return Ops::bits(inside) & ~Ops::bits(interior);
}

// Pixels x .. x + LANES - 1 of the row; SAME_V when the row's v is the same for every pixel.
template <bool SAME_V, typename Ops, typename T>
[[gnu::always_inline]] inline Located<Ops> locate(const RunConstants<Ops, T>& k,
                                                  const ColumnTable& columns, std::size_t x) {
    using Double = typename Ops::Double;
    using Lanes = typename Ops::Lanes;
    using Mask = typename Ops::Mask;
    Double u = Ops::add(k.row_u, Ops::load(columns.u + x));
    if constexpr (Ops::INTEGER_FLOORS) {
        RowFloors<Ops> y;
        if constexpr (SAME_V) {
            if (k.divide) u = Ops::div(u, k.row_w);
            y = k.same_row;
        } else {
            const Double w = Ops::add(k.row_w, Ops::load(columns.w + x));
            Double v = Ops::add(k.row_v, Ops::load(columns.v + x));
            if (k.divide) {
                u = Ops::div(u, w);
                v = Ops::div(v, w);
            }
            y = row_floors<Ops>(v, k.row_bytes, k.last_row);
        }
        const Lanes x0 = Ops::floor(u);
        const Mask interior = Ops::both(Ops::below_lanes(x0, k.last_column), y.interior);
        return {Ops::keep_lanes(interior, Ops::plus(y.offset, Ops::times(x0, 3 * sizeof(T)))),
                Ops::outside_as_nan(interior, Ops::fraction(u)), y.fraction, interior,
                edge_lanes(k, u, y.v, interior)};
    } else {
        static_assert(!SAME_V);
        const Double w = Ops::add(k.row_w, Ops::load(columns.w + x));
        Double v = Ops::add(k.row_v, Ops::load(columns.v + x));
        if (k.divide) {
            u = Ops::div(u, w);
            v = Ops::div(v, w);
        }
        const Double zero = Ops::broadcast(0.0);
        const Mask interior = Ops::both(Ops::both(Ops::at_least(u, zero), Ops::below(u, k.max_x)),
                                        Ops::both(Ops::at_least(v, zero), Ops::below(v, k.max_y)));
        const unsigned edge = edge_lanes(k, u, v, interior);
        u = Ops::keep(interior, u);
        v = Ops::keep(interior, v);
        // u >= 0, so truncation is floor.
        const Lanes offset = Ops::plus(Ops::times(Ops::whole(v), k.row_bytes),
                                       Ops::times(Ops::whole(u), 3 * sizeof(T)));
        return {offset, Ops::sub(u, Ops::truncate(u)), Ops::sub(v, Ops::truncate(v)), interior,
                edge};
    }
}

// The bilinear weights of one vector's fractions.
template <typename Ops>
struct Weights {
    typename Ops::Double w10, w00, w01, w11;
};

template <typename Ops>
[[gnu::always_inline]] inline Weights<Ops> weights(const double* fx_at, const double* fy_at) {
    using Double = typename Ops::Double;
    const Double fx = Ops::load(fx_at);
    const Double fy = Ops::load(fy_at);
    const Double one = Ops::broadcast(1.0);
    const Double gx = Ops::sub(one, fx);
    const Double gy = Ops::sub(one, fy);
    return {Ops::mul(fx, gy), Ops::mul(gx, gy), Ops::mul(gx, fy), Ops::mul(fx, fy)};
}

// One vector's neighbour samples, read ahead of the arithmetic that needs them, and its weights
// too where Ops::WEIGHTS_AHEAD says so.
template <typename Ops, typename T>
struct Neighbours {
    using Lanes = typename Ops::Lanes;
    Weights<Ops> weights;
    Lanes top[pair_registers<Ops, T>];
    Lanes bottom[pair_registers<Ops, T>];
};

// The samples of the pairs that start at byte offsets at.
template <typename Ops, typename T>
[[gnu::always_inline]] inline Neighbours<Ops, T> neighbours(const RunConstants<Ops, T>& k,
                                                            const std::uint64_t* at) {
    using Loads = PairLoads<T>;
    Neighbours<Ops, T> n;
    if constexpr (reads_whole_pairs<Ops, T>) {
        Ops::whole_pairs(k.samples + WholePairLoads::offset[0], at, n.top);
        Ops::whole_pairs(k.samples + k.row_bytes + WholePairLoads::offset[1], at, n.bottom);
        return n;
    }
    for (int i = 0; i < Loads::count; ++i) {
        n.top[i] = Ops::gather(k.samples + Loads::offset[0][i], at);
        n.bottom[i] = Ops::gather(k.samples + k.row_bytes + Loads::offset[1][i], at);
        if constexpr (!Ops::CONVERTS_INTEGERS) {
            n.top[i] = Ops::with_exponent(n.top[i], Loads::spare_word[0][i]);
            n.bottom[i] = Ops::with_exponent(n.bottom[i], Loads::spare_word[1][i]);
        }
    }
    return n;
}

// The blends of the interior lanes, stored with zeros in the other lanes.
template <typename Ops, typename T>
[[gnu::always_inline]] inline void blend(const RunConstants<Ops, T>& k,
                                         const Neighbours<Ops, T>& n, const Weights<Ops>& w,
                                         typename Ops::Mask interior, T* out) {
    using Double = typename Ops::Double;
    using Lanes = typename Ops::Lanes;
    using Loads = PairLoads<T>;
    auto channel = [&](int c) {
        auto sample = [&](const Lanes* loads, int pair, int side) {
            if constexpr (reads_whole_pairs<Ops, T>)
                return Ops::whole_pair_sample(loads, k.shuffles[pair][side][c]);
            else
                return Ops::sample(loads[Loads::load(pair, side)], k.shuffles[pair][side][c]);
        };
        // Separate roundings in this order are part of the result's definition.
        Double s = Ops::add(Ops::mul(w.w10, sample(n.top, 0, 1)),
                            Ops::mul(w.w00, sample(n.top, 0, 0)));
        s = Ops::add(s, Ops::mul(w.w01, sample(n.bottom, 1, 0)));
        s = Ops::add(s, Ops::mul(w.w11, sample(n.bottom, 1, 1)));
        return Ops::add(s, Ops::broadcast(0.5));
    };
    const Double values[3] = {channel(0), channel(1), channel(2)};
    Ops::store_pixels(out, values, interior);
}

// The positions of a run of up to RUN consecutive pixels of a row.
template <typename Ops>
struct RunPositions {
    static constexpr std::size_t RUN = 64;
    static constexpr std::size_t VECTORS = RUN / Ops::LANES;
    static_assert(RUN % Ops::LANES == 0);

    // Per pixel, the fractional parts of the position and the byte offset of the top pair: the
    // integer parts are taken while the positions are at hand in vectors, and the loads then
    // read the offsets from memory instead of moving them lane by lane into scalar registers.
    alignas(64) double fx[RUN];
    alignas(64) double fy[RUN];
    alignas(64) std::uint64_t at[RUN];
    typename Ops::Mask interior[VECTORS];
    std::size_t blended[VECTORS];  // the vectors with interior lanes, in order
    std::size_t count;             // how many
    std::uint64_t edges;           // one bit per pixel of the run
    std::size_t first;             // the run's first column
    std::size_t vectors;           // whole vectors in the run

    void start(std::size_t first_column, std::size_t end) {
        first = first_column;
        vectors = (end - first > RUN ? RUN : end - first) / Ops::LANES;
        edges = 0;
        count = 0;
    }
    // A vector without interior lanes is written as zeros at once.
    template <bool SAME_V, typename T>
    void find(const RunConstants<Ops, T>& k, const ColumnTable& columns, std::size_t i,
              T* row_out) {
        const std::size_t x = first + i * Ops::LANES;
        const Located<Ops> p = locate<SAME_V>(k, columns, x);
        Ops::store(fx + i * Ops::LANES, p.fx);
        Ops::store(fy + i * Ops::LANES, p.fy);
        Ops::store_lanes(at + i * Ops::LANES, p.at);
        interior[i] = p.interior;
        edges |= std::uint64_t{p.edge} << (i * Ops::LANES);
        blended[count] = i;
        if (Ops::bits(p.interior) != 0) {
            ++count;
        } else {
            const typename Ops::Double zeros[3] = {Ops::broadcast(0.0), Ops::broadcast(0.0),
                                                   Ops::broadcast(0.0)};
            Ops::store_pixels(row_out + x * 3, zeros, p.interior);
        }
    }
};

// Runs of up to 64 pixels, each in two passes: positions, then blends. The positions of the next
// run are found while this run blends, so that the divisions of the one and the loads of the
// other overlap instead of making each vector wait on its own chain of latencies. Then, outside
// the vector loops, the pixels on the last column or row and the few left over after the last
// whole vector go through the portable path, which computes the same positions for them.
template <bool SAME_V, typename Ops, typename T>
void warp_runs(const RunConstants<Ops, T>& k, const Source<T>& source, const ColumnTable& columns,
               RowTerms row, std::size_t begin, std::size_t end, T* row_out) {
    constexpr std::size_t LANES = Ops::LANES;
    using Run = RunPositions<Ops>;
    const ColumnTable local_columns = columns;
    Run runs[2];
    Run* current = &runs[0];
    Run* next = &runs[1];
    current->start(begin, end);
    for (std::size_t i = 0; i < current->vectors; ++i)
        current->template find<SAME_V>(k, local_columns, i, row_out);
    for (;;) {
        const std::size_t done = current->first + current->vectors * LANES;
        const bool more = current->vectors == Run::VECTORS && done < end;
        if (more) next->start(done, end);
        // The vectors with interior lanes are blended with their samples gathered one vector
        // ahead, so that the arithmetic rarely waits.
        const std::size_t* const blended = current->blended;
        const std::size_t count = current->count;
        auto weights_of = [&](std::size_t i) {
            return weights<Ops>(current->fx + i * LANES, current->fy + i * LANES);
        };
        auto gather = [&](std::size_t i) {
            Neighbours<Ops, T> n = neighbours(k, current->at + i * LANES);
            if constexpr (Ops::WEIGHTS_AHEAD) n.weights = weights_of(i);
            return n;
        };
        Neighbours<Ops, T> ahead;
        if (count != 0) ahead = gather(blended[0]);
        auto blend_one = [&](std::size_t j) {
            const Neighbours<Ops, T> now = ahead;
            if (j + 1 < count) ahead = gather(blended[j + 1]);
            const std::size_t i = blended[j];
            blend(k, now, Ops::WEIGHTS_AHEAD ? now.weights : weights_of(i), current->interior[i],
                  row_out + (current->first + i * LANES) * 3);
        };
        auto find_one = [&](std::size_t j) {
            next->template find<SAME_V>(k, local_columns, j, row_out);
        };
        // Each blend paired with a find of the next run while both last, then whichever is left.
        const std::size_t finds = more ? next->vectors : 0;
        const std::size_t pairs = finds < count ? finds : count;
        std::size_t j = 0;
        for (; j < pairs; ++j) {
            find_one(j);
            blend_one(j);
        }
        for (std::size_t f = j; f < finds; ++f) find_one(f);
        for (; j < count; ++j) blend_one(j);
        for (std::uint64_t edges = current->edges; edges != 0; edges &= edges - 1) {
            const std::size_t x = current->first + static_cast<std::size_t>(__builtin_ctzll(edges));
            warp_pixels_baseline(source, columns, row, x, x + 1, row_out);
        }
        if (!more) {
            if (done < end) warp_pixels_baseline(source, columns, row, done, end, row_out);
            return;
        }
        Run* const finished = current;
        current = next;
        next = finished;
    }
}

// The loop is compiled twice, so that rows whose v changes along them do not pay for a test of
// the other kind in every vector.
template <typename Ops, typename T>
void warp_pixels_vector(const Source<T>& source, const ColumnTable& columns, RowTerms row,
                        std::size_t begin, std::size_t end, T* row_out) {
    const RunConstants<Ops, T> k(source, columns, row);
    if constexpr (Ops::INTEGER_FLOORS) {
        if (k.same_v) return warp_runs<true>(k, source, columns, row, begin, end, row_out);
    }
    warp_runs<false>(k, source, columns, row, begin, end, row_out);
}

}  // namespace
}  // namespace tarnwick::warp
