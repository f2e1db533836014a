// Python-level operations that the checks' slow paths perform exactly as
// Python code would: attribute and item reads, comparisons followed by a
// truth test, arithmetic on Python numbers.  Whatever the operands (TVM
// objects, proxies, mocks, plain values), the errors are the interpreter's.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa::patterns::python {

namespace py = pybind11;

inline py::object checked(PyObject* result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

// bool(value)
inline bool truth(py::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw py::error_already_set();
    }
    return result != 0;
}

// bool(a OP b), without the identity shortcut of PyObject_RichCompareBool:
// `if a != b:` in Python asks the operands even when they are one object.
inline bool compare(py::handle a, py::handle b, int op) {
    return truth(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// value[0]
inline py::object first_item(py::handle value) {
    py::object zero = py::int_(0);
    return checked(PyObject_GetItem(value.ptr(), zero.ptr()));
}

// int(value)
inline py::object to_int(py::handle value) { return checked(PyNumber_Long(value.ptr())); }

inline py::object remainder(py::handle a, py::handle b) { return checked(PyNumber_Remainder(a.ptr(), b.ptr())); }
inline py::object true_divide(py::handle a, py::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline py::object subtract(py::handle a, py::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline py::object bit_and(py::handle a, py::handle b) { return checked(PyNumber_And(a.ptr(), b.ptr())); }

// a % b == 0
inline bool is_multiple(py::handle a, py::handle b) { return compare(remainder(a, b), py::int_(0), Py_EQ); }

}  // namespace vexa::patterns::python
