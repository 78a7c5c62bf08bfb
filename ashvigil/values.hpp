// Host values read the way Python code reads them: int() as a sort key, exact unpacking.
#pragma once

#include "ref.hpp"

namespace ashvigil {

// int(obj) as a sort key; compares natively when it fits in 64 bits. Exact ints compare
// without error, so sorting never calls back into failure paths.
class IntKey {
public:
    // False with the host's error when int(obj) fails.
    bool assign(PyObject* obj) noexcept;
    bool operator<(const IntKey& other) const noexcept;

private:
    Ref number_;  // held only beyond 64 bits
    long long small_ = 0;
    int overflow_ = 0;  // -1 or 1 beyond 64 bits, with the number's sign
};

// Unpacks `seq` into exactly `n` new references, as `a, b = seq` would; false with a
// ValueError ("too many values to unpack (expected n)", "need more than k values to unpack")
// or the iteration's own error.
bool unpack_exact(PyObject* seq, Ref* out, Py_ssize_t n) noexcept;

}  // namespace ashvigil
