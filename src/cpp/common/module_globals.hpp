// Call-time access to a module's own namespace.
//
// The package's functions look their collaborators up in the module namespace
// each time they run, as functions of a Python module do, so that replacing a
// module attribute (in a test, or by the host) takes effect at the next call.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa {

namespace py = pybind11;

class ModuleGlobals {
public:
    explicit ModuleGlobals(const py::module_ &module) : dict_(module.attr("__dict__")) {}

    // The current binding of `name`; NameError when the module has none, as
    // an unbound global gives in Python.
    py::object operator[](const char *name) const {
        PyObject *value = PyDict_GetItemString(dict_.ptr(), name);  // borrowed
        if (value == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }

    const py::dict &dict() const { return dict_; }

private:
    py::dict dict_;
};

}  // namespace vexa
