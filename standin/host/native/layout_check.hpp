// Whether TVM's ConvertLayout would leave a function as it is.
//
// The pass infers the types of the whole module and rebuilds every call of
// the operators it converts, even on a network that already has the
// layouts asked for (every TFLite network, for NHWC): seconds on a deep
// network, for nothing.  Its conversion of each operator is a Python hook
// that writes fixed layouts into the call's attributes; when every call
// already carries exactly those, the pass has nothing to change.
#pragma once

#include <tvm/relay/function.h>

#include <map>
#include <string>
#include <vector>

namespace vexa_host {

// Operator name -> desired layouts, as ConvertLayout takes them.
using DesiredLayouts = std::map<std::string, std::vector<std::string>>;

// True when every call in `function` of an operator of `desired` already has
// the layouts the conversion would give it, and no broadcasting call mixes
// operands of different ranks (other than scalars).  False when any call
// differs, or when this cannot tell (an operator whose conversion it does not
// know, untyped or symbolic shapes where the choice of kernel layout reads
// them).
bool layouts_already(const tvm::relay::Function& function, const DesiredLayouts& desired);

}  // namespace vexa_host
