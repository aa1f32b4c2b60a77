// Failures are values: every internal operation yields its result or one
// message, and the message travels up unchanged to the exported function.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace pytovrik {

struct Failure {
    std::string message;
};

template <class T>
using Outcome = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(std::string message) {
    return std::unexpected<Failure>(Failure{std::move(message)});
}

}  // namespace pytovrik
