#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_quantized_ops(py::module_&) {}

}  // namespace vexa::patterns
