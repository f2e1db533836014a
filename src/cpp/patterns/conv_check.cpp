#include "patterns/conv_check.hpp"

#include <array>
#include <optional>

#include "patterns/ops_python.hpp"
#include "relay/access.hpp"
#include "relay/bridge.hpp"

namespace vexa::patterns {

namespace {

using relay::CallNode;

// The "qnn.conv2d" call reached from `node` along first arguments; null as
// soon as the walk meets a node whose Python reads could fail (not a call of
// a primitive operator, a call without arguments), which the Python-level
// walk then reports.
const CallNode* walk_to_conv(const tvm::Object* node) {
    for (;;) {
        const CallNode* call = relay::as_call(node);
        const tvm::runtime::String* name = relay::op_name(call);
        if (name == nullptr) {
            return nullptr;
        }
        if (*name == "qnn.conv2d") {
            return call;
        }
        node = relay::arg(call, 0);
        if (node == nullptr) {
            return nullptr;
        }
    }
}

// Groups, output channels and input channels (dimension 3 of the NHWC input)
// read from TVM's objects; empty when a Python read would fail or convert
// something other than a fixed integer.
std::optional<std::array<int64_t, 3>> native_counts(const CallNode* call) {
    if (call == nullptr) {
        return std::nullopt;
    }
    const auto groups = relay::int_attribute(call->attrs, "groups");
    const auto channels = groups ? relay::int_attribute(call->attrs, "channels") : std::nullopt;
    const tvm::TensorTypeNode* type = relay::checked_tensor_type(relay::arg(call, 0));
    if (!channels || type == nullptr || type->shape.size() < 4) {
        return std::nullopt;
    }
    const auto* in_channels = type->shape[3].as<tvm::IntImmNode>();
    if (in_channels == nullptr) {
        return std::nullopt;
    }
    return std::array<int64_t, 3>{*groups, *channels, in_channels->value};
}

}  // namespace

ConvCheck::ConvCheck(const py::module_& m)
    : globals_(m),
      check_conv_name_(interned("_check_conv")),
      arch_value_name_(interned("get_current_arch_value")),
      query_name_(interned("hwinquire_parameter")),
      channels_(interned("channels")),
      conv_op_(interned("qnn.conv2d")) {}

py::object ConvCheck::check_pattern(py::handle extract) const {
    const tvm::runtime::ObjectRef root = object_of(extract);
    if (const CallNode* conv = walk_to_conv(root.get())) {
        py::object check_conv = globals_[check_conv_name_];
        if (check_conv.is(own_check_conv_)) {
            if (const auto counts = native_counts(conv)) {
                return py::bool_(decide({py::int_((*counts)[0]), py::int_((*counts)[1]), py::int_((*counts)[2])}));
            }
        }
        return check_conv(to_python(tvm::runtime::GetRef<tvm::RelayExpr>(conv)));
    }
    py::object call = py::reinterpret_borrow<py::object>(extract);
    while (python::compare(call.attr("op").attr("name"), conv_op_, Py_NE)) {
        call = python::first_item(call.attr("args"));
    }
    return globals_[check_conv_name_](call);
}

py::object ConvCheck::check_conv(py::handle call) const {
    const tvm::runtime::ObjectRef object = object_of(call);
    if (const auto counts = native_counts(relay::as_call(object))) {
        return py::bool_(decide({py::int_((*counts)[0]), py::int_((*counts)[1]), py::int_((*counts)[2])}));
    }
    return py::bool_(decide(python_counts(call)));
}

ConvCheck::Counts ConvCheck::python_counts(py::handle call) {
    py::object groups = python::to_int(call.attr("attrs").attr("get_int")("groups"));
    py::object out_channels = python::to_int(call.attr("attrs").attr("get_int")("channels"));
    py::object shape = python::first_item(call.attr("args")).attr("checked_type").attr("shape");
    py::object in_channels = python::to_int(python::checked(PyObject_GetItem(shape.ptr(), py::int_(3).ptr())));
    return {groups, out_channels, in_channels};
}

// Ordinary and depthwise convolutions pass at once.  A grouped convolution
// needs a power-of-two group count that divides both channel counts, and a
// target whose channel width is a multiple of each per-group channel count
// and no wider than the input channels.  Only that last test asks the target,
// anew on every call.  All arithmetic is Python's, on Python ints.
bool ConvCheck::decide(const Counts& counts) const {
    const py::int_ zero(0);
    const py::int_ one(1);
    const py::object& groups = counts.groups;
    const py::object& ich = counts.in_channels;
    const py::object& och = counts.out_channels;

    const bool grouped = python::compare(groups, one, Py_GT) &&
                         (python::compare(groups, och, Py_NE) || python::compare(groups, ich, Py_NE));
    if (!grouped) {
        return true;
    }
    if (!python::compare(python::bit_and(groups, python::subtract(groups, one)), zero, Py_EQ)) {
        return false;
    }
    if (!python::is_multiple(ich, groups) || !python::is_multiple(och, groups)) {
        return false;
    }
    py::object query = globals_[query_name_];
    py::object arch_value = globals_[arch_value_name_]();
    py::object arch_channels = python::to_int(query(arch_value, channels_));
    if (!python::is_multiple(arch_channels, python::true_divide(ich, groups)) ||
        !python::is_multiple(arch_channels, python::true_divide(och, groups))) {
        return false;
    }
    return !python::compare(ich, arch_channels, Py_LT);
}

}  // namespace vexa::patterns
