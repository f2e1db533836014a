// The way from a check's argument to TVM's C++ object, for the checks' fast
// paths.  Only an instance whose own type derives from TVM's ObjectBase
// qualifies: mocks made with a spec and proxies claim a TVM class through
// `__class__` (so isinstance says yes) while their `handle` is anything at
// all, and reading an object at such an address would crash the process.
// They take the Python-level path instead.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/runtime/object.h>

#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class NativeObjects {
public:
    NativeObjects() : object_base_(py::module_::import("tvm.runtime.object").attr("ObjectBase")) {}

    // The C++ object behind `value`, or null when `value` is not genuinely a
    // TVM object.
    tvm::runtime::ObjectRef of(py::handle value) const {
        if (!value || !PyType_Check(object_base_.ptr()) ||
            !PyType_IsSubtype(Py_TYPE(value.ptr()), reinterpret_cast<PyTypeObject*>(object_base_.ptr()))) {
            return {};
        }
        return object_of(value);
    }

private:
    py::object object_base_;
};

}  // namespace vexa::patterns
