// `a, b, c = item` with the interpreter's own failures. Tested in tests/test_reading.py and
// tests/test_lorepick_detect.py.
#pragma once

#include "pyref.hpp"

namespace transmute {

// Unpacks `item` into exactly `count` values. As the interpreter does, a failure of iter(item)
// is reworded as "cannot unpack non-iterable X object" only when the type is neither iterable
// nor a sequence; an error of the item's own __iter__ (or of an __iter__ that returns a
// non-iterator) passes through unchanged. A host tuple of the right size is read directly: its
// iteration runs no code of the caller's.
inline bool unpack_exact(PyObject* item, Ref* out, int count) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == count) {
        for (int i = 0; i < count; ++i) out[i] = Ref::borrow(PyTuple_GET_ITEM(item, i));
        return true;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(item)->tp_iter == nullptr &&
            !PySequence_Check(item)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        return false;
    }
    for (int i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", count, i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", count);
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace transmute
