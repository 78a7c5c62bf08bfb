// Exceptions as except and finally clauses treat them: matching, taking, handling, closing.
#pragma once

#include "ref.hpp"

#include <initializer_list>

namespace ashvigil {

// True when the pending exception is an instance of the host class found at `names`
// (false when there is none, or the class cannot be found).
bool exception_matches(std::initializer_list<const char*> names) noexcept;

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

// Sets TypeError "Expected <type>, got <type name of obj>" and returns nullptr.
PyObject* set_expected_type(const char* expected, PyObject* obj) noexcept;

}  // namespace ashvigil
