// The host's JSON parser as the module reaches it: json.loads through the module's `json`.
#pragma once

#include "ref.hpp"

namespace ashvigil {

// json.loads(text) through the module's `json`, with json.JSONDecodeError as an answer rather
// than a failure: Parsed with `value` set, NotJson (the error's text in `*message` when asked
// for, nothing pending), or Failed with the exception set.
enum class Parse { Parsed, NotJson, Failed };
Parse parse_json(PyObject* text, Ref& value, Ref* message = nullptr) noexcept;

// The host's json.loads as the module found it at import (borrowed; null before). A native
// reader may stand in for it only while the module's `json.loads` is still this function.
PyObject* imported_json_loads() noexcept;
bool remember_json_loads() noexcept;

}  // namespace ashvigil
