#pragma once
// The core's one exception hierarchy. The binding layer maps each kind to a Python exception in
// one table; the message is the text callers see.
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

namespace orvane {

class Failure : public std::runtime_error {
public:
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// A failure reported as PanicException: input the computation cannot take (a fixed text callers
// match on) or a violated invariant.
class InternalFailure : public Failure {
public:
    using Failure::Failure;
};

// A caller-facing input error (ValueError).
class InvalidArgument : public Failure {
public:
    using Failure::Failure;
};

// The caller's stop check asked the computation to end; whoever installed the check knows why.
class Stopped : public Failure {
public:
    Stopped() : Failure("stopped") {}
};

// Memory that could not be had (MemoryError); the text says what was being built and how large.
// A bad_alloc, so code that already handles exhausted memory handles this one too.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message)
        : message_(std::make_shared<const std::string>(std::move(message))) {}
    const char* what() const noexcept override { return message_->c_str(); }

private:
    std::shared_ptr<const std::string> message_;  // shared: copying a bad_alloc cannot throw
};

[[noreturn]] inline void raise_internal_failure(const std::string& message) {
    throw InternalFailure(message);
}

// Text of a failed index check, as reported for slices.
[[noreturn]] inline void fail_index(std::size_t index, std::size_t len) {
    raise_internal_failure("index out of bounds: the len is " + std::to_string(len) +
                           " but the index is " + std::to_string(index));
}

}  // namespace orvane
