#include "http_reply.hpp"
#include "host.hpp"
#include "text.hpp"

namespace ashvigil {

Ref read_reply_text(PyObject* reply) noexcept {
    Ref body = call_method(reply, "read");
    Ref text = body ? decode_utf8(body.get()) : Ref();
    if (!close_after(reply)) return {};
    return text;
}

Ref error_body_text(PyObject* error) noexcept {
    int has_body = truth(attr(error, "fp"));
    if (has_body < 0) return {};
    return has_body ? read_reply_text(error) : str("");
}

}  // namespace ashvigil
