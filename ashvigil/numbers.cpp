// Plain number texts, natively. std::from_chars and std::to_chars round correctly, as the host's
// own conversions do; the property tests hold them to the host's results.
#include "numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace ashvigil {

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The ASCII bytes of an exact str, or false when it has other characters.
bool ascii_view(PyObject* text, const char*& p, size_t& n) {
    if (!PyUnicode_CheckExact(text)) return false;
    // A str not yet in canonical form (old C API) is left to the host's own conversion.
    if (!PyUnicode_IS_READY(text) || !PyUnicode_IS_ASCII(text)) return false;
    p = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
    n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    return true;
}

// digits [. digits] with a digit on either side of the point, then [eE [+-] 1-4 digits].
bool plain_decimal_shape(const char* p, size_t n) {
    size_t i = 0, digits = 0;
    while (i < n && is_digit(p[i])) ++i, ++digits;
    if (i < n && p[i] == '.') {
        ++i;
        while (i < n && is_digit(p[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        ++i;
        if (i < n && (p[i] == '+' || p[i] == '-')) ++i;
        size_t start = i;
        while (i < n && is_digit(p[i])) ++i;
        if (i == start || i - start > 4) return false;
    }
    return i == n;
}

Ref ascii_str(const char* p, size_t n) {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(n), 0x7F));
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s.get()), p, n);
    return s;
}

}  // namespace

bool plain_real(PyObject* text, double& out) noexcept {
    const char* p;
    size_t n;
    if (!ascii_view(text, p, n) || !plain_decimal_shape(p, n)) return false;
    // Out of range (overflow to inf, underflow to 0) is left to the host, which decides it itself.
    auto r = std::from_chars(p, p + n, out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == p + n;
}

bool plain_integer(PyObject* text, long long& out) noexcept {
    const char* p;
    size_t n;
    if (!ascii_view(text, p, n) || n == 0 || n > 18) return false;
    long long value = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!is_digit(p[i])) return false;
        value = value * 10 + (p[i] - '0');
    }
    out = value;
    return true;
}

Ref fixed_text(double x, long decimals) noexcept {
    if (!std::isfinite(x) || decimals < 0 || decimals > kMaxFixedDecimals) return {};
    char buffer[512];  // 309 integer digits, a sign, a point and 100 decimals at most
    auto r = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::fixed, static_cast<int>(decimals));
    if (r.ec != std::errc()) return {};
    return ascii_str(buffer, static_cast<size_t>(r.ptr - buffer));
}

namespace {

Ref shortest_text(double x) noexcept;

}  // namespace

Ref real_text(double x) noexcept {
    if (!std::isfinite(x)) return {};
    // A listing repeats a handful of rates across its subnets: the last texts made are kept, by
    // the double's bits (strs are immutable, so handing one out twice is unobservable).
    struct Kept {
        uint64_t bits;
        PyObject* text;  // strong reference, kept for the process
    };
    static Kept kept[64];
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    Kept& slot = kept[(bits ^ (bits >> 29) ^ (bits >> 47)) & 63];
    if (slot.text && slot.bits == bits) return Ref::borrow(slot.text);
    Ref text = shortest_text(x);
    if (text) {
        Py_XSETREF(slot.text, Py_NewRef(text.get()));
        slot.bits = bits;
    }
    return text;
}

namespace {

Ref shortest_text(double x) noexcept {
    // The shortest digits in scientific form, then laid out as the host's repr lays them out:
    // positional for decimal exponents -4 to 15 (with ".0" for a whole number), else d.ddde±XX.
    char sci[64];
    auto r = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    if (r.ec != std::errc()) return {};
    const char* end = r.ptr;
    const bool negative = sci[0] == '-';
    char digits[32];
    size_t n = 0;
    const char* e = sci + (negative ? 1 : 0);
    for (; e < end && *e != 'e'; ++e)
        if (*e != '.') digits[n++] = *e;
    if (e + 2 >= end) return {};
    int exponent = 0;
    for (const char* p = e + 2; p < end; ++p) exponent = exponent * 10 + (*p - '0');
    if (e[1] == '-') exponent = -exponent;

    char out[64];
    size_t len = 0;
    if (negative) out[len++] = '-';
    if (exponent >= -4 && exponent <= 15) {
        const int point = exponent + 1;  // digits before the point
        if (point <= 0) {
            out[len++] = '0';
            out[len++] = '.';
            for (int i = 0; i < -point; ++i) out[len++] = '0';
            for (size_t i = 0; i < n; ++i) out[len++] = digits[i];
        } else if (static_cast<size_t>(point) >= n) {
            for (size_t i = 0; i < n; ++i) out[len++] = digits[i];
            for (size_t i = n; i < static_cast<size_t>(point); ++i) out[len++] = '0';
            out[len++] = '.';
            out[len++] = '0';
        } else {
            for (size_t i = 0; i < n; ++i) {
                if (i == static_cast<size_t>(point)) out[len++] = '.';
                out[len++] = digits[i];
            }
        }
    } else {
        out[len++] = digits[0];
        if (n > 1) {
            out[len++] = '.';
            for (size_t i = 1; i < n; ++i) out[len++] = digits[i];
        }
        out[len++] = 'e';
        out[len++] = exponent < 0 ? '-' : '+';
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out[len++] = '0';
        auto w = std::to_chars(out + len, out + sizeof out, magnitude);
        len = static_cast<size_t>(w.ptr - out);
    }
    return ascii_str(out, len);
}

}  // namespace

}  // namespace ashvigil
