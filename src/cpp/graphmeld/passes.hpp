// The two function passes of network fusion, as the bodies of their
// `transform_function` methods.  `pass_object` is the instance that holds the
// pass's fields (`suffix`; `param_names`, `shared_input`,
// `shared_quantized_input`), read and written as Python attributes.
#pragma once

#include <pybind11/pybind11.h>

namespace vexa::meld {

namespace py = pybind11;

// Every variable of `func` (parameters, let-bound, inner functions) replaced
// by a new variable named `<name>_<str(suffix)>` with the same type
// annotation; one new variable per old one.
py::object rename_variables(py::handle pass_object, py::handle func);

// Calls whose first argument is an input variable, or a "qnn.quantize" call
// of one, are redirected to the first such node met; the function is rebuilt
// over the free variables of the new body.
py::object merge_inputs(py::handle pass_object, py::handle func);

// True when `var_name` is not among the pass object's `param_names`.
bool var_is_input(py::handle pass_object, py::handle var_name);

}  // namespace vexa::meld
