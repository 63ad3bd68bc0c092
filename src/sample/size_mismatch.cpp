// Text form of SizeMismatch.
#include "sample/size_mismatch.hpp"

namespace tarnwick {

std::string to_string(const SizeMismatch& error) {
    return "SizeMismatch { expected: " + std::to_string(error.expected) +
           ", got: " + std::to_string(error.got) + " }";
}

}  // namespace tarnwick
