#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_fp32_patterns(py::module_&) {}

}  // namespace vexa::patterns
