#include "host_json.hpp"
#include "errors.hpp"
#include "host.hpp"

namespace ashvigil {

Parse parse_json(PyObject* text, Ref& value, Ref* message) noexcept {
    Ref loads = host_path({"json", "loads"});
    if (!loads) return Parse::Failed;
    value = call(loads.get(), {text});
    if (value) return Parse::Parsed;
    if (!exception_matches({"json", "JSONDecodeError"})) return Parse::Failed;
    Ref exc = take_exception();
    if (!message) return Parse::NotJson;
    Handling handling(exc.get());
    *message = Ref::steal(PyObject_Str(exc.get()));
    return *message ? Parse::NotJson : Parse::Failed;
}

namespace {
PyObject* g_json_loads = nullptr;  // strong reference kept for the life of the process
}

PyObject* imported_json_loads() noexcept {
    return g_json_loads;
}

// Remembers json.loads only when it is the json module's own function: a wrapper or a mock in
// place at import must keep being called, so it never counts as the original.
bool remember_json_loads() noexcept {
    Ref json = global("json");
    Ref loads = json ? attr(json.get(), "loads") : Ref();
    Ref name = loads && PyFunction_Check(loads.get()) ? attr(loads.get(), "__qualname__") : Ref();
    if (!loads) return false;
    if (!name) return !PyErr_Occurred();  // not a function: never the original
    if (PyModule_Check(json.get()) && PyFunction_GetGlobals(loads.get()) == PyModule_GetDict(json.get()) &&
        PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "loads") == 0)
        g_json_loads = loads.release();
    return true;
}

}  // namespace ashvigil
