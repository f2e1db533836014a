// The three quantized pattern tables and their registration with TVM's
// pattern-table registry under "vexa", "vexa_with_clip" and "vexa_with_fc".
#include <array>

#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "patterns/definitions.hpp"

namespace vexa::patterns {

namespace {

struct TableEntry {
    const char* composite;
    const char* maker;
    const char* check;  // null: the entry has no check
};

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

// (composite, maker(), check): the maker runs first, then the check is
// looked up, so an entry holds the module's bindings of the moment.
py::tuple build_entry(const ModuleGlobals& globals, const TableEntry& entry) {
    py::str composite(entry.composite);
    py::object pattern = globals[entry.maker]();
    if (entry.check == nullptr) {
        return py::make_tuple(composite, pattern);
    }
    return py::make_tuple(composite, pattern, globals[entry.check]);
}

py::object base_table(const ModuleGlobals& globals) {
    py::list table;
    for (const TableEntry& entry : kBaseEntries) {
        table.append(build_entry(globals, entry));
    }
    return std::move(table);
}

// The base table, as the module's `pattern_table` gives it now, with one
// entry appended.
py::object extended_table(const ModuleGlobals& globals, const TableEntry& extra) {
    py::object table = globals["pattern_table"]();
    py::object append = table.attr("append");
    append(build_entry(globals, extra));
    return table;
}

// Registers `name` in the decorator form: the decorator is made first, then
// applied to the new function, and the module name is bound to its result.
void define_registered(py::module_& m, const char* registry_name, const char* function_name, const char* doc,
                       FunctionBody body) {
    py::object decorator = m.attr("register_pattern_table")(registry_name);
    py::object function = def_function(m, function_name, doc, {}, std::move(body));
    py::delattr(m, function_name);
    m.attr(function_name) = decorator(function);
}

}  // namespace

void define_quantized_tables(py::module_& m) {
    const ModuleGlobals globals(m);
    define_registered(m, "vexa", "pattern_table", "The quantized pattern table: a new list of its 13 entries.",
                      [globals](const py::handle*) { return base_table(globals); });
    define_registered(
        m, "vexa_with_clip", "pattern_table_with_clip",
        "pattern_table() with (\"vexa.clip\", make_clip_pattern()) appended.",
        [globals](const py::handle*) { return extended_table(globals, {"vexa.clip", "make_clip_pattern", nullptr}); });
    define_registered(m, "vexa_with_fc", "pattern_table_with_fc",
                      "pattern_table() with (\"vexa.qnn_fc\", make_qnn_fc_pattern()) appended.",
                      [globals](const py::handle*) {
                          return extended_table(globals, {"vexa.qnn_fc", "make_qnn_fc_pattern", nullptr});
                      });
}

}  // namespace vexa::patterns
