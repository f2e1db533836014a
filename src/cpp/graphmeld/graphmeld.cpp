// graphmeld: fuses several independent Relay networks into one module whose
// main function returns the tuple of all network outputs, with every
// network's variables and parameter keys suffixed by its 1-based number and,
// on request, one input shared by all networks.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/fast_function.hpp"
#include "common/module_globals.hpp"
#include "common/module_init.hpp"
#include "graphmeld/passes.hpp"
#include "relay/big_stack.hpp"
#include "relay/bridge.hpp"
#include "relay/call_attrs.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleName = "vexatvm_internal.graphmeld";
constexpr const char* kRenamerDoc = "Update each var's name by appending a suffix.";
constexpr const char* kMergerDoc = "Make multiple networks share a single input tensor.";
constexpr const char* kFuseDoc = "Fusing multiple networks.";
constexpr const char* kModuleDoc =
    "Fusion of independent Relay networks into one module.\n"
    "\n"
    "fuse_graphmeld(mod_list, params_list, share_input=False) returns (fused_mod, fused_params): a module whose\n"
    "main function returns the tuple of all network outputs, network 1's first, with every variable of network k\n"
    "and every key of its parameter dictionary suffixed by \"_k\" (k counted from 1).\n"
    "\n"
    "With share_input, the networks read one input: every call whose first argument is an input of a network\n"
    "(a parameter of its main function not named in the parameter dictionaries) reads the first such input met\n"
    "instead, network 1's before the others; every call whose first argument is a qnn.quantize call of an input\n"
    "reads the first such quantize call instead, so every network quantizes its input with the first network's\n"
    "scale and zero point, whatever its own are.  Variables bound inside a network (by a let, or as parameters of\n"
    "an inner function) are not inputs.  An input whose type (shape or dtype, even one that would broadcast)\n"
    "differs from the shared one's is refused with TypeError naming both networks and both types; nothing is\n"
    "returned then.\n"
    "\n"
    "TVM's passes run on a thread whose stack holds the networks' nesting depth; a network nested deeper than\n"
    "the machine's memory allows for is refused with ValueError before TVM sees it.";
constexpr const char* kUpdateParamsDoc =
    "New dictionary holding each entry of `params` under its key extended by \"_\" and str(suffix).";

struct FusionModule {
    explicit FusionModule(const py::module_& m) : globals(m) {}
    vexa::ModuleGlobals globals;
    const py::str tvm_name = vexa::interned("tvm");
    const py::str annotation_name = vexa::interned("annotation");
    const py::str tuple_name = vexa::interned("Tuple");
    const py::str renamer_name = vexa::interned("_VarNameSuffixAppender");
    const py::str merger_name = vexa::interned("_InputMerger");
    const py::str update_params_name = vexa::interned("_update_params");
    bool asserts_enabled = true;
};

// A method of a pass class: a builtin function with Python's argument
// binding, made to bind to instances as a function defined in a class does.
py::object method(const char* name, const char* doc, std::vector<vexa::Parameter> parameters, vexa::FunctionBody body) {
    // def_function also binds the name in the module it is given: a scratch
    // module of the same name keeps the methods out of the real namespace.
    auto scratch = py::reinterpret_steal<py::module_>(PyModule_New(kModuleName));
    if (!scratch) {
        throw py::error_already_set();
    }
    py::object function = vexa::def_function(scratch, name, doc, std::move(parameters), std::move(body));
    PyObject* bound = PyInstanceMethod_New(function.ptr());
    if (bound == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(bound);
}

// A plain class (no base) with the given methods, passed through
// `transform.function_pass(opt_level=1)`; returns the resulting pass class.
py::object function_pass_class(const py::module_& m, const char* name, const char* doc, py::dict methods) {
    methods["__doc__"] = py::str(doc);
    methods["__module__"] = py::str(kModuleName);
    methods["__qualname__"] = py::str(name);
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        py::str(name), py::tuple(), methods);
    py::dict options;
    options["opt_level"] = 1;
    py::object decorator = m.attr("transform").attr("function_pass")(**options);
    return decorator(cls);
}

void define_pass_classes(py::module_& m) {
    py::dict renamer;
    renamer["__init__"] = method("__init__", "", {{"self"}, {"suffix"}}, [](const py::handle* a) {
        a[0].attr("suffix") = a[1];
        return py::object(py::none());
    });
    renamer["transform_function"] =
        method("transform_function", "", {{"self"}, {"func"}, {"mod"}, {"ctx"}},
               [](const py::handle* a) { return vexa::meld::rename_variables(a[0], a[1]); });
    m.attr("_VarNameSuffixAppender") = function_pass_class(m, "_VarNameSuffixAppender", kRenamerDoc, renamer);

    py::dict merger;
    merger["__init__"] = method("__init__", "", {{"self"}, {"param_names"}}, [](const py::handle* a) {
        a[0].attr("param_names") = a[1];
        a[0].attr("shared_input") = py::none();
        a[0].attr("shared_quantized_input") = py::none();
        return py::object(py::none());
    });
    merger["_var_is_input"] = method("_var_is_input", "", {{"self"}, {"var_name"}}, [](const py::handle* a) {
        return py::object(py::bool_(vexa::meld::var_is_input(a[0], a[1])));
    });
    merger["transform_function"] = method("transform_function", "", {{"self"}, {"func"}, {"mod"}, {"ctx"}},
                                          [](const py::handle* a) { return vexa::meld::merge_inputs(a[0], a[1]); });
    m.attr("_InputMerger") = function_pass_class(m, "_InputMerger", kMergerDoc, merger);
}

// `key, value = item`, with the errors of Python's unpacking.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
    }
    PyObject* iterator = PyObject_GetIter(item.ptr());
    if (iterator == nullptr) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item.ptr())->tp_name);
        throw py::error_already_set();
    }
    auto values = py::reinterpret_steal<py::iterator>(iterator);
    std::vector<py::object> found;
    for (py::handle value : values) {
        if (found.size() == 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw py::error_already_set();
        }
        found.push_back(py::reinterpret_borrow<py::object>(value));
    }
    if (found.size() < 2) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zu)", found.size());
        throw py::error_already_set();
    }
    return {found[0], found[1]};
}

py::object add(py::handle left, py::handle right) {
    PyObject* sum = PyNumber_Add(left.ptr(), right.ptr());
    if (sum == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(sum);
}

// for key, value in params.items(): new_params[key + "_" + str(suffix)] = value
py::object update_params(py::handle params, py::handle suffix) {
    py::dict new_params;
    const py::str separator("_");
    for (py::handle item : params.attr("items")()) {
        auto [key, value] = unpack_pair(item);
        new_params[add(add(key, separator), py::str(suffix))] = value;
    }
    return std::move(new_params);
}

// The passes type-check a network first, and TVM's type relations read a
// call's attributes without checking their kind: a network with a call
// carrying another kind of attributes is refused before it reaches them.
// So is a network nested deeper than TVM's recursive passes can go.  Returns
// the network's nesting depth.
std::size_t refuse_unworkable(py::handle mod, Py_ssize_t index) {
    tvm::runtime::ObjectRef object = vexa::object_of(mod);
    if (!object.defined() || !object->IsInstance<tvm::IRModuleNode>()) {
        return 0;  // not a module: the passes raise their own error
    }
    const std::string name = "mod_list[" + std::to_string(index) + "]";
    std::string problem = vexa::call_guarded(
        [&] { return vexa::relay::first_call_with_foreign_attrs(tvm::runtime::Downcast<tvm::IRModule>(object)); });
    if (!problem.empty()) {
        PyErr_SetString(PyExc_TypeError, (name + ": " + problem).c_str());
        throw py::error_already_set();
    }
    return vexa::refuse_too_deep(object, name);
}

py::object fuse_networks(const FusionModule& module, const std::vector<py::object>& mods, py::handle params_list,
                         py::handle share_input) {
    py::list exprs;
    py::dict fused_params;
    const py::str main_name("main");
    for (std::size_t i = 0; i < mods.size(); ++i) {
        py::int_ number(i + 1);
        py::object suffix_appender = module.globals[module.renamer_name](number);
        py::object mod = suffix_appender(mods[i]);
        exprs.append(mod[main_name].attr("body"));
        py::object params = module.globals[module.update_params_name](params_list[py::int_(i)], number);
        fused_params.attr("update")(params);
    }
    py::object tuple = module.globals[module.tuple_name](exprs);
    py::object fused_expr = module.globals[module.annotation_name].attr("tuple_graphmeld")(tuple);
    py::object fused_mod = module.globals[module.tvm_name].attr("IRModule").attr("from_expr")(fused_expr);
    if (PyObject_IsTrue(share_input.ptr()) == 1) {
        py::object input_merger = module.globals[module.merger_name](py::list(fused_params.attr("keys")()));
        fused_mod = input_merger(fused_mod);
    } else if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return py::make_tuple(fused_mod, fused_params);
}

py::object fuse_graphmeld(const FusionModule& module, py::handle mod_list, py::handle params_list,
                          py::handle share_input) {
    const Py_ssize_t num_networks = py::len(mod_list);
    if (module.asserts_enabled && num_networks != static_cast<Py_ssize_t>(py::len(params_list))) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
    std::vector<py::object> mods;
    std::size_t depth = 0;
    for (Py_ssize_t i = 0; i < num_networks; ++i) {
        mods.push_back(mod_list[py::int_(i)]);
        depth = std::max(depth, refuse_unworkable(mods.back(), i));
    }
    // Every pass the fusion runs recurses through the networks.
    return vexa::run_on_big_stack(depth, [&] { return fuse_networks(module, mods, params_list, share_input); });
}

}  // namespace

VEXA_PYMODULE(graphmeld, m) {
    m.doc() = kModuleDoc;
    m.attr("tvm") = py::module_::import("tvm");
    py::module_ relay = py::module_::import("tvm.relay");
    m.attr("transform") = relay.attr("transform");
    m.attr("analysis") = relay.attr("analysis");
    m.attr("annotation") = relay.attr("annotation");
    py::module_ expr = py::module_::import("tvm.relay.expr");
    for (const char* name : {"Call", "Tuple", "Var", "var"}) {
        m.attr(name) = expr.attr(name);
    }
    m.attr("ExprMutator") = py::module_::import("tvm.relay.expr_functor").attr("ExprMutator");
    m.attr("Function") = py::module_::import("tvm.relay.function").attr("Function");

    define_pass_classes(m);

    auto module = std::make_shared<FusionModule>(m);
    module->asserts_enabled = py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
    vexa::def_function(m, "_update_params", kUpdateParamsDoc, {{"params"}, {"suffix"}},
                       [](const py::handle* a) { return update_params(a[0], a[1]); });
    vexa::def_function(m, "fuse_graphmeld", kFuseDoc,
                       {{"mod_list"}, {"params_list"}, {"share_input", py::bool_(false)}},
                       [module](const py::handle* a) { return fuse_graphmeld(*module, a[0], a[1], a[2]); });
}
