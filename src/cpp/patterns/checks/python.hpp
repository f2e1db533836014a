// Python-level operations that the checks perform exactly as Python code
// would (attribute and item reads, comparisons followed by a truth test,
// arithmetic on Python numbers), whatever the operands: TVM objects, proxies,
// mocks, plain values.  Every failure is the interpreter's own error, raised
// in one way: `checked` of the C API's result.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa::patterns::python {

namespace py = pybind11;

// The C API's new reference, or the pending Python error raised.
inline py::object checked(PyObject* result) {
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(result);
}

// The C API's status (negative: a Python error is pending), raised.
inline int checked_status(int status) {
    if (status < 0) {
        throw py::error_already_set();
    }
    return status;
}

// bool(value)
inline bool truth(py::handle value) { return checked_status(PyObject_IsTrue(value.ptr())) != 0; }

// bool(a OP b), without the identity shortcut of PyObject_RichCompareBool:
// `if a != b:` in Python asks the operands even when they are one object.
inline bool compare(py::handle a, py::handle b, int op) {
    return truth(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}

// isinstance(value, cls)
inline bool isinstance(py::handle value, py::handle cls) {
    return checked_status(PyObject_IsInstance(value.ptr(), cls.ptr())) != 0;
}

// sequence[index]
inline py::object item(py::handle sequence, Py_ssize_t index) {
    py::object key = py::int_(index);
    return checked(PyObject_GetItem(sequence.ptr(), key.ptr()));
}

// len(value)
inline Py_ssize_t len(py::handle value) {
    const Py_ssize_t size = PyObject_Size(value.ptr());
    if (size < 0) {
        throw py::error_already_set();
    }
    return size;
}

// value in [choices...], with Python's own comparisons.
template <typename Choices>
bool in_list(py::handle value, const Choices& choices) {
    py::list entries;
    for (const char* choice : choices) {
        entries.append(py::str(choice));
    }
    return checked_status(PySequence_Contains(entries.ptr(), value.ptr())) != 0;
}

// int(value)
inline py::object to_int(py::handle value) { return checked(PyNumber_Long(value.ptr())); }

inline py::object remainder(py::handle a, py::handle b) { return checked(PyNumber_Remainder(a.ptr(), b.ptr())); }
inline py::object true_divide(py::handle a, py::handle b) { return checked(PyNumber_TrueDivide(a.ptr(), b.ptr())); }
inline py::object subtract(py::handle a, py::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
inline py::object bit_and(py::handle a, py::handle b) { return checked(PyNumber_And(a.ptr(), b.ptr())); }

// a % b == 0
inline bool is_multiple(py::handle a, py::handle b) { return compare(remainder(a, b), py::int_(0), Py_EQ); }

// Whether Python runs with assertions enabled (not under -O), read at call
// time as the interpreter decides it for `assert` statements.
inline bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (flags == nullptr) {
        return true;
    }
    return py::int_(py::reinterpret_borrow<py::object>(flags).attr("optimize")).cast<long>() == 0;
}

// `assert condition` without a message; `condition` is evaluated only when
// assertions are enabled, as Python does.
template <typename Condition>
void assert_that(Condition&& condition) {
    if (assertions_enabled() && !condition()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

}  // namespace vexa::patterns::python
