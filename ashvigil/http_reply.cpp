#include "http_reply.hpp"
#include "host.hpp"
#include "text.hpp"

#include <charconv>

namespace ashvigil {

namespace {

// Asked for at each read; a read returns what one receive brings, so a slow reply is seen often.
constexpr Py_ssize_t kPieceBytes = 256 * 1024;

// The body length the reply's headers announce, as http.client judges it: -1 when it announces
// none (chunked, no or an unreadable Content-Length, a status that has no body), -2 on error.
long long announced_length(PyObject* reply) {
    Ref status = attr(reply, "status");
    if (!status) return -2;
    const long code = PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (code == -1 && PyErr_Occurred()) return -2;
    if ((code >= 100 && code < 200) || code == 204 || code == 304) return -1;
    Ref headers = attr(reply, "headers");
    Ref chunked = headers ? get_item(headers.get(), "Transfer-Encoding") : Ref();
    Ref length = chunked ? get_item(headers.get(), "Content-Length") : Ref();
    if (!length) return -2;
    if (chunked.get() != Py_None || !PyUnicode_Check(length.get())) return -1;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(length.get(), &size);
    if (!text) return -2;
    long long n = -1;
    auto [end, ec] = std::from_chars(text, text + size, n);
    return ec == std::errc() && end == text + size && n >= 0 ? n : -1;
}

// http.client.IncompleteRead(partial, missing), raised as reading the whole body raises it.
bool set_incomplete(PyObject* partial, long long missing) {
    Ref client = Ref::steal(PyImport_ImportModule("http.client"));
    Ref error_type = client ? attr(client.get(), "IncompleteRead") : Ref();
    Ref count = error_type ? Ref::steal(PyLong_FromLongLong(missing)) : Ref();
    Ref error = count ? call(error_type.get(), {partial, count.get()}) : Ref();
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return false;
}

// The whole body within the bounds, from reply.read1() (one receive a call); new reference.
// A reply without read1 is read whole and its size judged afterwards.
Ref read_bounded(PyObject* reply, const ReplyBounds& bounds) {
    Ref read1 = attr(reply, "read1");
    if (!read1) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();  // the AttributeError of this lookup only
        Ref body = call_method(reply, "read");
        const Py_ssize_t size = body ? PyObject_Size(body.get()) : -1;
        if (size < 0) return {};
        if (size <= bounds.max_bytes) return body;
        PyErr_Format(PyExc_OSError, "reply body over %zd bytes, the most that is read", bounds.max_bytes);
        return {};
    }
    Ref pieces = Ref::steal(PyList_New(0));
    Ref want = pieces ? Ref::steal(PyLong_FromSsize_t(kPieceBytes)) : Ref();
    if (!want) return {};
    Py_ssize_t total = 0;
    for (;;) {
        if (!before_deadline(bounds)) return {};
        Ref piece = call(read1.get(), {want.get()});
        const Py_ssize_t size = piece ? PyObject_Size(piece.get()) : -1;
        if (size < 0) return {};
        if (size == 0) break;
        total += size;
        if (total > bounds.max_bytes) {
            PyErr_Format(PyExc_OSError, "reply body over %zd bytes, the most that is read", bounds.max_bytes);
            return {};
        }
        if (PyList_Append(pieces.get(), piece.get()) < 0) return {};
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref body = empty ? call_method(empty.get(), "join", {pieces.get()}) : Ref();
    const long long announced = body ? announced_length(reply) : -2;
    if (announced == -2) return {};
    if (announced > total) return set_incomplete(body.get(), announced - total) ? Ref() : Ref();
    return body;
}

}  // namespace

bool before_deadline(const ReplyBounds& bounds) noexcept {
    if (std::chrono::steady_clock::now() < bounds.deadline) return true;
    PyErr_Format(PyExc_TimeoutError, "no whole reply within %ld seconds", bounds.seconds);
    return false;
}

Ref read_reply_text(PyObject* reply, const ReplyBounds* bounds) noexcept {
    Ref body = bounds ? read_bounded(reply, *bounds) : call_method(reply, "read");
    Ref text = body ? decode_utf8(body.get()) : Ref();
    if (!close_after(reply)) return {};
    return text;
}

Ref error_body_text(PyObject* error, const ReplyBounds* bounds) noexcept {
    int has_body = truth(attr(error, "fp"));
    if (has_body < 0) return {};
    return has_body ? read_reply_text(error, bounds) : str("");
}

}  // namespace ashvigil
