// Reservations whose size comes from the host's request: a count no
// allocation can hold fails the request instead of ending the process.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "common/outcome.hpp"

namespace pytovrik {

template <class T>
Outcome<std::vector<T>> vector_with_capacity(std::uint64_t count, const char* what) {
    std::vector<T> values;
    try {
        values.reserve(count);
    } catch (const std::exception&) {
        return fail(std::string("failed to allocate ") + what + " for " + std::to_string(count) + " entries");
    }
    return values;
}

}  // namespace pytovrik
