// patterns: the composite pattern tables of the vexa accelerator for TVM's
// graph partitioner, with their makers and check predicates.
//
//   language/   the pattern type the makers write with (A | B, .optional),
//               and how makers and tables become module functions
//   checks/     what checks read and how (value.hpp), the module as they see
//               it (context.hpp), the rules several checks share (rules.hpp),
//               and why a check rejected (reasons.hpp)
//   quantized/  the makers, checks and tables "vexa", "vexa_with_clip",
//               "vexa_with_fc"
//   fp32/       the makers, checks and table "vexa_fp32"
//
// A new table entry: its maker in the folder of its table (define_makers),
// its check as a Check whose rejecting steps say why (refuse, or a rule of
// checks/rules.hpp), the entry in the table's list, and a test of the
// verdicts and of the reason recorded.
#include "common/fast_function.hpp"
#include "common/module_init.hpp"
#include "patterns/checks/python.hpp"
#include "patterns/checks/reasons.hpp"
#include "patterns/definitions.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleDoc =
    "The composite pattern tables of the vexa accelerator for TVM's graph partitioner\n"
    "(\"vexa\", \"vexa_with_clip\", \"vexa_with_fc\", \"vexa_fp32\"), with their pattern makers\n"
    "and check predicates.\n"
    "\n"
    "Why checks reject (private, for tools that explain a partition):\n"
    "\n"
    "_record_check_reasons(on) -> bool\n"
    "    Switches the recording of rejections on or off (off at import) and returns\n"
    "    the previous setting.  Recording is process-wide; it costs nothing while off.\n"
    "_take_check_reasons() -> list[dict]\n"
    "    The rejections recorded since the last take, oldest first, and forgets them.\n"
    "    One dict per rejected match: {\"check\": name of the check called,\n"
    "    \"operator\": the operator the deciding step looked at (the anchor of a\n"
    "    multi-operator match, else the matched call), \"shape\": the dimensions of\n"
    "    its output, \"reason\": the values read and the limit broken}.  A check that\n"
    "    runs inside another check (through its module-level name) adds no record\n"
    "    of its own: its reason becomes the outer check's.  Safe to use from\n"
    "    several threads.";

// Binds `names` from `module_name` as attributes of `m`, in order.
void bind_from(py::module_& m, const char* module_name, std::initializer_list<const char*> names) {
    py::module_ source = py::module_::import(module_name);
    for (const char* name : names) {
        m.attr(name) = source.attr(name);
    }
}

}  // namespace

VEXA_PYMODULE(patterns, m) {
    m.doc() = kModuleDoc;
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
    auto language = std::make_shared<const PatternLanguage>(m);
    auto context = std::make_shared<checks::Context>(m);
    define_arch_lookup(m);
    define_quantized_conv(m, language, context);
    define_quantized_blocks(m, language, context);
    define_quantized_ops(m, language, context);
    define_quantized_tables(m);
    define_fp32_checks(m, context);
    define_fp32_makers(m, language);
    define_fp32_table(m);

    vexa::def_function(
        m, "_record_check_reasons", "Switches the recording of why checks reject; returns the previous setting.",
        {{"on"}}, [](const py::handle* args) { return py::bool_(checks::record_reasons(python::truth(args[0]))); });
    vexa::def_function(m, "_take_check_reasons", "The rejections recorded since the last take, oldest first.", {},
                       [](const py::handle*) { return py::object(checks::take_reasons()); });
}
