"""Region outlining: the offloaded composite calls of a partitioned network
split off into external functions, as TVM's AnnotateTarget (composite calls
only), MergeCompilerRegions and PartitionGraph do.

Those passes infer the types of the whole module again for every region
they outline, which takes minutes on networks of a few thousand operators.
The native walk (`_native.outline_regions`) gives the same module in one
pass; for the inputs it cannot reproduce (it says which) TVM's passes run.
One input is handled differently on purpose: where TVM's merge joins two
regions that only a path through a tuple connects, the outlined network
would be cyclic and PartitionGraph crashes the process; the walk keeps those
regions apart.

A transition is a tensor handed between the host and an offloaded region:
an argument of a region's function or a value it returns.
"""

from dataclasses import dataclass

import tvm
from tvm import relay
from tvm.relay import transform

from vexa_host import _native


@dataclass
class Outlined:
    mod: tvm.IRModule
    regions: int  # external functions formed
    transitions: int
    native: bool  # False when TVM's passes made the module
    note: str  # why TVM's passes ran, or where the walk knowingly differs from them; "" otherwise


def with_tvm_passes(mod, compilers):
    mod = transform.AnnotateTarget(list(compilers), False)(mod)
    mod = transform.MergeCompilerRegions()(mod)
    return transform.PartitionGraph()(mod)


def outline(mod, compilers):
    """The module with its regions for `compilers` outlined (an Outlined)."""
    outlined, regions, transitions, note = _native.outline_regions(mod, list(compilers))
    if outlined is None:
        mod = with_tvm_passes(mod, compilers)
        return Outlined(mod, *_regions_and_transitions(mod), False, note)
    if not all(_native.fully_typed(function) for _, function in outlined.functions.items()):
        outlined = transform.InferType()(outlined)
    return Outlined(outlined, regions, transitions, True, note)


def _regions_and_transitions(mod):
    regions = transitions = 0
    for _, function in mod.functions.items():
        if function.attrs and "Compiler" in function.attrs:
            returned = function.body.fields if isinstance(function.body, relay.Tuple) else [function.body]
            regions += 1
            transitions += len(function.params) + len(returned)
    return regions, transitions
