"""A flat view of a partitioned network: its units in data-flow order.

A unit is a network input, a composite region (a call of a function with
the "Composite" attribute) or a primitive operator call outside any
composite.  Calls of other functions (the external functions that graph
partitioning makes, local functions) are looked through: their bodies are
read with their parameters bound to the caller's arguments, so a network
reads the same before and after partitioning.  Constants are left out.

The network is read natively in one walk (`vexa_host._native.network_units`):
read from Python, node by node, a network of a thousand operators took a
third of a second.
"""

from dataclasses import dataclass, field

from vexa_host import _native
from vexa_host.deep_stack import on_big_stack


@dataclass
class Unit:
    index: int
    kind: str  # "input", "region" or "op"
    name: str  # input name, composite name or operator name
    ops: list = field(default_factory=list)  # operators inside a region, data-flow order
    inputs: list = field(default_factory=list)  # indices of producing units
    offload: str = ""  # the external function (offloaded region) the unit belongs to, if any


@on_big_stack("mod")
def flatten(mod):
    """The units of the module's main function, producers before consumers."""
    return [Unit(index, *fields) for index, fields in enumerate(_native.network_units(mod))]
