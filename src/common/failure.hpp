#pragma once
// The one exception type for violated invariants inside the core. The binding layer turns it
// into PanicException; its text is the message callers see.
#include <stdexcept>
#include <string>

namespace orvane {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void fail(const std::string& message) { throw InternalFailure(message); }

// Text of a failed index check, as reported for slices.
[[noreturn]] inline void fail_index(std::size_t index, std::size_t len) {
    fail("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index));
}

}  // namespace orvane

namespace orvane {

// A caller-facing input error (the binding layer raises ValueError with this text).
class InvalidArgument : public std::invalid_argument {
public:
    explicit InvalidArgument(const std::string& message) : std::invalid_argument(message) {}
};

}  // namespace orvane
