#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_arch_lookup(py::module_&) {}

}  // namespace vexa::patterns
