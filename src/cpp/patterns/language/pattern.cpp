#include "patterns/language/pattern.hpp"

namespace vexa::patterns {

Pattern Pattern::operator|(const Pattern& other) const {
    PyObject* result = PyNumber_Or(object_.ptr(), other.object_.ptr());
    if (result == nullptr) {
        throw py::error_already_set();
    }
    return Pattern(py::reinterpret_steal<py::object>(result));
}

Pattern Pattern::optional(const Op& op) const { return *this | op(*this); }

}  // namespace vexa::patterns
