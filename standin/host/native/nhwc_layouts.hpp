// TVM's ConvertLayout on a network that already has the layouts asked for.
//
// The pass infers the types of the whole module and rebuilds every call of
// the operators it converts, even on a network that already has the
// layouts asked for (every TFLite network, for NHWC): seconds on a deep
// network, for nothing.  Its conversion of each operator is a Python hook
// that writes fixed layouts into the call's attributes; when every call
// already carries exactly those, the pass only writes down what the layouts
// imply: the output layout of a pool that has none, axes counted from the
// front (reductions, squeeze, concatenate, requantize) and operands of lower
// rank of broadcasting calls expanded where their other operand's layout is
// known.  That much is done here.
#pragma once

#include <tvm/relay/function.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vexa_host {

// Operator name -> desired layouts, as ConvertLayout takes them.
using DesiredLayouts = std::map<std::string, std::vector<std::string>>;

// What ConvertLayout(`desired`) gives for `function`, typed, where its
// converted operators already have their layouts and every operator that a
// known layout reaches is one whose handling by the pass is followed here;
// the very function when nothing changes; nullopt when only the pass can
// tell.
std::optional<tvm::relay::Function> layouts_normalized(const tvm::relay::Function& function,
                                                       const DesiredLayouts& desired);

}  // namespace vexa_host
