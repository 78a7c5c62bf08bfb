// Owned references and the ways the module reaches the host's facilities.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace ashvigil {

// Holds one strong reference; releases it when destroyed.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (nullptr allowed: an empty handle).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (a new reference).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The module's namespace (borrowed; the module keeps it alive for the process).
PyObject* module_namespace() noexcept;
void set_module_namespace(PyObject* dict) noexcept;

// The interned str of a constant name or text (a string literal: it is found again by its
// address), made on first use and kept for the process, so lookups reuse its cached hash instead
// of building a new object each call (borrowed; nullptr with an exception set when it cannot be
// made).
PyObject* constant_str(const char* text) noexcept;

// The host's json.loads as the module found it at import (borrowed; null before). A native
// reader may stand in for it only while the module's `json.loads` is still this function.
PyObject* imported_json_loads() noexcept;
bool remember_json_loads() noexcept;

// New reference to a module global, looked up at call time; NameError when missing.
Ref global(const char* name) noexcept;
// New reference to global `first` followed by attribute lookups, e.g. {"urllib", "request", "urlopen"}.
Ref host_path(std::initializer_list<const char*> names) noexcept;
// Calls `fn` with up to eight arguments (borrowed), the last ones named by `kwnames`; new reference.
Ref call(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) noexcept;
// Calls `fn` when it is an ashvigil function and the positional arguments already have the exact
// types of its parameters: its body runs without a second pass through the binder. False, with
// nothing called, when that does not apply. Defined beside the function type.
bool call_own_function(PyObject* fn, PyObject* const* args, size_t nargs, Ref& result) noexcept;
// Calls the module global `name`, as module code would call a sibling function; new reference.
Ref call_global(const char* name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr) noexcept;
// True when the pending exception is an instance of the host class found at `names`
// (false when there is none, or the class cannot be found).
bool exception_matches(std::initializer_list<const char*> names) noexcept;

// The path's bytes for the operating system (the host's file-system encoding); empty with
// ValueError "embedded null byte" for a path the system cannot take, as open() refuses it.
Ref os_path(PyObject* path) noexcept;

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

// obj.<name>, with the name interned (the host's attribute cache keeps the names it has seen);
// new reference.
Ref attr(PyObject* obj, const char* name) noexcept;
// obj.<name>(*args), without a bound method object; new reference.
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {}) noexcept;
// mapping.get(key[, fallback]): a lookup for an exact dict, the object's own `get` otherwise;
// new reference (None, or the fallback, when the key is absent).
Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept;
Ref get_item(PyObject* mapping, const char* key) noexcept;
// bytes.decode("utf-8"), strict; new reference.
Ref decode_utf8(PyObject* data) noexcept;

// The pending exception, taken off the error indicator; new reference, empty when none is set.
Ref take_exception() noexcept;
// Makes `exc` (from take_exception) the pending exception again.
void restore_exception(Ref exc) noexcept;

// While alive, `exc` is the exception being handled, so anything raised meanwhile gets it as its
// __context__, as inside an except or finally clause. Does nothing for a null `exc`.
class Handling {
public:
    explicit Handling(PyObject* exc) noexcept;
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    bool active_;
    Ref type_, value_, tb_;
};

// Calls obj.close() whether or not an exception is pending, as a finally clause would: a pending
// exception stays the one that propagates, a failing close() propagates with it as context.
// False when an exception is set afterwards.
bool close_after(PyObject* obj) noexcept;

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

// Sets TypeError "Expected <type>, got <type name of obj>" and returns nullptr.
PyObject* set_expected_type(const char* expected, PyObject* obj) noexcept;
// One write of the whole text on the module's sys.stderr, without a flush.
bool write_stderr(const std::u32string& line) noexcept;

}  // namespace ashvigil
