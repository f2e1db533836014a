#include "graphmeld/name_set.hpp"

namespace vexa::meld {

namespace {

bool has_plain_container_type(py::handle names) {
    return PyList_CheckExact(names.ptr()) || PyTuple_CheckExact(names.ptr()) || PyAnySet_CheckExact(names.ptr()) ||
           PyDict_CheckExact(names.ptr());
}

}  // namespace

NameSet::NameSet(py::object names) : names_(std::move(names)) {
    if (!has_plain_container_type(names_)) {
        return;
    }
    for (py::handle item : names_) {
        if (!PyUnicode_CheckExact(item.ptr())) {
            set_.clear();
            return;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
        if (data == nullptr) {
            // Not encodable (lone surrogates): equal to no name that TVM holds.
            PyErr_Clear();
            continue;
        }
        set_.emplace(data, static_cast<std::size_t>(size));
    }
    copied_ = true;
}

bool NameSet::contains(std::string_view name) const {
    if (copied_) {
        return set_.count(std::string(name)) != 0;
    }
    py::str text(name.data(), name.size());
    int found = PySequence_Contains(names_.ptr(), text.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found == 1;
}

}  // namespace vexa::meld
