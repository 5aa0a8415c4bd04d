// Errors are values inside the engine: a fallible operation returns either its
// value or an Error. Only the outermost message ever reaches a Python caller;
// `cause` keeps the underlying reason (an OS error text, say) for debugging.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace tarnwik {

struct Error {
    std::string message;
    std::string cause;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message, std::string cause = {}) {
    return std::unexpected<Error>(Error{std::move(message), std::move(cause)});
}

}  // namespace tarnwik
