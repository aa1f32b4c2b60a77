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

// Passes a failure up unchanged, in one line: `if (!x) return propagate(x);`
template <class T, class E>
std::unexpected<E> propagate(std::expected<T, E>& failed) {
    return std::unexpected<E>(std::move(failed.error()));
}
template <class T, class E>
std::unexpected<E> propagate(const std::expected<T, E>& failed) {
    return std::unexpected<E>(failed.error());
}

}  // namespace pytovrik
