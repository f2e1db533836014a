// _relay_probe: a test-only module over the package's TVM bridge (built into
// standin/lib/, not into the package).  It answers simple questions about a
// Python Relay expression from TVM's C++ objects, so that tests can check the
// crossing in both directions.
#include <tvm/relay/expr_functor.h>

#include "common/fast_function.hpp"
#include "common/module_init.hpp"
#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace py = pybind11;

namespace {

py::object op_name(py::handle expr) {
    const tvm::runtime::String* name = vexa::relay::op_name(vexa::relay::as_call(vexa::object_of(expr)));
    return name == nullptr ? py::object(py::none()) : py::object(py::str(name->data(), name->size()));
}

// Number of calls reachable from `expr`, counted without recursion.
py::object call_count(py::handle expr) {
    tvm::runtime::ObjectRef object = vexa::object_of(expr);
    const auto* node = object.as<tvm::RelayExprNode>();
    if (node == nullptr) {
        PyErr_SetString(PyExc_TypeError, "expected a Relay expression");
        throw py::error_already_set();
    }
    std::size_t count = 0;
    tvm::relay::PostOrderVisit(tvm::runtime::GetRef<tvm::RelayExpr>(node), [&count](const tvm::RelayExpr& e) {
        count += e.as<tvm::relay::CallNode>() != nullptr ? 1 : 0;
    });
    return py::int_(count);
}

py::object first_argument(py::handle expr) {
    const tvm::RelayExprNode* first = vexa::relay::arg(vexa::relay::as_call(vexa::object_of(expr)), 0);
    return first == nullptr ? py::object(py::none()) : vexa::to_python(tvm::runtime::GetRef<tvm::RelayExpr>(first));
}

py::object int_attribute(py::handle expr, py::handle name) {
    const auto* call = vexa::relay::as_call(vexa::object_of(expr));
    if (call == nullptr) {
        return py::none();
    }
    auto value = vexa::relay::int_attribute(call->attrs, name.cast<std::string>().c_str());
    return value ? py::object(py::int_(*value)) : py::object(py::none());
}

}  // namespace

VEXA_PYMODULE(_relay_probe, m) {
    vexa::def_function(m, "op_name", "Operator name of a call of a primitive operator, else None.", {{"expr"}},
                       [](const py::handle* args) { return op_name(args[0]); });
    vexa::def_function(m, "call_count", "Number of calls reachable from a Relay expression.", {{"expr"}},
                       [](const py::handle* args) { return call_count(args[0]); });
    vexa::def_function(m, "first_argument", "First argument of a call, as a Python object, else None.", {{"expr"}},
                       [](const py::handle* args) { return first_argument(args[0]); });
    vexa::def_function(m, "int_attribute", "Integer attribute of a call, read natively, else None.",
                       {{"expr"}, {"name"}}, [](const py::handle* args) { return int_attribute(args[0], args[1]); });
    vexa::def_function(m, "same_object", "The object itself, carried through C++ and back.", {{"value"}},
                       [](const py::handle* args) { return vexa::to_python(vexa::object_of(args[0])); });
}
