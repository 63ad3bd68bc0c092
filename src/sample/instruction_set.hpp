// Which vector instruction set the kernels use: what this build has, what the CPU runs, and what
// the TARNWICK_SIMD environment variable asks for.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace tarnwick {

/// The kernel versions a build may contain. Every version computes exactly the same values.
enum class InstructionSet { baseline, avx2, avx512, neon };

/// "baseline", "avx2", "avx512" or "neon".
std::string_view name(InstructionSet set);

/// The value of TARNWICK_SIMD: one of the names above, or "auto" (nullopt), case-sensitive.
/// Anything else is treated as "auto" too.
std::optional<InstructionSet> parse_instruction_set(std::string_view text);

/// True when this build contains kernels for the set and the CPU (and OS) can run them.
bool is_usable(InstructionSet set);

/// The usable sets, best first; baseline is always the last one.
std::span<const InstructionSet> usable_instruction_sets();

/// The set for a request: the requested one when usable, otherwise the best usable one.
InstructionSet resolve_instruction_set(std::optional<InstructionSet> requested);

/// The set the kernels use, chosen once per process from TARNWICK_SIMD and the CPU.
InstructionSet active_instruction_set();

}  // namespace tarnwick
