// A flat view of a partitioned network, read in one native walk: the units
// that the command's reports and pictures show.
//
// A unit is a network input, a composite region (a call of a function with
// the "Composite" attribute) or a primitive operator call outside any
// composite.  Calls of other functions (the external functions of outlined
// regions, local functions) are looked through: their bodies are read with
// their parameters bound to the caller's arguments, so a network reads the
// same before and after outlining.  Constants are left out.
#pragma once

#include <tvm/ir/module.h>

#include <string>
#include <vector>

namespace vexa_host {

struct NetworkUnit {
    enum Kind { kInput, kRegion, kOperator } kind;
    std::string name;              // input name, composite name or operator name
    std::vector<std::string> ops;  // the operators inside a region, in data-flow order
    std::vector<int> inputs;       // the producing units, each once, in the order first used
    std::string offload;           // the external function the unit belongs to, if any
};

// The units of `mod`'s "main", producers before consumers.
std::vector<NetworkUnit> network_units(const tvm::IRModule& mod);

}  // namespace vexa_host
