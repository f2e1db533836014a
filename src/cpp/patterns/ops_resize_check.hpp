// The check of "vexa.upsampling_nearest": only a nearest-neighbour resize of
// a computed int8 or uint8 tensor, with a rounding the target implements.
#pragma once

#include <pybind11/pybind11.h>

#include "patterns/check_support.hpp"

namespace vexa::patterns {

namespace py = pybind11;

class ResizeCheck {
public:
    explicit ResizeCheck(const py::module_& m);

    // check_upsampling_nearest(expr)
    py::object check(py::handle expr) const;

private:
    bool python_verdict(py::handle expr) const;

    CheckContext context_;
    py::str constant_name_;
};

}  // namespace vexa::patterns
