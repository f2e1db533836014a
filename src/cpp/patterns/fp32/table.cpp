// The float32 pattern table "vexa_fp32": its function, and its registration
// with TVM's pattern-table registry as the module's last table.
#include <array>

#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"

namespace vexa::patterns {

namespace {

// In priority order: a region claimed by an earlier entry is not offered to
// a later one (a constant add goes to bias_add before res_add, the
// activation chains claim their adds and multiplies before res_add).
constexpr std::array<TableEntry, 14> kEntries{{
    {"vexa_fp32.conv2d", "make_fp32_conv2d_pat", "check_fp32"},
    {"vexa_fp32.bias_add", "make_fp32_bias_add_pat", "check_fp32_bias_add"},
    {"vexa_fp32.maxpool2d", "make_fp32_maxpool2d_pat", "check_fp32"},
    {"vexa_fp32.leaky_relu", "make_fp32_leaky_relu_pat", "check_fp32"},
    {"vexa_fp32.silu", "make_fp32_silu_pat", "check_fp32"},
    {"vexa_fp32.hswish", "make_fp32_hswish_pat", "check_fp32"},
    {"vexa_fp32.hswish_onnx", "make_fp32_hswish_onnx_pat", "check_fp32"},
    {"vexa_fp32.res_add", "make_fp32_res_add_pat", "check_fp32_res_add"},
    {"vexa_fp32.relu", "make_fp32_relu_pat", "check_fp32_relu"},
    {"vexa_fp32.avg_pool2d", "make_fp32_avg_pool2d_pat", "check_avg_pool2d"},
    {"vexa_fp32.avg_pool2d_onnx", "make_fp32_avg_pool2d_onnx_pat", "check_avg_pool2d"},
    {"vexa_fp32.upsampling", "make_fp32_upsampling_pat", "check_fp32_upsampling"},
    {"vexa_fp32.hardtanh", "make_fp32_hardtanh_pat", "check_fp32_hardtanh"},
    {"vexa_fp32.concatenate", "make_f32_concatenate_pat", "check_fp32_concatenate"},
}};

}  // namespace

void define_fp32_table(py::module_& m) {
    define_table(m, "vexa_fp32", "pattern_table_vexa_f32", "The float32 pattern table: a new list of 14 entries.",
                 [](const ModuleGlobals& globals) { return build_table(globals, kEntries); });
}

}  // namespace vexa::patterns
