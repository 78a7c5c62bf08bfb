// How the module reaches the host: its namespace, names looked up at call time, and calls.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace ashvigil {

// The module's namespace (borrowed; the module keeps it alive for the process).
PyObject* module_namespace() noexcept;
void set_module_namespace(PyObject* dict) noexcept;

// The interned str of a constant name or text (a string literal: it is found again by its
// address), made on first use and kept for the process, so lookups reuse its cached hash instead
// of building a new object each call (borrowed; nullptr with an exception set when it cannot be
// made).
PyObject* constant_str(const char* text) noexcept;

// New reference to a module global, looked up at call time; NameError when missing.
Ref global(const char* name) noexcept;
// New reference to global `first` followed by attribute lookups, e.g. {"urllib", "request", "urlopen"}.
Ref host_path(std::initializer_list<const char*> names) noexcept;

// The most arguments call() and call_method() pass: their argument stacks have this fixed size.
inline constexpr std::size_t kMaxCallArgs = 8;
// Calls `fn` with up to kMaxCallArgs arguments (borrowed), the last ones named by `kwnames`;
// new reference.
Ref call(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) noexcept;
// The tuple of keyword names that ends a call's arguments, e.g. {"timeout"}; new reference.
Ref keyword_names(std::initializer_list<const char*> names) noexcept;

// obj.<name>, with the name interned (the host's attribute cache keeps the names it has seen);
// new reference.
Ref attr(PyObject* obj, const char* name) noexcept;
// obj.<name>(*args), without a bound method object; new reference.
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {}) noexcept;
// mapping.get(key[, fallback]): a lookup for an exact dict, the object's own `get` otherwise;
// new reference (None, or the fallback, when the key is absent).
Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept;
Ref get_item(PyObject* mapping, const char* key) noexcept;

// The host's truth of a call's result: 1 or 0, -1 when the call failed (an empty `obj`) or
// bool(obj) raised.
int truth(const Ref& obj) noexcept;

// time.sleep(seconds) through the module's `time`; false with an exception set.
bool sleep_for(double seconds) noexcept;

// One write of the whole text (a str) on the module's sys.stderr, without a flush.
bool write_stderr(PyObject* text) noexcept;

}  // namespace ashvigil
