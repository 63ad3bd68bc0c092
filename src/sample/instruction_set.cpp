// Choosing the kernel version once per process, from the build, the CPU and TARNWICK_SIMD.
#include "sample/instruction_set.hpp"

#include <array>
#include <cstdlib>
#include <vector>

namespace tarnwick {
namespace {

// Whether this build compiled kernels for a set (the build defines these from the source names).
constexpr bool built_with(InstructionSet set) {
    switch (set) {
        case InstructionSet::baseline: return true;
#ifdef TARNWICK_HAVE_AVX2
        case InstructionSet::avx2: return true;
#endif
#ifdef TARNWICK_HAVE_AVX512
        case InstructionSet::avx512: return true;
#endif
#ifdef TARNWICK_HAVE_NEON
        case InstructionSet::neon: return true;
#endif
        default: return false;
    }
}

bool cpu_runs(InstructionSet set) {
    switch (set) {
        case InstructionSet::baseline: return true;
#if defined(__x86_64__) || defined(__i386__)
        // The runtime's checks include the OS's consent to save the wider registers (XCR0).
        case InstructionSet::avx2: return __builtin_cpu_supports("avx2");
        case InstructionSet::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
#endif
#if defined(__aarch64__)
        case InstructionSet::neon: return true;  // part of every AArch64 CPU
#endif
        default: return false;
    }
}

std::vector<InstructionSet> find_usable() {
    std::vector<InstructionSet> usable;
    for (InstructionSet set : {InstructionSet::avx512, InstructionSet::avx2, InstructionSet::neon,
                               InstructionSet::baseline})
        if (built_with(set) && cpu_runs(set)) usable.push_back(set);
    return usable;
}

}  // namespace

std::string_view name(InstructionSet set) {
    switch (set) {
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512: return "avx512";
        case InstructionSet::neon: return "neon";
        default: return "baseline";
    }
}

std::optional<InstructionSet> parse_instruction_set(std::string_view text) {
    for (InstructionSet set : {InstructionSet::baseline, InstructionSet::avx2,
                               InstructionSet::avx512, InstructionSet::neon})
        if (text == name(set)) return set;
    return std::nullopt;
}

bool is_usable(InstructionSet set) { return built_with(set) && cpu_runs(set); }

std::span<const InstructionSet> usable_instruction_sets() {
    static const std::vector<InstructionSet> usable = find_usable();
    return usable;
}

InstructionSet resolve_instruction_set(std::optional<InstructionSet> requested) {
    if (requested && is_usable(*requested)) return *requested;
    return usable_instruction_sets().front();
}

InstructionSet active_instruction_set() {
    static const InstructionSet active = [] {
        const char* text = std::getenv("TARNWICK_SIMD");
        return resolve_instruction_set(text ? parse_instruction_set(text) : std::nullopt);
    }();
    return active;
}

}  // namespace tarnwick
