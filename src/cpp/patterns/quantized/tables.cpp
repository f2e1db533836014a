// The three quantized pattern tables and their registration with TVM's
// pattern-table registry under "vexa", "vexa_with_clip" and "vexa_with_fc".
#include <array>

#include "patterns/definitions.hpp"
#include "patterns/language/define.hpp"

namespace vexa::patterns {

namespace {

// Priority order: an entry whose pattern contains another's stands before it.
constexpr std::array<TableEntry, 13> kBaseEntries{{
    {"vexa.qnn_conv_hswish_requant", "make_qnn_conv_hswish_pattern", nullptr},
    {"vexa.qnn_conv", "make_qnn_conv_pattern", "check_qnn_conv_pattern"},
    {"vexa.qnn_tflite_qconv", "make_qnn_tflite_conv_pattern", nullptr},
    {"vexa.qnn_add", "make_qnn_add_pattern", "check_qnn_add"},
    {"vexa.concat", "make_qnn_concat_with_req_pattern", "check_concat_pattern"},
    {"vexa.upsampling", "make_upsampling_pattern", nullptr},
    {"vexa.upsampling_nearest", "make_upsampling_nearest_pattern", "check_upsampling_nearest"},
    {"vexa.maxpool2d", "make_max_pool2d_pattern", nullptr},
    {"vexa.leaky_relu", "make_leaky_relu_pattern", nullptr},
    {"vexa.tflite_silu", "make_tflite_silu_pattern", nullptr},
    {"vexa.tflite_hswish", "make_tflite_hswish_pattern", nullptr},
    {"vexa.avg_pooling2d", "make_avg_pooling_2d_pattern", nullptr},
    {"vexa.mean", "make_mean_pattern", nullptr},
}};

constexpr TableEntry kClipEntry{"vexa.clip", "make_clip_pattern", nullptr};
constexpr TableEntry kFcEntry{"vexa.qnn_fc", "make_qnn_fc_pattern", nullptr};

// The base table, as the module's `pattern_table` gives it now, with one
// entry appended.
py::object extended_table(const ModuleGlobals& globals, const TableEntry& extra) {
    py::object table = globals["pattern_table"]();
    py::object append = table.attr("append");
    append(build_entry(globals, extra));
    return table;
}

}  // namespace

void define_quantized_tables(py::module_& m) {
    define_table(m, "vexa", "pattern_table", "The quantized pattern table: a new list of its 13 entries.",
                 [](const ModuleGlobals& globals) { return build_table(globals, kBaseEntries); });
    define_table(m, "vexa_with_clip", "pattern_table_with_clip",
                 "pattern_table() with (\"vexa.clip\", make_clip_pattern()) appended.",
                 [](const ModuleGlobals& globals) { return extended_table(globals, kClipEntry); });
    define_table(m, "vexa_with_fc", "pattern_table_with_fc",
                 "pattern_table() with (\"vexa.qnn_fc\", make_qnn_fc_pattern()) appended.",
                 [](const ModuleGlobals& globals) { return extended_table(globals, kFcEntry); });
}

}  // namespace vexa::patterns
