// The float32 pattern table "vexa_fp32": its function, and its registration
// with TVM's pattern-table registry as the module's last table.
#include <array>

#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "patterns/definitions.hpp"

namespace vexa::patterns {

namespace {

struct Entry {
    const char* composite;
    const char* maker;
    const char* check;
};

// In priority order: a region claimed by an earlier entry is not offered to
// a later one (a constant add goes to bias_add before res_add, the
// activation chains claim their adds and multiplies before res_add).
constexpr std::array<Entry, 14> kEntries{{
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

// A new list of (composite name, new pattern, check) entries; makers and
// checks are looked up by their module-level names.
py::object build_table(const ModuleGlobals& globals) {
    py::list entries;
    for (const Entry& entry : kEntries) {
        py::object pattern = globals[entry.maker]();
        entries.append(py::make_tuple(py::str(entry.composite), pattern, globals[entry.check]));
    }
    return std::move(entries);
}

}  // namespace

void define_fp32_table(py::module_& m) {
    ModuleGlobals globals(m);
    py::object table = def_function(m, "pattern_table_vexa_f32", "The float32 pattern table: a new list of 14 entries.",
                                    {}, [globals](const py::handle*) { return build_table(globals); });
    m.attr("pattern_table_vexa_f32") = globals["register_pattern_table"]("vexa_fp32")(table);
}

}  // namespace vexa::patterns
