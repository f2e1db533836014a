#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_fp32_checks(py::module_&) {}

}  // namespace vexa::patterns
