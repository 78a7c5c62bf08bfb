// The callable type of every exported function.
#pragma once

#include "export.hpp"

#include <initializer_list>

namespace ashvigil {

// Creates the type once per process; false with an exception set.
bool ready_function_type() noexcept;
// Creates the function object for one table row; new reference.
Ref make_function(const Export& row) noexcept;

// Calls `fn` when it is an ashvigil function and the positional arguments already have the exact
// types of its parameters: its body runs without a second pass through the binder. False, with
// nothing called, when that does not apply.
bool call_own_function(PyObject* fn, PyObject* const* args, size_t nargs, Ref& result) noexcept;

// Calls the module global `name`, as module code would call a sibling function: directly when it
// is still one of the module's own functions (see call_own_function); new reference.
Ref call_global(const char* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) noexcept;

}  // namespace ashvigil
