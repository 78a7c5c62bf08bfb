// Owner burn values of subnet rows, their display and comparison, and the list of changes.
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "numbers.hpp"
#include "values.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace ashvigil {

namespace {

// float(text) of a burn text: 1 with `out` set, 0 when it is not a number (the host's ValueError),
// -1 when anything else was raised.
int real_from_text(PyObject* text, double& out) {
    if (plain_real(text, out)) return 1;
    Ref value = Ref::steal(PyFloat_FromString(text));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyErr_Clear();
        return 0;
    }
    out = PyFloat_AS_DOUBLE(value.get());
    return 1;
}

PyObject* owner_burn_from_row(PyObject* const* args) {
    Ref value = get_item(args[0], "incentive_burn");
    if (value && PyFloat_CheckExact(value.get()) && PyFloat_AS_DOUBLE(value.get()) != 0.0) {
        Ref text = real_text(PyFloat_AS_DOUBLE(value.get()));
        if (text) return text.release();
        if (PyErr_Occurred()) return nullptr;
    }
    int truthy = truth(value);
    if (truthy < 0) return nullptr;
    return truthy ? PyObject_Str(value.get()) : PyUnicode_FromString("0");
}

// "." + str(OWNER_BURN_DECIMALS) + "f" applied to the number, as a format spec would be.
Ref format_fixed(double x) {
    Ref decimals = global("OWNER_BURN_DECIMALS");
    if (!decimals) return {};
    int overflow = 0;
    const long n = PyLong_CheckExact(decimals.get()) ? PyLong_AsLongAndOverflow(decimals.get(), &overflow) : -1;
    if (overflow == 0 && n >= 0 && n <= kMaxFixedDecimals) {
        if (Ref text = fixed_text(x, n)) return text;
        if (PyErr_Occurred()) return {};
        char* text = PyOS_double_to_string(x, 'f', static_cast<int>(n), 0, nullptr);
        if (!text) return {};
        Ref result = Ref::steal(PyUnicode_FromString(text));
        PyMem_Free(text);
        return result;
    }
    Ref number = Ref::steal(PyFloat_FromDouble(x));
    Ref spec = number ? Ref::steal(PyUnicode_FromFormat(".%Sf", decimals.get())) : Ref();
    return spec ? Ref::steal(PyObject_Format(number.get(), spec.get())) : Ref();
}

PyObject* format_owner_burn(PyObject* const* args) {
    double x = 0;
    int parsed = real_from_text(args[0], x);
    if (parsed < 0) return nullptr;
    if (parsed == 0) return Py_NewRef(args[0]);
    Ref text = format_fixed(x);
    if (!text) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        PyErr_Clear();
        return Py_NewRef(args[0]);
    }
    return text.release();
}

PyObject* owner_burn_changed(PyObject* const* args) {
    double old_value = 0, new_value = 0;
    int old_ok = real_from_text(args[0], old_value);
    if (old_ok < 0) return nullptr;
    int new_ok = real_from_text(args[1], new_value);
    if (new_ok < 0) return nullptr;
    if (old_ok && new_ok) return PyBool_FromLong(std::fabs(old_value - new_value) > PyFloat_AS_DOUBLE(args[2]));
    int differ = PyObject_RichCompareBool(args[0], args[1], Py_NE);
    return differ < 0 ? nullptr : PyBool_FromLong(differ);
}

// One entry of the current map with its id read as the host's int().
struct Entry {
    Ref id, burn;
    IntKey key;
};

bool read_entries(PyObject* current, std::vector<Entry>& entries) {
    PyObject *key, *value;  // borrowed
    Py_ssize_t pos = 0;
    while (PyDict_Next(current, &pos, &key, &value)) entries.push_back(Entry{Ref::borrow(key), Ref::borrow(value), {}});
    for (Entry& e : entries)
        if (!e.key.assign(e.id.get())) return false;
    return true;
}

PyObject* diff_burns(PyObject* const* args) {
    PyObject *prev = args[0], *current = args[1], *threshold = args[2];
    std::vector<Entry> entries;
    if (!read_entries(current, entries)) return nullptr;
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    Ref changes = Ref::steal(PyList_New(0));
    if (!changes) return nullptr;
    for (const Entry& e : entries) {
        Ref old_burn = Ref::borrow(PyDict_GetItemWithError(prev, e.id.get()));
        if (!old_burn && PyErr_Occurred()) return nullptr;
        if (!old_burn || old_burn.get() == Py_None) continue;
        int truthy = truth(call_global("owner_burn_changed", {old_burn.get(), e.burn.get(), threshold}));
        if (truthy < 0) return nullptr;
        if (!truthy) continue;
        Ref change = Ref::steal(PyTuple_Pack(3, e.id.get(), old_burn.get(), e.burn.get()));
        if (!change || PyList_Append(changes.get(), change.get()) < 0) return nullptr;
    }
    return changes.release();
}

constexpr Param kRow[] = {{.name = "row", .kind = Kind::Mapping, .annotation = "dict[str, Any]"}};
constexpr Param kValue[] = {{.name = "value", .kind = Kind::Text, .annotation = "str"}};
constexpr Param kChanged[] = {
    {.name = "old", .kind = Kind::Text, .annotation = "str"},
    {.name = "new", .kind = Kind::Text, .annotation = "str"},
    {.name = "threshold", .kind = Kind::Real, .annotation = "float"},
};
constexpr Param kDiff[] = {
    {.name = "prev", .kind = Kind::Mapping, .annotation = "dict[str, str]"},
    {.name = "current", .kind = Kind::Mapping, .annotation = "dict[str, str]"},
    {.name = "threshold", .kind = Kind::Real, .annotation = "float"},
};

constexpr Export kValueExports[] = {
    {.name = "owner_burn_from_row",
     .params = kRow,
     .return_annotation = "str",
     .result = Result::Text,
     .body = owner_burn_from_row,
     .doc = "The owner burn text of a subnet row: str() of its \"incentive_burn\", or \"0\" when that is missing or "
            "empty."},
    {.name = "format_owner_burn",
     .params = kValue,
     .return_annotation = "str",
     .result = Result::Text,
     .body = format_owner_burn,
     .doc = "A burn text shown with OWNER_BURN_DECIMALS decimals; a text that is not a number comes back unchanged."},
    {.name = "owner_burn_changed",
     .params = kChanged,
     .return_annotation = "bool",
     .result = Result::Flag,
     .body = owner_burn_changed,
     .doc = "True when two burn texts differ by more than threshold (compared as texts when either is not a number)."},
};
static_assert(fits_binder(kValueExports));

constexpr Export kChangeExports[] = {
    {.name = "diff_burns",
     .params = kDiff,
     .return_annotation = "list[tuple[str, str, str]]",
     .result = Result::List,
     .body = diff_burns,
     .doc = "(subnet id, old, new) for each subnet whose burn moved by more than threshold, in subnet order."},
};
static_assert(fits_binder(kChangeExports));

}  // namespace

const std::span<const Export> burn_value_exports = kValueExports;
const std::span<const Export> burn_change_exports = kChangeExports;

}  // namespace ashvigil
