// The callable type of every exported function and the one argument binder they share.
#include "function.hpp"
#include "errors.hpp"
#include "host.hpp"
#include "text.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>

#include <pthread.h>
#include <structmember.h>

namespace ashvigil {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Export* row;               // the table row, static
    PyObject* defaults[kMaxParams];  // owned; nullptr for a required parameter
    PyObject* dict;                  // owned, created on demand
    PyObject* annotations;           // owned, created on first use
    PyObject* signature;             // owned, created on first use
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

const char* const kSubclassSentence =
    "Subclasses of built-in types are not accepted; convert the value to the exact built-in type "
    "before passing it";

PyObject* set_incorrect_type(const char* name, const char* expected, PyObject* got, bool subclass) noexcept {
    if (subclass)
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). %s", name,
                     expected, Py_TYPE(got)->tp_name, kSubclassSentence);
    else
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                     expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

// --- binding ---------------------------------------------------------------------------------

int positional_count(const Export& s) {
    int n = 0;
    for (const Param& p : s.params) n += p.keyword_only ? 0 : 1;
    return n;
}

int find_param(const Export& s, PyObject* name) {
    for (size_t i = 0; i < s.params.size(); ++i)
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, s.params[i].name) == 0)
            return static_cast<int>(i);
    return -1;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists missing arguments.
std::string quoted_list(const Export& s, PyObject* const* slots, bool keyword_only, int& count) {
    std::string names[kMaxParams];
    count = 0;
    for (size_t i = 0; i < s.params.size(); ++i)
        if (s.params[i].keyword_only == keyword_only && !slots[i] && !s.params[i].has_default())
            names[count++] = std::string("'") + s.params[i].name + "'";
    std::string out;
    for (int i = 0; i < count; ++i) {
        if (i > 0) out += count == 2 ? " and " : (i == count - 1 ? ", and " : ", ");
        out += names[i];
    }
    return out;
}

bool report_missing(const Export& s, PyObject* const* slots) {
    for (bool kwonly : {false, true}) {
        int count = 0;
        std::string list = quoted_list(s, slots, kwonly, count);
        if (count == 0) continue;
        PyErr_Format(PyExc_TypeError, "%s() missing %d required %s argument%s: %s", s.name, count,
                     kwonly ? "keyword-only" : "positional", count == 1 ? "" : "s", list.c_str());
        return true;
    }
    return false;
}

void report_too_many(const Export& s, Py_ssize_t given, int kwonly_given) {
    int most = positional_count(s), least = 0;
    for (const Param& p : s.params) least += (!p.keyword_only && !p.has_default()) ? 1 : 0;
    std::string takes =
        least == most ? std::to_string(most) : "from " + std::to_string(least) + " to " + std::to_string(most);
    std::string kw;
    if (kwonly_given > 0)
        kw = " positional argument" + std::string(given == 1 ? "" : "s") + " (and " + std::to_string(kwonly_given) +
             " keyword-only argument" + (kwonly_given == 1 ? "" : "s") + ")";
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd%s %s given", s.name, takes.c_str(),
                 most == 1 && least == most ? "" : "s", given, kw.c_str(),
                 given == 1 && kwonly_given == 0 ? "was" : "were");
}

// Fills slots (borrowed) from the call's arguments and the defaults; false with TypeError set.
bool bind(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    const Export& s = *f->row;
    const int npos = positional_count(s);
    for (Py_ssize_t i = 0; i < nargs && i < npos; ++i) slots[i] = args[i];
    int kwonly_given = 0;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        int i = find_param(s, name);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", s.name, name);
            return false;
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.name, s.params[i].name);
            return false;
        }
        slots[i] = args[nargs + k];
        kwonly_given += s.params[i].keyword_only ? 1 : 0;
    }
    if (nargs > npos) {
        report_too_many(s, nargs, kwonly_given);
        return false;
    }
    bool complete = true;
    for (size_t i = 0; i < s.params.size(); ++i) complete = complete && (slots[i] || f->defaults[i]);
    if (!complete && report_missing(s, slots)) return false;
    for (size_t i = 0; i < s.params.size(); ++i)
        if (!slots[i]) slots[i] = f->defaults[i];
    return true;
}

// --- conversions and checks --------------------------------------------------------------------

Ref to_real(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return Ref::borrow(obj);
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) return {};
    return Ref::steal(PyFloat_FromDouble(d));
}

Ref to_integer(const Param& p, PyObject* obj) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb && (nb->nb_index || nb->nb_int)) return Ref::steal(PyNumber_Long(obj));
    set_incorrect_type(p.name, "int", obj, false);
    return {};
}

bool check_exact(const Param& p, PyObject* obj) {
    PyTypeObject* want = p.kind == Kind::Text ? &PyUnicode_Type : p.kind == Kind::Mapping ? &PyDict_Type : &PyList_Type;
    if (Py_TYPE(obj) == want) return true;
    const char* name = p.kind == Kind::Text ? "str" : p.kind == Kind::Mapping ? "dict" : "list";
    set_incorrect_type(p.name, name, obj, PyObject_TypeCheck(obj, want));
    return false;
}

// Numbers first, in parameter order, then the exact-type checks.
bool convert_and_check(const Export& s, PyObject** slots, Ref* held) {
    for (size_t i = 0; i < s.params.size(); ++i) {
        const Param& p = s.params[i];
        if (p.kind != Kind::Real && p.kind != Kind::Integer) continue;
        held[i] = p.kind == Kind::Real ? to_real(slots[i]) : to_integer(p, slots[i]);
        if (!held[i]) return false;
        slots[i] = held[i].get();
    }
    for (size_t i = 0; i < s.params.size(); ++i) {
        const Param& p = s.params[i];
        if (p.kind != Kind::Real && p.kind != Kind::Integer && !check_exact(p, slots[i])) return false;
    }
    return true;
}

// The exact type a declared result must have, with its name for the error; a switch, so that
// a new Result cannot go without its check.
struct Expected {
    PyTypeObject* type;
    const char* name;
};

Expected expected_result(Result r) {
    switch (r) {
    case Result::Unchecked: return {nullptr, ""};
    case Result::Text: return {&PyUnicode_Type, "str"};
    case Result::Mapping: return {&PyDict_Type, "dict"};
    case Result::List: return {&PyList_Type, "list"};
    case Result::Flag: return {&PyBool_Type, "bool"};
    case Result::Pair: return {&PyTuple_Type, "tuple"};
    case Result::Integer: return {&PyLong_Type, "int"};
    }
    return {nullptr, ""};
}

bool check_result(Result r, PyObject* obj) {
    const Expected want = expected_result(r);
    if (!want.type || obj == Py_None || Py_TYPE(obj) == want.type) return true;
    set_expected_type(want.name, obj);
    return false;
}

// Room the C stack must still have when an ashvigil call starts: the next level of a cycle through
// the host (a Python function between two ashvigil calls included) and the RecursionError it then
// raises. Sanitizer builds have several times larger frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t kStackMargin = 160 * 1024;
#else
constexpr uintptr_t kStackMargin = 64 * 1024;
#endif

// The lowest address of the calling thread's stack as the system reports it (pthread_getattr_np:
// the thread's own size, or the stack limit for the main thread); 0 when it does not say. Asked
// once per thread: for the main thread the answer means reading the process's memory map.
uintptr_t stack_floor() {
    static thread_local uintptr_t floor = 1;  // 1: not asked yet
    if (floor == 1) {
        floor = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0) floor = reinterpret_cast<uintptr_t>(low);
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

// True when the stack has less than the margin left. The frame address, not a local's: sanitizer
// builds may keep locals on a separate heap stack. Code running on a stack of its own (a
// coroutine library's, below the thread's) is not judged by the thread's bounds.
bool stack_nearly_full() {
    const uintptr_t floor = stack_floor();
    const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return floor != 0 && here >= floor && here - floor < kStackMargin;
}

// Holds one level of nested ashvigil calls for the duration of a body, also when it throws.
class CallLevel {
public:
    explicit CallLevel(int& depth) : depth_(depth) { ++depth_; }
    ~CallLevel() {
        --depth_;
        Py_LeaveRecursiveCall();
    }
    CallLevel(const CallLevel&) = delete;
    CallLevel& operator=(const CallLevel&) = delete;

private:
    int& depth_;
};

// The exact type a parameter's value has once the binder is done with it.
PyTypeObject* bound_type(Kind k) {
    switch (k) {
    case Kind::Text: return &PyUnicode_Type;
    case Kind::Mapping: return &PyDict_Type;
    case Kind::List: return &PyList_Type;
    case Kind::Real: return &PyFloat_Type;
    case Kind::Integer: return &PyLong_Type;
    }
    return nullptr;
}

// Fills the slots when every parameter is given by position with the exact type the binder
// would hand on: there is nothing to bind or convert then.
bool exact_positional(const Export& s, PyObject* const* args, size_t nargs, PyObject** slots) {
    if (nargs != s.params.size()) return false;
    for (size_t i = 0; i < nargs; ++i) {
        if (s.params[i].keyword_only || Py_TYPE(args[i]) != bound_type(s.params[i].kind)) return false;
        slots[i] = args[i];
    }
    return true;
}

// Runs the body on bound arguments and checks its result. May throw, as the body may.
PyObject* run_body(FunctionObject* f, PyObject** slots) {
    // Calls between exported functions go through the namespace, so a host can build a cycle;
    // it must end in RecursionError, as it would for Python functions, not in a stack overflow.
    // Newer interpreters allow far more C levels than Python ones, so the depth is also held to
    // the host's recursion limit, which is what a Python function would count against, and to
    // the C stack the thread really has, which a high limit or a small thread stack can undercut.
    static thread_local int depth = 0;
    // Only a nested call can be part of a cycle: a first call works on any stack Python allows.
    if (depth >= Py_GetRecursionLimit() || (depth > 0 && stack_nearly_full())) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling an ashvigil function");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" while calling an ashvigil function")) return nullptr;
    Ref result;
    {
        CallLevel level(depth);
        result = Ref::steal(f->row->body(slots));
    }
    if (!result || !check_result(f->row->result, result.get())) return nullptr;
    return result.release();
}

PyObject* call_function(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    PyObject* slots[kMaxParams] = {};
    if (!kwnames && exact_positional(*f->row, args, PyVectorcall_NARGS(nargsf), slots)) return run_body(f, slots);
    Ref held[kMaxParams];
    if (!bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, slots)) return nullptr;
    if (!convert_and_check(*f->row, slots, held)) return nullptr;
    return run_body(f, slots);
}

// The one boundary between C++ and the interpreter: bodies may throw, nothing crosses. A failed
// allocation is the host's MemoryError; any other standard exception a SystemError with its text.
template <typename Call>
PyObject* across_boundary(Call call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) { return PyErr_NoMemory(); } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        return nullptr;
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return across_boundary([&] { return call_function(self, args, nargsf, kwnames); });
}

// --- attributes ------------------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->row->name);
}

// The module's namespace, as a Python function's globals, so that typing.get_type_hints() can
// resolve the annotation texts. The namespace is held for the life of the process, so the
// function objects keep no reference of their own.
PyObject* get_globals(PyObject*, void*) {
    PyObject* ns = module_namespace();  // borrowed
    if (!ns) {
        PyErr_SetString(PyExc_AttributeError, "__globals__");
        return nullptr;
    }
    return Py_NewRef(ns);
}

PyObject* get_doc(PyObject* self, void*) {
    const char* doc = as_function(self)->row->doc;
    if (doc) return PyUnicode_FromString(doc);
    Py_RETURN_NONE;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        for (const Param& p : f->row->params) {
            Ref text = str(p.annotation);
            if (!text || PyDict_SetItemString(d.get(), p.name, text.get()) < 0) return nullptr;
        }
        Ref ret = str(f->row->return_annotation);
        if (!ret || PyDict_SetItemString(d.get(), "return", ret.get()) < 0) return nullptr;
        f->annotations = d.release();
    }
    return Py_NewRef(f->annotations);
}

PyObject* get_defaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (size_t i = 0; i < f->row->params.size(); ++i)
        if (!f->row->params[i].keyword_only && f->defaults[i] && PyList_Append(list.get(), f->defaults[i]) < 0)
            return nullptr;
    if (PyList_GET_SIZE(list.get()) == 0) Py_RETURN_NONE;
    return PyList_AsTuple(list.get());
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (size_t i = 0; i < f->row->params.size(); ++i)
        if (f->row->params[i].keyword_only && f->defaults[i] &&
            PyDict_SetItemString(d.get(), f->row->params[i].name, f->defaults[i]) < 0)
            return nullptr;
    if (PyDict_GET_SIZE(d.get()) == 0) Py_RETURN_NONE;
    return d.release();
}

// inspect.Signature with the real parameter kinds, defaults and annotations.
Ref build_signature(FunctionObject* f) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return {};
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    Ref params = Ref::steal(PyList_New(0));
    if (!signature || !params) return {};
    for (size_t i = 0; i < f->row->params.size(); ++i) {
        const Param& p = f->row->params[i];
        Ref kind = Ref::steal(
            PyObject_GetAttrString(parameter.get(), p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD"));
        Ref name = str(p.name), annotation = str(p.annotation);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kind || !name || !annotation || !kwargs) return {};
        if (PyDict_SetItemString(kwargs.get(), "annotation", annotation.get()) < 0) return {};
        if (f->defaults[i] && PyDict_SetItemString(kwargs.get(), "default", f->defaults[i]) < 0) return {};
        Ref args = Ref::steal(PyTuple_Pack(2, name.get(), kind.get()));
        Ref one = args ? Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get())) : Ref();
        if (!one || PyList_Append(params.get(), one.get()) < 0) return {};
    }
    Ref ret = str(f->row->return_annotation);
    Ref kwargs = Ref::steal(PyDict_New());
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!ret || !kwargs || !args || PyDict_SetItemString(kwargs.get(), "return_annotation", ret.get()) < 0) return {};
    return Ref::steal(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->signature) {
        Ref sig = build_signature(f);
        if (!sig) return nullptr;
        f->signature = sig.release();
    }
    return Py_NewRef(f->signature);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Pickles by name, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return get_name(self, nullptr);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->row->name, self);
}

// Returning the function itself makes it a method descriptor, so inspect.isroutine() is true.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return Py_NewRef(self);
}

// Every reference a function object owns, in one list, so that traverse and clear cannot miss one.
template <typename Each>
void for_each_member(FunctionObject* f, Each each) {
    for (PyObject*& d : f->defaults) each(d);
    each(f->dict);
    each(f->annotations);
    each(f->signature);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // instances of a heap type own a reference to it
    int rc = 0;
    for_each_member(as_function(self), [&](PyObject* member) {
        if (rc == 0 && member) rc = visit(member, arg);
    });
    return rc;
}

int function_clear(PyObject* self) {
    for_each_member(as_function(self), [](PyObject*& member) { Py_CLEAR(member); });
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kOffsetMember = Py_T_PYSSIZET;
constexpr int kReadOnly = Py_READONLY;
#else
constexpr int kOffsetMember = T_PYSSIZET;
constexpr int kReadOnly = READONLY;
#endif

// The offsets the interpreter finds the vectorcall pointer and the instance dict at.
PyMemberDef function_members[] = {
    {"__vectorcalloffset__", kOffsetMember, offsetof(FunctionObject, vectorcall), kReadOnly, nullptr},
    {"__dictoffset__", kOffsetMember, offsetof(FunctionObject, dict), kReadOnly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

// Immutable and not instantiable from Python, like the built-in function types; `__module__`
// comes from the name.
PyType_Spec function_spec = {
    .name = "ashvigil.function",
    .basicsize = static_cast<int>(sizeof(FunctionObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// Made once per process (the module is made once) and kept for it: a strong reference.
PyTypeObject* g_function_type = nullptr;

}  // namespace

bool call_own_function(PyObject* fn, PyObject* const* args, size_t nargs, Ref& result) noexcept {
    if (Py_TYPE(fn) != g_function_type) return false;
    FunctionObject* f = as_function(fn);
    PyObject* slots[kMaxParams];
    if (!exact_positional(*f->row, args, nargs, slots)) return false;
    result = Ref::steal(across_boundary([&] { return run_body(f, slots); }));
    return true;
}

bool ready_function_type() noexcept {
    if (!g_function_type) g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_function_type != nullptr;
}

Ref make_function(const Export& row) noexcept {
    FunctionObject* f = PyObject_GC_New(FunctionObject, g_function_type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->row = &row;
    for (PyObject*& d : f->defaults) d = nullptr;
    f->dict = f->annotations = f->signature = nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(owner.get());
    for (size_t i = 0; i < row.params.size(); ++i) {
        const Param& p = row.params[i];
        if (p.int_default) f->defaults[i] = PyLong_FromLongLong(*p.int_default);
        else if (p.str_default) f->defaults[i] = PyUnicode_FromString(p.str_default);
        if (p.has_default() && !f->defaults[i]) return {};
    }
    return owner;
}

Ref call_global(const char* name, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    Ref fn = global(name);
    if (!fn) return {};
    Ref result;
    if (!kwnames && call_own_function(fn.get(), args.begin(), args.size(), result)) return result;
    return call(fn.get(), args, kwnames);
}

}  // namespace ashvigil
