// Argument checks shared by the modules' public functions.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa {

namespace py = pybind11;

// Accepts exactly `str` (no subclass) or None; anything else raises
// TypeError("Argument 'NAME' has incorrect type (expected str, got TYPE)").
inline void require_str_or_none(py::handle value, const char* param_name) {
    if (value.is_none() || PyUnicode_CheckExact(value.ptr())) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param_name,
                 "str", Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

}  // namespace vexa
