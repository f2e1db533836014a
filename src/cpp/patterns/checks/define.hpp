// How a check becomes a function of the module.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "patterns/checks/context.hpp"

namespace vexa::patterns::checks {

// Defines the module function of `check`: it runs the body on its one
// argument, records why when the body rejects (reasons.hpp), and becomes the
// module's own function of the check for `Context::call`.
void define_check(py::module_& m, const std::shared_ptr<Context>& context, const Check& check);

}  // namespace vexa::patterns::checks
