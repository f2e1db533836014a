// _native: the native side of the host compiler stand-ins: the per-thread
// record of the network being partitioned with its consumer index, the
// operator-call search, and the module-level steps of the partition driver
// (type inference in the context of a module, the functions a function pass
// visits, a shallow module copy with updated functions).
#include <Python.h>
#include <tvm/ir/module.h>
#include <tvm/relay/function.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bias_forms.hpp"
#include "call_search.hpp"
#include "common/fast_function.hpp"
#include "common/module_init.hpp"
#include "composite_hiding.hpp"
#include "composite_typing.hpp"
#include "constant_folding.hpp"
#include "form_rewrite.hpp"
#include "network_runs.hpp"
#include "network_units.hpp"
#include "nhwc_layouts.hpp"
#include "param_binding.hpp"
#include "pattern_ops.hpp"
#include "region_outline.hpp"
#include "relay/big_stack.hpp"
#include "relay/bridge.hpp"
#include "relay/call_attrs.hpp"

namespace tvm::relay {
// Type inference of an expression in the context of a module, as the
// partitioner's own MergeComposite runs it after each table entry.  Exported
// by libtvm but not declared in its public headers.
RelayExpr InferTypeWithModule(const RelayExpr& expr, const IRModule& m);
}  // namespace tvm::relay

namespace py = pybind11;

namespace {

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

template <typename Node>
tvm::runtime::ObjectRef required(py::handle value, const char* function, const char* what) {
    tvm::runtime::ObjectRef object = vexa::object_of(value);
    if (!object.defined() || !object->IsInstance<Node>()) {
        raise(PyExc_TypeError, std::string(function) + " expects " + what + ", got " + type_name(value));
    }
    return object;
}

template <typename Calls>
py::list python_calls(const Calls& calls) {
    py::list result(calls.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        result[i] = vexa::to_python(tvm::runtime::GetRef<tvm::RelayExpr>(calls[i]));
    }
    return result;
}

py::object enter_network(py::handle network) {
    auto expr = required<tvm::RelayExprNode>(network, "enter_network", "a Relay expression");
    vexa_host::enter_network(tvm::runtime::Downcast<tvm::RelayExpr>(expr));
    return py::none();
}

py::object leave_network() {
    if (!vexa_host::leave_network()) {
        raise(PyExc_RuntimeError, "leave_network: no network was entered on this thread");
    }
    return py::none();
}

py::object consumers(py::handle expr) {
    const vexa_host::ConsumerIndex* index = vexa::call_guarded([] { return vexa_host::current_index(); });
    if (index == nullptr) {
        raise(PyExc_RuntimeError,
              "get_consumers_mc answers only while a partition run is in progress (vexa_host.partition.partition "
              "or partition_for_vexa): no network is being partitioned on this thread");
    }
    auto node = required<tvm::RelayExprNode>(expr, "get_consumers_mc", "a Relay expression");
    return python_calls(index->consumers(node.get()));
}

py::object find_calls(py::handle expr, py::handle op_name) {
    auto node = required<tvm::RelayExprNode>(expr, "find_call_of_type", "a Relay expression");
    if (!PyUnicode_Check(op_name.ptr())) {
        raise(PyExc_TypeError, "find_call_of_type expects the operator name as str, got " + type_name(op_name));
    }
    const std::string name = op_name.cast<std::string>();
    return python_calls(vexa::call_guarded(
        [&] { return vexa_host::find_calls_of(static_cast<const tvm::RelayExprNode*>(node.get()), name); }));
}

// Raises TypeError when a call of `network` (an expression or a module)
// carries attributes of another kind than its operator reads, which TVM's
// type inference cannot survive.
py::object refuse_foreign_attrs(py::handle network) {
    tvm::runtime::ObjectRef object = vexa::object_of(network);
    std::string problem = vexa::call_guarded([&] {
        if (object.defined() && object->IsInstance<tvm::IRModuleNode>()) {
            return vexa::relay::first_call_with_foreign_attrs(tvm::runtime::Downcast<tvm::IRModule>(object));
        }
        if (object.defined() && object->IsInstance<tvm::RelayExprNode>()) {
            return vexa::relay::first_call_with_foreign_attrs(tvm::runtime::Downcast<tvm::RelayExpr>(object));
        }
        return std::string();
    });
    if (!problem.empty()) {
        raise(PyExc_TypeError, "the network cannot be type-checked: " + problem);
    }
    return py::none();
}

py::object infer_type_with_module(py::handle expr, py::handle module) {
    auto node = required<tvm::RelayExprNode>(expr, "infer_type_with_module", "a Relay expression");
    auto mod = required<tvm::IRModuleNode>(module, "infer_type_with_module", "an IRModule");
    refuse_foreign_attrs(expr);
    tvm::RelayExpr typed = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return tvm::relay::InferTypeWithModule(tvm::runtime::Downcast<tvm::RelayExpr>(node),
                                               tvm::runtime::Downcast<tvm::IRModule>(mod));
    });
    return vexa::to_python(typed);
}

py::object fully_typed(py::handle expr) {
    auto node = required<tvm::RelayExprNode>(expr, "fully_typed", "a Relay expression");
    return py::bool_(
        vexa::call_guarded([&] { return vexa_host::fully_typed(tvm::runtime::Downcast<tvm::RelayExpr>(node)); }));
}

py::object type_formed_composites(py::handle expr) {
    auto node = required<tvm::RelayExprNode>(expr, "type_formed_composites", "a Relay expression");
    return py::bool_(vexa::call_guarded(
        [&] { return vexa_host::type_formed_composites(tvm::runtime::Downcast<tvm::RelayExpr>(node)); }));
}

py::list python_names(const std::set<std::string>& names) {
    py::list result;
    for (const auto& name : names) {
        result.append(py::str(name));
    }
    return result;
}

py::object required_operators(py::handle pattern) {
    auto node = required<tvm::relay::DFPatternNode>(pattern, "required_operators", "a dataflow pattern");
    return python_names(vexa::call_guarded(
        [&] { return vexa_host::required_operators(tvm::runtime::Downcast<tvm::relay::DFPattern>(node)); }));
}

py::object may_match(py::handle pattern, py::handle operators) {
    auto node = required<tvm::relay::DFPatternNode>(pattern, "may_match", "a dataflow pattern");
    std::set<std::string> present;
    for (const auto& name : py::iter(operators)) {
        present.insert(py::cast<std::string>(py::str(name)));
    }
    return py::bool_(vexa::call_guarded(
        [&] { return vexa_host::may_match(tvm::runtime::Downcast<tvm::relay::DFPattern>(node), present); }));
}

py::object operator_names(py::handle expr) {
    auto node = required<tvm::RelayExprNode>(expr, "operator_names", "a Relay expression");
    return python_names(
        vexa::call_guarded([&] { return vexa_host::operator_names(tvm::runtime::Downcast<tvm::RelayExpr>(node)); }));
}

// The units of a module's "main" as (kind, name, operators, inputs, offload)
// tuples, kind being "input", "region" or "op".
py::object network_units(py::handle module) {
    auto mod =
        tvm::runtime::Downcast<tvm::IRModule>(required<tvm::IRModuleNode>(module, "network_units", "an IRModule"));
    const std::vector<vexa_host::NetworkUnit> units = vexa::call_guarded([&] { return vexa_host::network_units(mod); });
    static const char* const kinds[] = {"input", "region", "op"};
    py::list result;
    for (const auto& unit : units) {
        py::list ops;
        for (const auto& op : unit.ops) {
            ops.append(py::str(op));
        }
        py::list inputs;
        for (int input : unit.inputs) {
            inputs.append(py::int_(input));
        }
        result.append(
            py::make_tuple(py::str(kinds[unit.kind]), py::str(unit.name), ops, inputs, py::str(unit.offload)));
    }
    return result;
}

// The (global variable, function) pairs a Relay function pass rewrites: the
// Relay functions not marked for an external compiler, as external, or as
// not to be optimised; in the module's own order.
py::object optimizable_functions(py::handle module) {
    auto mod = tvm::runtime::Downcast<tvm::IRModule>(
        required<tvm::IRModuleNode>(module, "optimizable_functions", "an IRModule"));
    py::list result;
    for (const auto& [global, function] : mod->functions) {
        if (const tvm::relay::FunctionNode* relay_function = tvm::relay::AsOptimizableFunctionNode(function)) {
            result.append(py::make_tuple(vexa::to_python(global),
                                         vexa::to_python(tvm::runtime::GetRef<tvm::relay::Function>(relay_function))));
        }
    }
    return result;
}

// A shallow copy of `module` with the functions of `updates`, a sequence of
// (global variable, function) pairs, put in place.
py::object module_with(py::handle module, py::handle updates) {
    auto mod = tvm::runtime::Downcast<tvm::IRModule>(required<tvm::IRModuleNode>(module, "module_with", "an IRModule"));
    tvm::IRModule copy = mod->ShallowCopy();
    for (py::handle pair : updates) {
        auto global = tvm::runtime::Downcast<tvm::GlobalVar>(
            required<tvm::GlobalVarNode>(pair[py::int_(0)], "module_with", "a global variable"));
        auto function = tvm::runtime::Downcast<tvm::BaseFunc>(
            required<tvm::BaseFuncNode>(pair[py::int_(1)], "module_with", "a function"));
        // The functions come from partitioning the module's own functions,
        // which adds no free variable, so TVM's well-formedness walk that Add
        // runs (and whose time grows faster than the function) is left out.
        vexa::call_guarded([&] { copy->AddUnchecked(global, function); });
    }
    return vexa::to_python(copy);
}

// function() on a thread whose stack holds the nesting depth of `network`
// (an expression or a module), after refusing a network deeper than any
// such stack.
py::object run_on_big_stack(py::handle network, py::handle function) {
    if (!PyCallable_Check(function.ptr())) {
        raise(PyExc_TypeError, "run_on_big_stack expects a callable, got " + type_name(function));
    }
    const std::size_t depth =
        vexa::call_guarded([&] { return vexa::refuse_too_deep(vexa::object_of(network), "the network"); });
    return vexa::run_on_big_stack(depth, [&] { return py::reinterpret_borrow<py::object>(function)(); });
}

py::object nesting_depth(py::handle network) {
    return py::int_(vexa::call_guarded([&] { return vexa::nesting_depth(vexa::object_of(network)); }));
}

// (module, regions, transitions, note) with the composite calls of
// `compilers` outlined into external functions (the note says where the module knowingly differs
// from TVM's passes, "" where it does not), or (None, 0, 0, reason) when only
// TVM's passes give the right module for this input.
py::object outline_regions(py::handle module, py::handle compilers) {
    auto mod =
        tvm::runtime::Downcast<tvm::IRModule>(required<tvm::IRModuleNode>(module, "outline_regions", "an IRModule"));
    std::vector<std::string> names;
    for (py::handle name : compilers) {
        if (!PyUnicode_Check(name.ptr())) {
            raise(PyExc_TypeError, "outline_regions expects compiler names as str, got " + type_name(name));
        }
        names.push_back(name.cast<std::string>());
    }
    vexa_host::OutlineResult result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return vexa_host::outline_regions(mod, names);
    });
    py::object outlined = result.module.defined() ? vexa::to_python(result.module) : py::none();
    return py::make_tuple(outlined, result.regions, result.transitions,
                          result.refusal.empty() ? result.deviation : result.refusal);
}

// (folded function, roots left for FoldConstant), or None when only
// FoldConstant folds the function correctly.
py::object fold_constants(py::handle function, py::handle fold_qnn) {
    auto expr = tvm::runtime::Downcast<tvm::RelayExpr>(
        required<tvm::RelayExprNode>(function, "fold_constants", "a Relay expression"));
    const bool qnn = PyObject_IsTrue(fold_qnn.ptr()) == 1;
    vexa_host::FoldResult result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return vexa_host::fold_constants(expr, qnn);
    });
    if (result.refused) {
        return py::none();
    }
    py::list left;
    for (const auto& root : result.left) {
        left.append(vexa::to_python(root));
    }
    return py::make_tuple(vexa::to_python(result.expr), left);
}

py::object replace_nodes(py::handle function, py::handle from, py::handle to) {
    auto expr = tvm::runtime::Downcast<tvm::RelayExpr>(
        required<tvm::RelayExprNode>(function, "replace_nodes", "a Relay expression"));
    std::vector<tvm::RelayExpr> originals;
    std::vector<tvm::RelayExpr> replacements;
    for (py::handle node : from) {
        originals.push_back(tvm::runtime::Downcast<tvm::RelayExpr>(
            required<tvm::RelayExprNode>(node, "replace_nodes", "Relay expressions")));
    }
    for (py::handle node : to) {
        replacements.push_back(tvm::runtime::Downcast<tvm::RelayExpr>(
            required<tvm::RelayExprNode>(node, "replace_nodes", "Relay expressions")));
    }
    if (originals.size() != replacements.size()) {
        raise(PyExc_ValueError, "replace_nodes expects as many replacements as nodes");
    }
    return vexa::to_python(vexa::call_guarded([&] { return vexa_host::replace_nodes(expr, originals, replacements); }));
}

tvm::RelayExpr relay_expr(py::handle value, const char* function) {
    return tvm::runtime::Downcast<tvm::RelayExpr>(required<tvm::RelayExprNode>(value, function, "a Relay expression"));
}

py::object optional_python(const tvm::RelayExpr& expr) { return expr.defined() ? vexa::to_python(expr) : py::none(); }

void def_hidden_composites(py::module_& m) {
    using vexa_host::HiddenComposites;
    py::class_<HiddenComposites>(m, "HiddenComposites",
                                 "A network with its composite calls calling global variables, for TVM's "
                                 "partitioner; `active` is false when nothing is hidden.")
        .def(py::init([](py::handle network) {
                 auto expr = relay_expr(network, "HiddenComposites");
                 return vexa::call_guarded([&] { return HiddenComposites(expr); });
             }),
             py::arg("network"))
        .def_property_readonly("active", &HiddenComposites::active)
        .def_property_readonly("hidden", [](const HiddenComposites& self) { return optional_python(self.hidden()); })
        .def(
            "original",
            [](const HiddenComposites& self, py::handle node) {
                auto expr = relay_expr(node, "original");
                return vexa::to_python(vexa::call_guarded([&] { return self.original(expr); }));
            },
            "The network's node that `node` of the hidden network stands for.", py::arg("node"))
        .def(
            "restored",
            [](const HiddenComposites& self, py::handle partitioned) {
                auto expr = relay_expr(partitioned, "restored");
                return optional_python(vexa::call_guarded([&] { return self.restored(expr); }));
            },
            "The partitioned hidden network with the composite functions back; None when a formed "
            "function took in a hidden call.",
            py::arg("partitioned"));
}

// Layout and quantization forms: the named rules of form_rewrite.hpp.
py::object rewrite_forms(py::handle module, py::handle names) {
    auto mod =
        tvm::runtime::Downcast<tvm::IRModule>(required<tvm::IRModuleNode>(module, "rewrite_forms", "an IRModule"));
    std::vector<const vexa_host::FormRule*> rules;
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) {
            raise(PyExc_TypeError, "rewrite_forms expects rule names as str, got " + type_name(name));
        }
        const vexa_host::FormRule* rule = vexa_host::form_rule(name.cast<std::string>());
        if (rule == nullptr) {
            raise(PyExc_ValueError, "rewrite_forms: no rule is named " + name.cast<std::string>());
        }
        rules.push_back(rule);
    }
    std::optional<tvm::IRModule> result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return vexa_host::rewrite_forms(mod, rules);
    });
    if (!result.has_value()) {
        return py::none();
    }
    return result->same_as(mod) ? py::reinterpret_borrow<py::object>(module) : vexa::to_python(*result);
}

// The preparation's parameter binding, bias forms and layout check.

tvm::relay::Function function_argument(py::handle value, const char* function) {
    return tvm::runtime::Downcast<tvm::relay::Function>(
        required<tvm::relay::FunctionNode>(value, function, "a Relay function"));
}

// (function, typed) with `constants` bound to the parameters named `names`.
py::object bind_params(py::handle function, py::handle names, py::handle constants) {
    const tvm::relay::Function unbound = function_argument(function, "bind_params");
    std::vector<std::pair<std::string, tvm::relay::Constant>> values;
    if (!PyList_Check(names.ptr()) || !PyList_Check(constants.ptr())) {
        raise(PyExc_TypeError, "bind_params expects the names and the constants as lists");
    }
    py::list name_list = py::reinterpret_borrow<py::list>(names);
    py::list constant_list = py::reinterpret_borrow<py::list>(constants);
    if (name_list.size() != constant_list.size()) {
        raise(PyExc_ValueError, "bind_params expects as many constants as names");
    }
    for (std::size_t i = 0; i < name_list.size(); ++i) {
        if (!PyUnicode_Check(name_list[i].ptr())) {
            raise(PyExc_TypeError, "bind_params expects parameter names as str, got " + type_name(name_list[i]));
        }
        values.emplace_back(name_list[i].cast<std::string>(),
                            tvm::runtime::Downcast<tvm::relay::Constant>(
                                required<tvm::relay::ConstantNode>(constant_list[i], "bind_params", "constants")));
    }
    vexa_host::BoundParams bound = vexa::call_guarded([&] { return vexa_host::bind_params(unbound, values); });
    if (!bound.ambiguous_name.empty()) {
        raise(PyExc_ValueError, "several parameters of the network are named " + bound.ambiguous_name +
                                    ": a value given under that name cannot be bound");
    }
    return py::make_tuple(vexa::to_python(bound.function), py::bool_(bound.typed));
}

template <typename Rewrite>
py::object rewritten(py::handle function, const char* name, Rewrite&& rewrite) {
    const tvm::relay::Function input = function_argument(function, name);
    auto result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return rewrite(input);
    });
    return vexa::to_python(result);
}

py::object expand_bias_adds(py::handle function) {
    const tvm::relay::Function input = function_argument(function, "expand_bias_adds");
    std::optional<tvm::relay::Function> result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return vexa_host::expand_bias_adds(input);
    });
    return result ? vexa::to_python(*result) : py::none();
}

py::object layouts_normalized(py::handle function, py::handle desired) {
    const tvm::relay::Function input = function_argument(function, "layouts_normalized");
    if (!PyDict_Check(desired.ptr())) {
        raise(PyExc_TypeError,
              "layouts_normalized expects a dict of operator names to layouts, got " + type_name(desired));
    }
    vexa_host::DesiredLayouts layouts;
    for (auto [op, wanted] : py::reinterpret_borrow<py::dict>(desired)) {
        std::vector<std::string>& entry = layouts[py::str(op).cast<std::string>()];
        for (py::handle layout : wanted) {
            entry.push_back(py::str(layout).cast<std::string>());
        }
    }
    std::optional<tvm::relay::Function> result = vexa::call_guarded([&] {
        py::gil_scoped_release unlocked;
        return vexa_host::layouts_normalized(input, layouts);
    });
    return result ? vexa::to_python(*result) : py::none();
}

}  // namespace

VEXA_PYMODULE(_native, m) {
    def_hidden_composites(m);
    vexa::def_function(m, "enter_network", "Makes `network` the innermost network being partitioned.", {{"network"}},
                       [](const py::handle* args) { return enter_network(args[0]); });
    vexa::def_function(m, "leave_network", "Leaves the innermost network being partitioned.", {},
                       [](const py::handle*) { return leave_network(); });
    vexa::def_function(m, "consumers", "Consumers of `expr` in the innermost network being partitioned.", {{"expr"}},
                       [](const py::handle* args) { return consumers(args[0]); });
    vexa::def_function(m, "indexes_built", "How many consumer indexes the process has built so far.", {},
                       [](const py::handle*) { return py::object(py::int_(vexa_host::indexes_built())); });
    vexa::def_function(m, "find_calls", "Calls of operator `op_name` found from `expr`.", {{"expr"}, {"op_name"}},
                       [](const py::handle* args) { return find_calls(args[0], args[1]); });
    vexa::def_function(m, "infer_type_with_module", "Type inference of `expr` in the context of `module`.",
                       {{"expr"}, {"module"}},
                       [](const py::handle* args) { return infer_type_with_module(args[0], args[1]); });
    vexa::def_function(m, "refuse_foreign_attrs",
                       "Raises TypeError when a call of `network` carries attributes of another kind than its "
                       "operator reads.",
                       {{"network"}}, [](const py::handle* args) { return refuse_foreign_attrs(args[0]); });
    vexa::def_function(m, "fully_typed", "Whether every node of `expr` has a checked type.", {{"expr"}},
                       [](const py::handle* args) { return fully_typed(args[0]); });
    vexa::def_function(m, "type_formed_composites",
                       "Types, in place, the composite calls, functions and parameters that a partition of a fully "
                       "typed network formed; False (nothing changed) when other nodes are untyped.",
                       {{"expr"}}, [](const py::handle* args) { return type_formed_composites(args[0]); });
    vexa::def_function(m, "required_operators",
                       "Names of the operators that every match of `pattern` calls (a lower bound).", {{"pattern"}},
                       [](const py::handle* args) { return required_operators(args[0]); });
    vexa::def_function(
        m, "may_match", "Whether `pattern` may match in a network calling only the operators named in `operators`.",
        {{"pattern"}, {"operators"}}, [](const py::handle* args) { return may_match(args[0], args[1]); });
    vexa::def_function(m, "operator_names", "Names of every operator called in `expr`.", {{"expr"}},
                       [](const py::handle* args) { return operator_names(args[0]); });
    vexa::def_function(m, "network_units",
                       "The units of a module's main function (inputs, composite regions, operator calls outside\n"
                       "them), producers first, as (kind, name, operators, inputs, offload) tuples.",
                       {{"module"}}, [](const py::handle* args) { return network_units(args[0]); });
    vexa::def_function(m, "optimizable_functions", "(global, function) pairs that a Relay function pass rewrites.",
                       {{"module"}}, [](const py::handle* args) { return optimizable_functions(args[0]); });
    vexa::def_function(m, "run_on_big_stack",
                       "function() on a thread whose stack holds the nesting depth of `network`; ValueError when "
                       "`network` is deeper than TVM's passes can go.",
                       {{"network"}, {"function"}},
                       [](const py::handle* args) { return run_on_big_stack(args[0], args[1]); });
    vexa::def_function(m, "nesting_depth", "Nesting depth of a Relay expression or of a module's deepest function.",
                       {{"network"}}, [](const py::handle* args) { return nesting_depth(args[0]); });
    m.attr("DEEPEST_NETWORK") = py::int_(vexa::deepest_network());
    vexa::def_function(m, "module_with", "Shallow copy of `module` with the (global, function) pairs of `updates`.",
                       {{"module"}, {"updates"}}, [](const py::handle* args) { return module_with(args[0], args[1]); });
    vexa::def_function(
        m, "outline_regions",
        "(module, regions, transitions, note): the composite calls of `compilers` outlined into external "
        "functions as AnnotateTarget, MergeCompilerRegions and PartitionGraph do (the note says where "
        "it knowingly differs); module None with the reason when it cannot stand in for them.",
        {{"module"}, {"compilers"}}, [](const py::handle* args) { return outline_regions(args[0], args[1]); });
    vexa::def_function(m, "fold_constants",
                       "(function, roots left for FoldConstant) with the constant calls this module covers folded on "
                       "the data; None when FoldConstant must fold the function itself.",
                       {{"function"}, {"fold_qnn"}},
                       [](const py::handle* args) { return fold_constants(args[0], args[1]); });
    vexa::def_function(m, "replace_nodes", "`function` with the nodes of `from_nodes` replaced by those of `to_nodes`.",
                       {{"function"}, {"from_nodes"}, {"to_nodes"}},
                       [](const py::handle* args) { return replace_nodes(args[0], args[1], args[2]); });
    // Layout and quantization forms.
    vexa::def_function(m, "rewrite_forms",
                       "`module` with the rules named in `names` applied in order, each until it changes nothing; "
                       "the result is typed, `module` itself when nothing changes, None when `module` is not typed.",
                       {{"module"}, {"names"}}, [](const py::handle* args) { return rewrite_forms(args[0], args[1]); });

    // The preparation's parameter binding, bias forms and layout check.
    vexa::def_function(m, "bind_params",
                       "(function, typed): `constants` bound to the parameters of `function` named `names`, typed "
                       "as type inference would type them when `typed`.",
                       {{"function"}, {"names"}, {"constants"}},
                       [](const py::handle* args) { return bind_params(args[0], args[1], args[2]); });
    vexa::def_function(m, "expand_bias_adds",
                       "`function` with every nn.bias_add as an add of the bias expanded to the data's rank, typed; "
                       "None when a bias_add is untyped.",
                       {{"function"}}, [](const py::handle* args) { return expand_bias_adds(args[0]); });
    vexa::def_function(m, "requantized_relu_clips",
                       "`function` with each requantized ReLU (a maximum at the input zero point) as a clip after "
                       "the requantize, typed.",
                       {{"function"}}, [](const py::handle* args) {
                           return rewritten(args[0], "requantized_relu_clips", vexa_host::requantized_relu_clips);
                       });
    vexa::def_function(m, "quantized_bias_adds",
                       "`function` with the constant biases of quantized NHWC convolutions and of quantized dense "
                       "layers as nn.bias_add, typed.",
                       {{"function"}}, [](const py::handle* args) {
                           return rewritten(args[0], "quantized_bias_adds", vexa_host::quantized_bias_adds);
                       });
    vexa::def_function(m, "channel_bias_adds",
                       "`function` with each add of a (1, 1, 1, C) constant to NHWC data of C channels as "
                       "nn.bias_add on axis 3, typed.",
                       {{"function"}}, [](const py::handle* args) {
                           return rewritten(args[0], "channel_bias_adds", vexa_host::channel_bias_adds);
                       });
    vexa::def_function(m, "layouts_normalized",
                       "ConvertLayout(`desired`) of `function`, typed, where its converted operators already have "
                       "their layouts; None when only the pass can tell.",
                       {{"function"}, {"desired"}},
                       [](const py::handle* args) { return layouts_normalized(args[0], args[1]); });
}
