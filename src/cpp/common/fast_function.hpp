// Module-level functions with Python's own calling convention and errors.
//
// Creates a builtin function (METH_FASTCALL | METH_KEYWORDS) whose parameters
// are positional-or-keyword, binds the arguments by Python's rules (with the
// interpreter's own TypeError texts for missing, surplus, unknown or repeated
// arguments) and hands them to a C++ body in parameter order.  This keeps the
// call overhead of hot entry points far below that of a general dispatcher.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <vector>

namespace vexa {

namespace py = pybind11;

struct Parameter {
    const char* name;
    py::object default_value = py::object();  // null: required
};

// Receives the bound arguments in parameter order.
using FunctionBody = std::function<py::object(const py::handle* arguments)>;

constexpr std::size_t kMaxParameters = 8;

// Defines the builtin function `name` in `module` and returns it.
py::object def_function(py::module_& module, const char* name, const char* doc, std::vector<Parameter> parameters,
                        FunctionBody body);

}  // namespace vexa
