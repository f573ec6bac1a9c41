#pragma once
// Bounds checks shared by the selection strategies, with the texts callers see.
#include <cstddef>
#include <string>

#include "src/common/failure.hpp"

namespace orvane {

inline void check_selected_sample(std::size_t index, std::size_t n) {
    if (index >= n) {
        raise_internal_failure("The index of the selected_sample (" + std::to_string(index) +
                               ") is bigger than the number of samples (" + std::to_string(n) +
                               ")");
    }
}

inline void check_candidate_index(std::size_t index, std::size_t n) {
    if (index >= n) {
        raise_internal_failure("The index of the candidate_index (" + std::to_string(index) +
                               ") is bigger than the number of samples (" + std::to_string(n) +
                               ")");
    }
}

}  // namespace orvane
