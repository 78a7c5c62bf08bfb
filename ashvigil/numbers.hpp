// Native reading and writing of the plain number texts the module meets on every subnet, giving
// exactly what the host's float(), int(), str() and format() give; anything else is left to them.
#pragma once

#include "ref.hpp"

namespace ashvigil {

// float(text) for an unsigned ASCII decimal ("0.25", "5.", ".5", "1e-05"); false, with nothing
// set, for any other text (signs, blanks, underscores, words, other digits), which the host reads.
bool plain_real(PyObject* text, double& out) noexcept;

// int(text) for one to eighteen ASCII digits; false, with nothing set, for any other text.
bool plain_integer(PyObject* text, long long& out) noexcept;

// The most decimals fixed_text() writes (the host's own formatting takes no more either).
inline constexpr long kMaxFixedDecimals = 100;

// format(x, ".<decimals>f") for a finite x and 0 <= decimals <= kMaxFixedDecimals; empty, with nothing set,
// when the host has to do it, or with MemoryError set. New reference.
Ref fixed_text(double x, long decimals) noexcept;

// str(x) (the shortest text that reads back to x) for a finite x; empty, with nothing set,
// otherwise, or with MemoryError set. New reference.
Ref real_text(double x) noexcept;

}  // namespace ashvigil
