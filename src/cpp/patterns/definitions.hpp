// The groups of functions that make up the module `patterns`, each defined
// in its own file and added to the module in this order at import.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "patterns/checks/context.hpp"

namespace vexa::patterns {

namespace py = pybind11;

// get_current_arch_value
void define_arch_lookup(py::module_& m);
// Quantized convolution makers and check
void define_quantized_conv(py::module_& m, const std::shared_ptr<checks::Context>& context);
// Quantize, requantize, add, multiply, tuple and concatenation makers and checks
void define_quantized_blocks(py::module_& m, const std::shared_ptr<checks::Context>& context);
// Pooling, activation, resize, dense, clip and mean makers and the resize check
void define_quantized_ops(py::module_& m, const std::shared_ptr<checks::Context>& context);
// pattern_table, pattern_table_with_clip, pattern_table_with_fc, registered
void define_quantized_tables(py::module_& m);
// Float32 checks
void define_fp32_checks(py::module_& m, const std::shared_ptr<checks::Context>& context);
// Float32 makers
void define_fp32_patterns(py::module_& m);
// pattern_table_vexa_f32, registered
void define_fp32_table(py::module_& m);

}  // namespace vexa::patterns
