// The one gate between a Python value and the native reads of graph code.
//
// Only an instance of one of TVM's own classes is read through its C++
// object: mocks made with a spec and proxies claim a TVM class through
// `__class__` (so isinstance says yes) while their `handle` is anything at
// all, and a Python subclass may override what an attribute reads.  Those
// are read through Python instead.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/runtime/object.h>

namespace vexa::relay {

namespace py = pybind11;

// The C++ object behind `value`, or a null reference when `value` is not an
// instance of a class defined by TVM's own Python package.
tvm::runtime::ObjectRef native_object(py::handle value);

}  // namespace vexa::relay
