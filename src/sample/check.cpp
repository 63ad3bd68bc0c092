// Out-of-line construction of internal failures (cold path).
#include "sample/check.hpp"

namespace tarnwick {

[[gnu::cold, gnu::noinline]] void fail(std::string message, std::source_location where) {
    throw InternalError(std::move(message), where);
}

}  // namespace tarnwick
