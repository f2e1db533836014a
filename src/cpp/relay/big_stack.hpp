// TVM's passes recurse once per nesting level of a graph (an `if` inside an
// `if`, a tuple inside a tuple...), about 1.3 kB of stack a level in its type
// inference, so a few thousand levels overflow the 8 MB stack of an ordinary
// thread and kill the process.  Work that hands a caller's network to TVM
// runs on a thread of its own whose stack is sized to the network's depth,
// and a network deeper than the largest such stack is refused beforehand
// with a Python exception.
#pragma once

#include <pybind11/pybind11.h>
#include <tvm/runtime/object.h>

#include <cstddef>
#include <functional>
#include <string>

namespace vexa {

namespace py = pybind11;

// Stack reserved per nesting level: the deepest-recursing pass a network goes
// through here, measured, with room to spare.
constexpr std::size_t kStackPerLevel = 4096;

// The deepest network accepted (nesting levels), from the machine's memory.
std::size_t deepest_network();

// Nesting depth of a Relay expression or of the deepest Relay function of a
// module (1 for a lone variable); 0 for anything else.  Iterative.
std::size_t nesting_depth(const tvm::runtime::ObjectRef& network);

// Raises ValueError naming `what` when `network` is deeper than
// `deepest_network()`; returns its depth otherwise.
std::size_t refuse_too_deep(const tvm::runtime::ObjectRef& network, const std::string& what);

// Runs `body` (which needs the interpreter lock) on a new thread whose stack
// holds `depth` nesting levels, and returns its result; a Python exception
// it raises is raised here.  The caller holds the interpreter lock and
// releases it while waiting.  TVM's pass context and target, and the
// caller's context variables, apply on that thread too.  On a thread that
// this function started, `body` simply runs.
py::object run_on_big_stack(std::size_t depth, const std::function<py::object()>& body);

}  // namespace vexa
