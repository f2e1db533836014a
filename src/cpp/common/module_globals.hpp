// Call-time access to a module's own namespace.
//
// The package's functions look their collaborators up in the module namespace
// each time they run, as functions of a Python module do, so that replacing a
// module attribute (in a test, or by the host) takes effect at the next call.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa {

namespace py = pybind11;

// An interned Python text: dictionary lookups with it reuse the cached hash.
inline py::str interned(const char* text) {
    PyObject* key = PyUnicode_InternFromString(text);
    if (key == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(key);
}

class ModuleGlobals {
public:
    explicit ModuleGlobals(const py::module_& module) : dict_(module.attr("__dict__")) {}

    // The current binding of `name`; NameError when the module has none, as
    // an unbound global gives in Python.  Hot paths pass an interned key
    // (see `interned`) so that the lookup neither allocates nor hashes.
    py::object operator[](py::handle name) const {
        PyObject* value = PyDict_GetItemWithError(dict_.ptr(), name.ptr());  // borrowed
        if (value == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
            }
            throw py::error_already_set();
        }
        return py::reinterpret_borrow<py::object>(value);
    }

    py::object operator[](const char* name) const { return (*this)[interned(name)]; }

private:
    py::dict dict_;
};

}  // namespace vexa
