#include "host.hpp"

#include <cstdint>
#include <new>
#include <string_view>
#include <unordered_map>

namespace ashvigil {

namespace {
PyObject* g_namespace = nullptr;  // strong reference kept for the life of the process
}

PyObject* module_namespace() noexcept {
    return g_namespace;
}

void set_module_namespace(PyObject* dict) noexcept {
    Py_XINCREF(dict);
    g_namespace = dict;
}

namespace {

PyObject* find_or_make_constant(const char* text) {
    static auto* by_address = new std::unordered_map<const char*, PyObject*>();
    static auto* by_content = new std::unordered_map<std::string_view, PyObject*>();
    auto known = by_address->find(text);
    if (known != by_address->end()) return known->second;
    auto found = by_content->find(std::string_view(text));
    PyObject* s = found != by_content->end() ? found->second : PyUnicode_InternFromString(text);  // kept
    if (found == by_content->end()) {
        const char* utf8 = s ? PyUnicode_AsUTF8(s) : nullptr;
        if (!utf8) {
            Py_XDECREF(s);
            return nullptr;
        }
        by_content->emplace(std::string_view(utf8), s);
    }
    by_address->emplace(text, s);
    return s;
}

}  // namespace

PyObject* constant_str(const char* text) noexcept {
    // Found by the constant's address first, without hashing its characters; a new address is
    // matched by content, viewed in the str's own UTF-8 buffer, which lives as long as the str.
    struct Slot {
        const char* text;
        PyObject* str;
    };
    static Slot recent[256];  // direct-mapped by address, in front of the maps
    Slot& slot = recent[(reinterpret_cast<uintptr_t>(text) >> 2) & 255];
    if (slot.text == text) return slot.str;
    try {
        PyObject* s = find_or_make_constant(text);
        if (s) slot = {text, s};
        return s;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

Ref global(const char* name) noexcept {
    PyObject* key = constant_str(name);
    PyObject* value = key ? PyDict_GetItemWithError(g_namespace, key) : nullptr;  // borrowed
    if (!value) {
        if (key && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return {};
    }
    return Ref::borrow(value);
}

Ref host_path(std::initializer_list<const char*> names) noexcept {
    auto it = names.begin();
    Ref obj = global(*it);
    for (++it; obj && it != names.end(); ++it) obj = attr(obj.get(), *it);
    return obj;
}

namespace {
// A call with more arguments than the fixed stacks hold is the module's own mistake: reported,
// never written past the stack.
bool fits_call_stack(size_t nargs) noexcept {
    if (nargs <= kMaxCallArgs) return true;
    PyErr_Format(PyExc_SystemError, "ashvigil: %zu call arguments, at most %zu fit", nargs, kMaxCallArgs);
    return false;
}
}  // namespace

Ref call(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    if (!fits_call_stack(args.size())) return {};
    // Slot 0 is scratch space so the callee may prepend a bound argument in place.
    PyObject* stack[1 + kMaxCallArgs];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    size_t npos = n - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_Vectorcall(fn, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref attr(PyObject* obj, const char* name) noexcept {
    PyObject* key = constant_str(name);
    return key ? Ref::steal(PyObject_GetAttr(obj, key)) : Ref();
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) noexcept {
    PyObject* key = constant_str(name);
    if (!key || !fits_call_stack(args.size())) return {};
    PyObject* stack[1 + kMaxCallArgs];  // the object, then its arguments
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(key, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref get_item(PyObject* mapping, PyObject* key, PyObject* fallback) noexcept {
    if (PyDict_CheckExact(mapping)) {
        Ref value = Ref::borrow(PyDict_GetItemWithError(mapping, key));
        if (value || PyErr_Occurred()) return value;
        return Ref::borrow(fallback ? fallback : Py_None);
    }
    return fallback ? call_method(mapping, "get", {key, fallback}) : call_method(mapping, "get", {key});
}

Ref get_item(PyObject* mapping, const char* key) noexcept {
    PyObject* k = constant_str(key);
    return k ? get_item(mapping, k) : Ref();
}

int truth(const Ref& obj) noexcept {
    return obj ? PyObject_IsTrue(obj.get()) : -1;
}

Ref keyword_names(std::initializer_list<const char*> names) noexcept {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* key = tuple ? constant_str(name) : nullptr;  // borrowed
        if (!key) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(key));
    }
    return tuple;
}

bool sleep_for(double seconds) noexcept {
    Ref sleep = host_path({"time", "sleep"});
    Ref pause = sleep ? Ref::steal(PyFloat_FromDouble(seconds)) : Ref();
    return pause && call(sleep.get(), {pause.get()});
}

bool write_stderr(PyObject* text) noexcept {
    Ref write = host_path({"sys", "stderr", "write"});
    return write && call(write.get(), {text});
}

}  // namespace ashvigil
