// Membership of variable names in a caller's collection of parameter names,
// with the meaning of Python's `name in names`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <unordered_set>

namespace vexa::meld {

namespace py = pybind11;

class NameSet {
public:
    // A list, tuple, set, frozenset or dict holding only `str` objects is
    // copied into a hash set; any other collection is asked through
    // Python's `in` on each query.
    explicit NameSet(py::object names);

    bool contains(std::string_view name) const;

private:
    py::object names_;
    bool copied_ = false;
    std::unordered_set<std::string> set_;
};

}  // namespace vexa::meld
