// Owner burn values of subnet rows, their display and comparison, and the list of changes.
#include "burns.hpp"
#include "numbers.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace ashvigil {

int real_from_text(PyObject* text, double& out) noexcept {
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

namespace {

PyObject* owner_burn_from_row(PyObject* const* args) {
    Ref value = get_item(args[0], "incentive_burn");
    if (value && PyFloat_CheckExact(value.get()) && PyFloat_AS_DOUBLE(value.get()) != 0.0) {
        Ref text = real_text(PyFloat_AS_DOUBLE(value.get()));
        if (text) return text.release();
        if (PyErr_Occurred()) return nullptr;
    }
    int truthy = value ? PyObject_IsTrue(value.get()) : -1;
    if (truthy < 0) return nullptr;
    return truthy ? PyObject_Str(value.get()) : PyUnicode_FromString("0");
}

// "." + str(OWNER_BURN_DECIMALS) + "f" applied to the number, as a format spec would be.
Ref format_fixed(double x) {
    Ref decimals = global("OWNER_BURN_DECIMALS");
    if (!decimals) return {};
    if (PyLong_CheckExact(decimals.get())) {
        long n = PyLong_AsLong(decimals.get());
        if (n >= 0 && n <= 100) {
            if (Ref text = fixed_text(x, n)) return text;
            if (PyErr_Occurred()) return {};
            char* text = PyOS_double_to_string(x, 'f', static_cast<int>(n), 0, nullptr);
            if (!text) return {};
            Ref result = Ref::steal(PyUnicode_FromString(text));
            PyMem_Free(text);
            return result;
        }
        PyErr_Clear();
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
    if (old_ok && new_ok)
        return PyBool_FromLong(std::fabs(old_value - new_value) > PyFloat_AS_DOUBLE(args[2]));
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
        Ref changed = call_global("owner_burn_changed", {old_burn.get(), e.burn.get(), threshold});
        int truthy = changed ? PyObject_IsTrue(changed.get()) : -1;
        if (truthy < 0) return nullptr;
        if (!truthy) continue;
        Ref change = Ref::steal(PyTuple_Pack(3, e.id.get(), old_burn.get(), e.burn.get()));
        if (!change || PyList_Append(changes.get(), change.get()) < 0) return nullptr;
    }
    return changes.release();
}

const Param kRow[] = {{"row", Kind::Mapping, "dict[str, Any]"}};
const Param kValue[] = {{"value", Kind::Text, "str"}};
const Param kChanged[] = {
    {"old", Kind::Text, "str"}, {"new", Kind::Text, "str"}, {"threshold", Kind::Real, "float"}};
const Param kLoad[] = {{"path", Kind::Text, "str"}};
const Param kSave[] = {
    {"path", Kind::Text, "str"}, {"burns", Kind::Mapping, "dict[str, str]"}, {"updated_at", Kind::Text, "str"}};
const Param kDiff[] = {{"prev", Kind::Mapping, "dict[str, str]"},
                       {"current", Kind::Mapping, "dict[str, str]"},
                       {"threshold", Kind::Real, "float"}};

const FuncSpec kFunctions[] = {
    {"owner_burn_from_row", kRow, "str", Result::Text, owner_burn_from_row,
     "The owner burn text of a subnet row: str() of its \"incentive_burn\", or \"0\" when that is missing or "
     "empty."},
    {"format_owner_burn", kValue, "str", Result::Text, format_owner_burn,
     "A burn text shown with OWNER_BURN_DECIMALS decimals; a text that is not a number comes back unchanged."},
    {"owner_burn_changed", kChanged, "bool", Result::Flag, owner_burn_changed,
     "True when two burn texts differ by more than threshold (compared as texts when either is not a number)."},
    {"load_burn_state", kLoad, "dict[str, str]", Result::Mapping, load_burn_state_body,
     "The burn map stored at path; an empty dict when the file is missing, unreadable or malformed."},
    {"save_burn_state", kSave, "None", Result::Unchecked, save_burn_state_body,
     "Replaces the state file at path with the burn map and its time stamp, as a whole."},
    {"diff_burns", kDiff, "list[tuple[str, str, str]]", Result::List, diff_burns,
     "(subnet id, old, new) for each subnet whose burn moved by more than threshold, in subnet order."},
};

}  // namespace

const std::span<const FuncSpec> burns_functions = kFunctions;

}  // namespace ashvigil
