#include "patterns/definitions.hpp"

namespace vexa::patterns {

void define_quantized_tables(py::module_&) {}

}  // namespace vexa::patterns
