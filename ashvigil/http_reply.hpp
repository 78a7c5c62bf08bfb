// Reading what the host's HTTP library hands back: a reply's body, and an HTTPError's.
#pragma once

#include "errors.hpp"

#include <chrono>

namespace ashvigil {

// The bounds of one exchange: no read of a reply body begins after `deadline`, and a body of
// more than `max_bytes` is not read further.
struct ReplyBounds {
    std::chrono::steady_clock::time_point deadline;
    long seconds;  // the length of the whole exchange, named in the TimeoutError
    Py_ssize_t max_bytes;
};

// Sets TimeoutError naming the exchange's length and returns false when the deadline has passed.
bool before_deadline(const ReplyBounds& bounds) noexcept;

// reply.read() decoded as UTF-8 (strict); the reply is closed on every path, as a finally
// clause would close it. With `bounds`, the body is read piece by piece within them (TimeoutError
// past the deadline, OSError naming the limit past the size), and a reply that ends short of its
// Content-Length fails with http.client.IncompleteRead as reading it whole would. New reference.
Ref read_reply_text(PyObject* reply, const ReplyBounds* bounds = nullptr) noexcept;

// The body an HTTPError carries, read and decoded as read_reply_text does when its body stream
// `fp` is present (truthy); the empty text when it carries none. New reference.
Ref error_body_text(PyObject* error, const ReplyBounds* bounds = nullptr) noexcept;

// With the host's HTTPError pending: takes it and, while it is being handled (so anything raised
// meanwhile has it as context), hands it with its body text to `result`, whose answer (a new
// reference, or nullptr with an exception set) is returned.
template <typename Result>
PyObject* from_http_error(Result result, const ReplyBounds* bounds = nullptr) noexcept {
    Ref error = take_exception();
    Handling handling(error.get());
    Ref body = error_body_text(error.get(), bounds);
    return body ? result(error.get(), body.get()) : nullptr;
}

}  // namespace ashvigil
