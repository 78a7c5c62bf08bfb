#include "text.hpp"
#include "host.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace ashvigil {

Ref decode_utf8(PyObject* data) noexcept {
    if (PyBytes_CheckExact(data))
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), "strict"));
    Ref encoding = str("utf-8");
    return encoding ? call_method(data, "decode", {encoding.get()}) : Ref();
}

Ref str(std::string_view utf8) noexcept {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref str(const std::u32string& text) noexcept {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool append_code_points(std::u32string& out, PyObject* s) {
    if (PyUnicode_READY(s) < 0) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    if (kind == PyUnicode_1BYTE_KIND) {
        auto* p = static_cast<const Py_UCS1*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    } else if (kind == PyUnicode_2BYTE_KIND) {
        auto* p = static_cast<const Py_UCS2*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    } else {
        auto* p = static_cast<const Py_UCS4*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    }
    return true;
}

Ref text_form(PyObject* obj) noexcept {
    return Ref::steal(PyObject_Str(obj));
}

bool append_text_form(std::u32string& out, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return append_code_points(out, obj);
    Ref s = text_form(obj);
    return s && append_code_points(out, s.get());
}

void append_ascii(std::u32string& out, std::string_view ascii) {
    for (char c : ascii) out.push_back(static_cast<unsigned char>(c));
}

void TextBuilder::widen(int kind) {
    std::string wider(units_.size() / kind_ * kind, '\0');
    const size_t n = units_.size() / kind_;
    for (size_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind_, units_.data(), i);
        PyUnicode_WRITE(kind, wider.data(), i, c);
    }
    units_ = std::move(wider);
    kind_ = kind;
}

bool TextBuilder::append(PyObject* s) {
    if (PyUnicode_READY(s) < 0) return false;
    const int kind = PyUnicode_KIND(s);
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (n == 0) return true;
    if (kind > kind_) widen(kind);
    max_ = std::max(max_, static_cast<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(s)));
    const void* data = PyUnicode_DATA(s);
    if (kind == kind_) {
        units_.append(static_cast<const char*>(data), n * kind);
        return true;
    }
    const size_t base = units_.size() / kind_;
    units_.resize(units_.size() + n * kind_);
    for (size_t i = 0; i < n; ++i) PyUnicode_WRITE(kind_, units_.data(), base + i, PyUnicode_READ(kind, data, i));
    return true;
}

bool TextBuilder::append_text_form(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return append(obj);
    if (PyLong_CheckExact(obj)) {  // subnet ids: decimal digits, as str() gives them
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0) {  // an exact int cannot fail the conversion otherwise
            char digits[24];
            append_ascii(std::string_view(
                digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits)));
            return true;
        }
    }
    Ref s = text_form(obj);
    return s && append(s.get());
}

void TextBuilder::append_ascii(std::string_view ascii) {
    if (kind_ == 1) {
        units_.append(ascii);
        max_ = std::max<Py_UCS4>(max_, 0x7F);
        return;
    }
    for (char c : ascii) append_char(static_cast<unsigned char>(c));
}

void TextBuilder::append_char(Py_UCS4 c) {
    const int kind = c < 0x100 ? 1 : c < 0x10000 ? 2 : 4;
    if (kind > kind_) widen(kind);
    // The storage class a character needs: what PyUnicode_New picks from the largest one.
    max_ = std::max<Py_UCS4>(max_, c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF);
    units_.resize(units_.size() + kind_);
    PyUnicode_WRITE(kind_, units_.data(), units_.size() / kind_ - 1, c);
}

Ref TextBuilder::build() const noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(units_.size() / kind_);
    Ref s = Ref::steal(PyUnicode_New(n, max_));
    if (s && n > 0) std::memcpy(PyUnicode_DATA(s.get()), units_.data(), units_.size());
    return s;
}

}  // namespace ashvigil
