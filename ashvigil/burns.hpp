// Owner burn values, the burn state file and change detection.
#pragma once

#include "module.hpp"

namespace ashvigil {

// Bodies of the state-file functions (bound arguments in parameter order).
PyObject* load_burn_state_body(PyObject* const* args);
PyObject* save_burn_state_body(PyObject* const* args);

// Parses a real-number text with the host's float(); false with no exception when it is not one.
// Returns -1 when something other than a ValueError was raised.
int real_from_text(PyObject* text, double& out) noexcept;

}  // namespace ashvigil
