// The callable type of every exported function.
#pragma once

#include "export.hpp"

namespace ashvigil {

// Creates the type once per process; false with an exception set.
bool ready_function_type() noexcept;
// Creates the function object for one table row; new reference.
Ref make_function(const Export& row) noexcept;

// Calls `fn` when it is an ashvigil function and the positional arguments already have the exact
// types of its parameters: its body runs without a second pass through the binder. False, with
// nothing called, when that does not apply.
bool call_own_function(PyObject* fn, PyObject* const* args, size_t nargs, Ref& result) noexcept;

}  // namespace ashvigil
