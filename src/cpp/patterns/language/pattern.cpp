#include "patterns/language/pattern.hpp"

#include "patterns/checks/python.hpp"

namespace vexa::patterns {

Pattern Pattern::operator|(const Pattern& other) const {
    return Pattern(python::checked(PyNumber_Or(object_.ptr(), other.object_.ptr())));
}

Pattern Pattern::optional(const Op& op) const { return *this | op(*this); }

}  // namespace vexa::patterns
