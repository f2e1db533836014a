// patterns: the composite pattern tables of the vexa accelerator for TVM's
// graph partitioner, with their makers and check predicates.
#include "common/module_init.hpp"
#include "patterns/definitions.hpp"

namespace py = pybind11;

namespace {

// Binds `names` from `module_name` as attributes of `m`, in order.
void bind_from(py::module_& m, const char* module_name, std::initializer_list<const char*> names) {
    py::module_ source = py::module_::import(module_name);
    for (const char* name : names) {
        m.attr(name) = source.attr(name);
    }
}

}  // namespace

VEXA_PYMODULE(patterns, m) {
    bind_from(m, "tvm.relay.dataflow_pattern", {"wildcard", "is_op", "is_tuple", "is_constant", "is_expr"});
    bind_from(m, "tvm.relay.op.contrib.register", {"register_pattern_table"});
    bind_from(m, "tvm.relay.expr", {"Call", "Constant", "const", "Tuple"});
    bind_from(m, "tvm.relay.function", {"Function"});
    bind_from(m, "tvm.relay.vexa.relay_traversal", {"get_consumers_mc", "find_call_of_type"});
    bind_from(m, "tvm.relay.vexa.build_module", {"BuildConfig"});
    bind_from(m, "tvm.ir.op", {"Op"});
    py::object hwinquire = py::module_::import("importlib").attr("import_module")(".hwinquire", m.attr("__package__"));
    m.attr("hwinquire_parameter") = hwinquire.attr("hwinquire_parameter");
    m.attr("yaml") = py::module_::import("yaml");

    using namespace vexa::patterns;
    define_arch_lookup(m);
    define_quantized_conv(m);
    define_quantized_blocks(m);
    define_quantized_ops(m);
    define_quantized_tables(m);
    define_fp32_checks(m);
    define_fp32_patterns(m);
    define_fp32_table(m);
}
