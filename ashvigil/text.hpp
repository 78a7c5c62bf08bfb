// Building and reading texts: new strs, code points, and strs in their narrowest storage.
#pragma once

#include "ref.hpp"

#include <string>
#include <string_view>

namespace ashvigil {

// New str from UTF-8 bytes.
Ref str(std::string_view utf8) noexcept;
// New str from code points.
Ref str(const std::u32string& text) noexcept;
// Appends the code points of an exact or derived str; false with an exception set on failure.
bool append_code_points(std::u32string& out, PyObject* s);
// The host's text form, str(obj); new reference.
Ref text_form(PyObject* obj) noexcept;
// Appends str(obj) as code points.
bool append_text_form(std::u32string& out, PyObject* obj);
// Appends ASCII text as code points.
void append_ascii(std::u32string& out, std::string_view ascii);
// bytes.decode("utf-8"), strict; new reference.
Ref decode_utf8(PyObject* data) noexcept;

// Builds a str in the narrowest storage its pieces need (one byte a character for ASCII and
// Latin-1, then two, then four), so the common texts are never widened to four bytes a character.
class TextBuilder {
public:
    // Appends an exact or derived str; false with an exception set on failure.
    bool append(PyObject* s);
    // Appends str(obj).
    bool append_text_form(PyObject* obj);
    void append_ascii(std::string_view ascii);
    void append_char(Py_UCS4 c);
    Ref build() const noexcept;

private:
    void widen(int kind);
    std::string units_;  // code units of kind_ bytes each
    int kind_ = 1;
    Py_UCS4 max_ = 0;
};

}  // namespace ashvigil
