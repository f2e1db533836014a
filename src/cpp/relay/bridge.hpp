// Crossing between Python TVM objects and TVM's C++ objects.
//
// Under TVM's ctypes FFI every attribute read on a Python TVM object is a
// foreign call of 15 to 30 microseconds.  The package's graph work therefore
// reaches the C++ object behind a Python object once and walks TVM's own
// data structures from there, at native speed; results go back to Python as
// the objects TVM's own FFI would have produced.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/runtime/object.h>

#include <exception>
#include <utility>

namespace vexa {

namespace py = pybind11;

// The C++ object behind a Python TVM object (any `tvm.runtime.Object`), or a
// null reference when `value` is anything else (None, a number, a mock...).
tvm::runtime::ObjectRef object_of(py::handle value);

// The Python object for a C++ TVM object, of the class TVM's FFI gives it
// (`relay.Call`, `relay.Var`, `tvm.IRModule`...); None for a null reference.
py::object to_python(const tvm::runtime::ObjectRef& ref);

// Raises TVM's Python error class (tvm.error.TVMError) with `message`.
[[noreturn]] void raise_tvm_error(const char* message);

// Runs `body`; an error thrown by TVM's C++ code (a failed ICHECK, for
// instance) becomes TVM's Python error instead of escaping to the interpreter.
template <typename Body>
auto call_guarded(Body&& body) -> decltype(body()) {
    try {
        return std::forward<Body>(body)();
    } catch (const py::error_already_set&) {
        throw;
    } catch (const std::exception& error) {
        raise_tvm_error(error.what());
    }
}

}  // namespace vexa
