#include "host.hpp"
#include "numbers.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ashvigil {

namespace {
PyObject* g_namespace = nullptr;  // strong reference kept for the life of the process
}

PyObject* module_namespace() noexcept { return g_namespace; }

namespace {
PyObject* g_json_loads = nullptr;  // strong reference kept for the life of the process
}

PyObject* imported_json_loads() noexcept { return g_json_loads; }

// Remembers json.loads only when it is the json module's own function: a wrapper or a mock in
// place at import must keep being called, so it never counts as the original.
bool remember_json_loads() noexcept {
    Ref json = global("json");
    Ref loads = json ? attr(json.get(), "loads") : Ref();
    Ref name = loads && PyFunction_Check(loads.get()) ? attr(loads.get(), "__qualname__") : Ref();
    if (!loads) return false;
    if (!name) {
        PyErr_Clear();
        return true;
    }
    if (PyModule_Check(json.get()) && PyFunction_GetGlobals(loads.get()) == PyModule_GetDict(json.get()) &&
        PyUnicode_Check(name.get()) && PyUnicode_CompareWithASCIIString(name.get(), "loads") == 0)
        g_json_loads = loads.release();
    return true;
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

Ref call(PyObject* fn, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    // Slot 0 is scratch space so the callee may prepend a bound argument in place.
    PyObject* stack[9];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    size_t npos = n - (kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
    return Ref::steal(PyObject_Vectorcall(fn, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_global(const char* name, std::initializer_list<PyObject*> args, PyObject* kwnames) noexcept {
    Ref fn = global(name);
    if (!fn) return {};
    // The namespace still holds one of the module's own functions: its body is called directly.
    Ref result;
    if (!kwnames && call_own_function(fn.get(), args.begin(), args.size(), result)) return result;
    return call(fn.get(), args, kwnames);
}

bool exception_matches(std::initializer_list<const char*> names) noexcept {
    if (!PyErr_Occurred()) return false;
    // Looking the class up must not disturb the pending exception.
    Ref pending = take_exception();
    Ref cls = host_path(names);
    PyErr_Clear();
    restore_exception(std::move(pending));
    return cls && PyErr_ExceptionMatches(cls.get());
}

Ref attr(PyObject* obj, const char* name) noexcept {
    PyObject* key = constant_str(name);
    return key ? Ref::steal(PyObject_GetAttr(obj, key)) : Ref();
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args) noexcept {
    PyObject* key = constant_str(name);
    if (!key) return {};
    PyObject* stack[9];
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

Ref decode_utf8(PyObject* data) noexcept {
    if (PyBytes_CheckExact(data))
        return Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data), "strict"));
    Ref encoding = str("utf-8");
    return encoding ? call_method(data, "decode", {encoding.get()}) : Ref();
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

Ref os_path(PyObject* path) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    const size_t size = encoded ? static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())) : 0;
    if (encoded && std::strlen(PyBytes_AS_STRING(encoded.get())) != size) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return {};
    }
    return encoded;
}

Ref str(std::string_view utf8) noexcept {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

Ref str(const std::u32string& text) noexcept {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool append_code_points(std::u32string& out, PyObject* s) {
    if (PyUnicode_READY(s) < 0) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const size_t base = out.size();
    out.resize(base + static_cast<size_t>(n));
    if (kind == PyUnicode_1BYTE_KIND) {
        auto* p = static_cast<const Py_UCS1*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    } else if (kind == PyUnicode_2BYTE_KIND) {
        auto* p = static_cast<const Py_UCS2*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    } else {
        auto* p = static_cast<const Py_UCS4*>(data);
        for (Py_ssize_t i = 0; i < n; ++i) out[base + i] = p[i];
    }
    return true;
}

Ref text_form(PyObject* obj) noexcept { return Ref::steal(PyObject_Str(obj)); }

bool append_text_form(std::u32string& out, PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return append_code_points(out, obj);
    Ref s = text_form(obj);
    return s && append_code_points(out, s.get());
}

void append_ascii(std::u32string& out, std::string_view ascii) {
    for (char c : ascii) out.push_back(static_cast<unsigned char>(c));
}

void TextBuilder::widen(int kind) {
    std::string wider(units_.size() / kind_ * kind, '\0');
    const size_t n = units_.size() / kind_;
    for (size_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind_, units_.data(), i);
        PyUnicode_WRITE(kind, wider.data(), i, c);
    }
    units_ = std::move(wider);
    kind_ = kind;
}

bool TextBuilder::append(PyObject* s) {
    if (PyUnicode_READY(s) < 0) return false;
    const int kind = PyUnicode_KIND(s);
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
    if (n == 0) return true;
    if (kind > kind_) widen(kind);
    max_ = std::max(max_, static_cast<Py_UCS4>(PyUnicode_MAX_CHAR_VALUE(s)));
    const void* data = PyUnicode_DATA(s);
    if (kind == kind_) {
        units_.append(static_cast<const char*>(data), n * kind);
        return true;
    }
    const size_t base = units_.size() / kind_;
    units_.resize(units_.size() + n * kind_);
    for (size_t i = 0; i < n; ++i) PyUnicode_WRITE(kind_, units_.data(), base + i, PyUnicode_READ(kind, data, i));
    return true;
}

bool TextBuilder::append_text_form(PyObject* obj) {
    if (PyUnicode_CheckExact(obj)) return append(obj);
    if (PyLong_CheckExact(obj)) {  // subnet ids: decimal digits, as str() gives them
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(n == -1 && PyErr_Occurred())) {
            char digits[24];
            append_ascii(std::string_view(digits, static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits)));
            return true;
        }
        PyErr_Clear();
    }
    Ref s = text_form(obj);
    return s && append(s.get());
}

void TextBuilder::append_ascii(std::string_view ascii) {
    if (kind_ == 1) {
        units_.append(ascii);
        max_ = std::max<Py_UCS4>(max_, 0x7F);
        return;
    }
    for (char c : ascii) append_char(static_cast<unsigned char>(c));
}

void TextBuilder::append_char(Py_UCS4 c) {
    const int kind = c < 0x100 ? 1 : c < 0x10000 ? 2 : 4;
    if (kind > kind_) widen(kind);
    // The storage class a character needs: what PyUnicode_New picks from the largest one.
    max_ = std::max<Py_UCS4>(max_, c < 0x80 ? 0x7F : c < 0x100 ? 0xFF : c < 0x10000 ? 0xFFFF : 0x10FFFF);
    units_.resize(units_.size() + kind_);
    PyUnicode_WRITE(kind_, units_.data(), units_.size() / kind_ - 1, c);
}

Ref TextBuilder::build() const noexcept {
    const Py_ssize_t n = static_cast<Py_ssize_t>(units_.size() / kind_);
    Ref s = Ref::steal(PyUnicode_New(n, max_));
    if (s && n > 0) std::memcpy(PyUnicode_DATA(s.get()), units_.data(), units_.size());
    return s;
}

bool IntKey::assign(PyObject* obj) noexcept {
    overflow_ = 0;
    number_ = Ref();
    if (plain_integer(obj, small_)) return true;
    Ref number = Ref::steal(PyNumber_Long(obj));
    if (!number) return false;
    small_ = PyLong_AsLongLongAndOverflow(number.get(), &overflow_);
    if (overflow_ != 0) number_ = std::move(number);  // only numbers beyond 64 bits compare as objects
    return true;
}

bool IntKey::operator<(const IntKey& other) const noexcept {
    if (overflow_ == 0 && other.overflow_ == 0) return small_ < other.small_;
    if (overflow_ == 0 || other.overflow_ == 0) return overflow_ < other.overflow_;  // the sign decides
    return PyObject_RichCompareBool(number_.get(), other.number_.get(), Py_LT) == 1;
}

namespace {
bool set_too_many(Py_ssize_t n) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
    return false;
}
bool set_too_few(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return false;
}
}  // namespace

bool unpack_exact(PyObject* seq, Ref* out, Py_ssize_t n) noexcept {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(seq);
        if (size != n) return size > n ? set_too_many(n) : set_too_few(size);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(seq, i));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) return PyErr_Occurred() ? false : set_too_few(i);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return set_too_many(n);
    return !PyErr_Occurred();
}

PyObject* set_expected_type(const char* expected, PyObject* obj) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(obj)->tp_name);
    return nullptr;
}

bool write_stderr(const std::u32string& line) noexcept {
    Ref text = str(line);
    if (!text) return false;
    Ref write = host_path({"sys", "stderr", "write"});
    return write && call(write.get(), {text.get()});
}

}  // namespace ashvigil
