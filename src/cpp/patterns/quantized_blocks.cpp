#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_quantized_blocks(py::module_&) {}

}  // namespace vexa::patterns
