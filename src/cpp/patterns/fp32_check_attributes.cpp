// Checks that judge a call by its attributes: the resize (method and
// rounding) and the clip (lower bound 0).
#include <tvm/relay/expr.h>

#include <array>
#include <string>

#include "patterns/fp32_check_bodies.hpp"
#include "relay/access.hpp"

namespace vexa::patterns {

namespace {

using relay::CallNode;

constexpr std::array<const char*, 3> kMethods{"nearest_neighbor", "bilinear", "linear"};
constexpr std::array<const char*, 2> kRoundings{"", "round"};

template <std::size_t N>
bool listed(const std::string& text, const std::array<const char*, N>& accepted) {
    for (const char* entry : accepted) {
        if (text == entry) {
            return true;
        }
    }
    return false;
}

// `value in [accepted...]`, with Python's own comparisons.
template <std::size_t N>
bool python_listed(const py::handle& value, const std::array<const char*, N>& accepted) {
    py::list entries;
    for (const char* entry : accepted) {
        entries.append(py::str(entry));
    }
    const int found = PySequence_Contains(entries.ptr(), value.ptr());
    if (found < 0) {
        throw py::error_already_set();
    }
    return found != 0;
}

// The resize's verdict before the float32 test, when it can be read
// natively: false to reject, true to go on.
std::optional<bool> native_resize_fits(const Fp32Context& context, const CallNode* call) {
    if (call == nullptr || call->args.empty() || !call->attrs.defined() ||
        !context.classes().unchanged(CheckContext::kConstant)) {
        return std::nullopt;
    }
    if (call->args[0].as<tvm::relay::ConstantNode>() != nullptr) {
        return false;
    }
    auto method = relay::str_attribute(call->attrs, "method");
    if (!method) {
        return std::nullopt;
    }
    if (!listed(*method, kMethods)) {
        return false;
    }
    auto rounding = relay::str_attribute(call->attrs, "rounding_method");
    if (!rounding) {
        return std::nullopt;
    }
    return listed(*rounding, kRoundings);
}

bool python_resize_fits(const Fp32Context& context, const CheckValue& extract) {
    py::object args = extract.python().attr("args");
    py::object attrs = extract.python().attr("attrs");
    if (python_isinstance(python_item(args, 0), context.classes().globals()["Constant"])) {
        return false;
    }
    if (!python_listed(attrs.attr("get_str")("method"), kMethods)) {
        return false;
    }
    return python_listed(attrs.attr("get_str")("rounding_method"), kRoundings);
}

}  // namespace

py::object check_fp32_upsampling(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    std::optional<bool> fits = native_resize_fits(context, relay::as_call(extract.node()));
    if (!(fits ? *fits : python_resize_fits(context, extract))) {
        return py::bool_(false);
    }
    return context.check_fp32(extract);
}

py::object check_fp32_hardtanh(const Fp32Context& context, py::handle argument) {
    const CheckValue extract = CheckValue::of(argument);
    bool lower_bound_zero = false;
    if (auto lower = numeric_attribute(extract.node(), "a_min")) {
        lower_bound_zero = *lower == 0.0;
    } else {
        py::object min_val = extract.python().attr("attrs").attr("get_int")("a_min");
        lower_bound_zero = !python_ne(min_val, py::float_(0.0));
    }
    if (!lower_bound_zero) {
        return py::bool_(false);
    }
    return context.check_fp32(extract);
}

}  // namespace vexa::patterns
