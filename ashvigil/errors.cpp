#include "errors.hpp"
#include "host.hpp"

#include <utility>

namespace ashvigil {

bool exception_matches(std::initializer_list<const char*> names) noexcept {
    if (!PyErr_Occurred()) return false;
    // Looking the class up must not disturb the pending exception; when the lookup itself fails,
    // its failure propagates with the pending one as context, as in an except clause.
    Ref pending = take_exception();
    Ref cls;
    {
        Handling handling(pending.get());
        cls = host_path(names);
    }
    if (!cls) return false;
    restore_exception(std::move(pending));
    return PyErr_ExceptionMatches(cls.get());
}

Ref take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(tb);
    if (owned_value && owned_tb) PyException_SetTraceback(owned_value.get(), owned_tb.get());
    return owned_value;
#endif
}

void restore_exception(Ref exc) noexcept {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.get();  // borrowed from exc
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), exc.release(),
                  PyException_GetTraceback(value));
#endif
}

Handling::Handling(PyObject* exc) noexcept : active_(exc != nullptr) {
    if (!active_) return;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_GetExcInfo(&type, &value, &tb);  // new references
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    tb_ = Ref::steal(tb);
    PyErr_SetExcInfo(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), Py_NewRef(exc),
                     PyException_GetTraceback(exc));
}

Handling::~Handling() {
    if (active_) PyErr_SetExcInfo(type_.release(), value_.release(), tb_.release());
}

bool close_after(PyObject* obj) noexcept {
    Ref pending = take_exception();
    Ref closed;
    {
        Handling handling(pending.get());
        closed = call_method(obj, "close");
    }
    if (!closed) return false;
    if (pending) {
        restore_exception(std::move(pending));
        return false;
    }
    return true;
}

PyObject* set_expected_type(const char* expected, PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
    return nullptr;
}

}  // namespace ashvigil
