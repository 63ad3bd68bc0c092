// Internal failures: broken invariants raised as one exception type with their source location.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace tarnwick {

/// A broken invariant inside a computing core. The Python layer turns it into PanicException.
class InternalError : public std::runtime_error {
public:
    InternalError(std::string message, std::source_location where)
        : std::runtime_error(std::move(message)), where_(where) {}
    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

/// Throws the InternalError; kept out of line so that checks stay cheap on the hot path.
[[noreturn]] void fail(std::string message,
                       std::source_location where = std::source_location::current());

/// Every invariant goes through here, so that every failure carries where it happened.
inline void check(bool condition, const char* message,
                  std::source_location where = std::source_location::current()) {
    if (!condition) [[unlikely]]
        fail(message, where);
}

}  // namespace tarnwick
