// The groups of functions that make up the module `patterns`, each defined
// in its own file and added to the module in this order at import.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "patterns/checks/context.hpp"
#include "patterns/language/pattern.hpp"

namespace vexa::patterns {

namespace py = pybind11;

using Language = std::shared_ptr<const PatternLanguage>;
using Checks = std::shared_ptr<checks::Context>;

// get_current_arch_value (arch_lookup.cpp)
void define_arch_lookup(py::module_& m);
// Quantized convolution makers and checks (quantized/conv.cpp)
void define_quantized_conv(py::module_& m, const Language& p, const Checks& context);
// Quantize, requantize, add, multiply, tuple and concatenation makers and checks (quantized/blocks.cpp)
void define_quantized_blocks(py::module_& m, const Language& p, const Checks& context);
// Pooling, activation, resize, dense, clip and mean makers and the resize check (quantized/ops.cpp)
void define_quantized_ops(py::module_& m, const Language& p, const Checks& context);
// pattern_table, pattern_table_with_clip, pattern_table_with_fc, registered (quantized/tables.cpp)
void define_quantized_tables(py::module_& m);
// Float32 checks (fp32/define_checks.cpp)
void define_fp32_checks(py::module_& m, const Checks& context);
// Float32 makers (fp32/makers.cpp)
void define_fp32_makers(py::module_& m, const Language& p);
// pattern_table_vexa_f32, registered (fp32/table.cpp)
void define_fp32_table(py::module_& m);

}  // namespace vexa::patterns
