#include "values.hpp"
#include "numbers.hpp"

namespace ashvigil {

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

}  // namespace ashvigil
