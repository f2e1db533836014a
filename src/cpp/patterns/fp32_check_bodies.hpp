// The float32 check predicates, each given the module's context and its one
// argument; defined in the files named after them.
#pragma once

#include <pybind11/pybind11.h>

#include "patterns/fp32_check_support.hpp"

namespace vexa::patterns {

// fp32_check_operands.cpp
py::object check_fp32_bias_add(const Fp32Context& context, py::handle extract);
py::object check_fp32_relu(const Fp32Context& context, py::handle extract);
py::object check_fp32_res_add(const Fp32Context& context, py::handle expr);

// fp32_check_attributes.cpp
py::object check_fp32_upsampling(const Fp32Context& context, py::handle extract);
py::object check_fp32_hardtanh(const Fp32Context& context, py::handle extract);

// fp32_check_concatenate.cpp
py::object check_fp32_concatenate(const Fp32Context& context, py::handle extract);

// fp32_check_pooling.cpp
py::object check_avg_pool2d(const Fp32Context& context, py::handle extract);

}  // namespace vexa::patterns
