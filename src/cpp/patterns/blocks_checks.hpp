// The check predicates of the quantized addition and concatenation entries.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "patterns/check_support.hpp"

namespace vexa::patterns {

namespace py = pybind11;

// What the addition checks need from the module.
class AddCheck {
public:
    explicit AddCheck(const py::module_& m) : context_(m) {}

    // _check_qnn_add(expr): False when an operand is a constant or the two
    // operand shapes differ or are not four-dimensional.
    py::object check_add_call(py::handle expr) const;
    // check_qnn_add(extract): walks to the "qnn.add" call and hands it to the
    // module's current `_check_qnn_add`.
    py::object check_match(py::handle extract) const;

    // The module's own `_check_qnn_add`, set once it is defined.
    void set_own_add_call_check(py::object function) { own_add_call_check_ = std::move(function); }

private:
    py::object python_check_add_call(py::handle expr) const;

    CheckContext context_;
    py::str add_call_check_name_ = interned("_check_qnn_add");
    py::str qnn_add_ = interned("qnn.add");
    py::object own_add_call_check_;
};

// check_concat_pattern(extract): False when a consumer of the concatenation
// leads to a grouped quantized convolution.
class ConcatCheck {
public:
    explicit ConcatCheck(const py::module_& m) : globals_(m) {}

    py::object check_match(py::handle extract) const;

private:
    bool leads_to_grouped_conv(py::handle consumer) const;

    ModuleGlobals globals_;
    py::str get_consumers_name_ = interned("get_consumers_mc");
    py::str find_call_name_ = interned("find_call_of_type");
    py::str qnn_conv2d_ = interned("qnn.conv2d");
    py::str groups_ = interned("groups");
};

}  // namespace vexa::patterns
