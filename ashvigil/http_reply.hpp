// Reading what the host's HTTP library hands back: a reply's body, and an HTTPError's.
#pragma once

#include "errors.hpp"

namespace ashvigil {

// reply.read() decoded as UTF-8 (strict); the reply is closed on every path, as a finally
// clause would close it. New reference.
Ref read_reply_text(PyObject* reply) noexcept;

// The body an HTTPError carries, read and decoded as read_reply_text does when its body stream
// `fp` is present (truthy); the empty text when it carries none. New reference.
Ref error_body_text(PyObject* error) noexcept;

// With the host's HTTPError pending: takes it and, while it is being handled (so anything raised
// meanwhile has it as context), hands it with its body text to `result`, whose answer (a new
// reference, or nullptr with an exception set) is returned.
template <typename Result>
PyObject* from_http_error(Result result) noexcept {
    Ref error = take_exception();
    Handling handling(error.get());
    Ref body = error_body_text(error.get());
    return body ? result(error.get(), body.get()) : nullptr;
}

}  // namespace ashvigil
