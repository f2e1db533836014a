// Check of the quantized concatenation entry: a concatenation stays on its
// own (not a composite) when one of its consumers leads to a grouped
// quantized convolution.
#include "patterns/blocks_checks.hpp"
#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace {

// Element 0 of a sized, indexable collection (a list, a TVM array, any
// sequence).
py::object first_of(const py::object& collection) {
    if (PyList_CheckExact(collection.ptr())) {
        return py::reinterpret_borrow<py::object>(PyList_GET_ITEM(collection.ptr(), 0));
    }
    return collection[py::int_(0)];
}

}  // namespace

bool ConcatCheck::leads_to_grouped_conv(py::handle consumer) const {
    py::object convs = globals_[find_call_name_](consumer, qnn_conv2d_);
    const Py_ssize_t count = py::len(convs);
    python_assert(count < 2);
    if (count == 0) {
        return false;
    }
    py::object conv = first_of(convs);
    // `groups` of a TVM call is read natively; anything else (a stand-in
    // object, a call without such an attribute) through its own `attrs`.
    const tvm::runtime::ObjectRef node = object_of(conv);
    if (const tvm::relay::CallNode* call = relay::as_call(node)) {
        if (const auto groups = relay::int_attribute(call->attrs, "groups")) {
            return *groups > 1;
        }
    }
    py::object groups = conv.attr("attrs").attr("get_int")(groups_);
    return groups > py::int_(1);
}

py::object ConcatCheck::check_match(py::handle extract) const {
    py::object consumers = globals_[get_consumers_name_](extract);
    for (py::handle consumer : consumers) {
        if (leads_to_grouped_conv(consumer)) {
            return py::bool_(false);
        }
    }
    return py::bool_(true);
}

}  // namespace vexa::patterns
