"""The condensed view of a partitioned network that the default picture
draws: far fewer boxes than operators, so that a network of several hundred
operators can be taken in at once.

- A stretch of the network that only composite regions compute, entered and
  left through one value each (a residual block, an inception module), is
  one box with its composite and operator counts.
- A chain of composite regions, each feeding only the next, is one box; a
  chain of more than LONG_RUN is cut where its first composite comes again.
- A chain of host operators (outside composites) of at least HOST_RUN is one
  box listing them; shorter ones stay single operators.
- Boxes holding the same composites carry the same letter and colour, so
  that repeated blocks are recognisable.
"""

from collections import Counter
from dataclasses import dataclass, field

HOST_RUN = 3
LONG_RUN = 20


@dataclass
class Block:
    index: int
    kind: str  # "input", "op", "host_run", "composites"
    units: list  # the units it stands for, data-flow order
    inputs: list = field(default_factory=list)  # producing block indices
    tag: str = ""  # letter shared by blocks holding the same composites

    @property
    def composites(self):
        return Counter(unit.name for unit in self.units if unit.kind == "region")

    @property
    def operator_count(self):
        return sum(len(unit.ops) if unit.kind == "region" else 1 for unit in self.units if unit.kind != "input")

    def signature(self):
        return tuple(sorted(self.composites.items())) if self.kind == "composites" else ()


def _consumers(units):
    consumers = [[] for _ in units]
    for unit in units:
        for producer in unit.inputs:
            consumers[producer].append(unit.index)
    return consumers


def _stretches(units):
    """Groups of units to draw as one box: the composite-only stretches
    between cuts that hold more than one unit."""
    group_of = {}
    start = 0
    for cut in cut_points(units) + [len(units) - 1]:
        members = list(range(start, cut + 1))
        start = cut + 1
        if len(members) > 1 and all(units[i].kind == "region" for i in members):
            for i in members:
                group_of[i] = members[0]
    return group_of


def _chain_kind(unit):
    return "composites" if unit.kind == "region" else "op" if unit.kind == "op" else None


def _chains(units, consumers, group_of):
    """Extends `group_of` with chains: a unit continues the chain of its only
    producer when that producer feeds nothing else and both are composite
    regions, or both host operators; stretches stay apart."""
    in_stretch = set(group_of)
    for unit in units:
        if unit.index in in_stretch or len(unit.inputs) != 1:
            continue
        producer = units[unit.inputs[0]]
        if len(consumers[producer.index]) != 1 or producer.index in in_stretch:
            continue
        kind = _chain_kind(unit)
        if kind is not None and kind == _chain_kind(producer):
            group_of[unit.index] = group_of.get(producer.index, producer.index)
    # Short host chains stay single operators: a box would hide no more
    # than it shows.
    sizes = Counter(group_of.get(unit.index, unit.index) for unit in units if unit.kind == "op")
    for unit in units:
        if unit.kind == "op" and sizes[group_of.get(unit.index, unit.index)] < HOST_RUN:
            group_of.pop(unit.index, None)
    _split_long_runs(units, group_of, in_stretch)


def _split_long_runs(units, group_of, in_stretch):
    """A long chain of composite regions (a network that is one chain of
    blocks) is cut wherever its first composite comes again, so that its
    repeated blocks show instead of one box for all."""
    runs = {}
    for unit in units:
        if unit.kind == "region" and unit.index not in in_stretch:
            runs.setdefault(group_of.get(unit.index, unit.index), []).append(unit)
    for head, members in runs.items():
        if len(members) <= LONG_RUN:
            continue
        current = head
        for unit in members[1:]:
            if unit.name == members[0].name:
                current = unit.index
                group_of.pop(unit.index, None)
            else:
                group_of[unit.index] = current


def condense(units):
    """The blocks of a flattened network (`network_view.flatten`), producers
    before consumers."""
    consumers = _consumers(units)
    stretches = _stretches(units)
    group_of = dict(stretches)
    _chains(units, consumers, group_of)
    heads = set(group_of.values())
    block_of, blocks = {}, []
    for unit in units:
        head = group_of.get(unit.index, unit.index)
        if head not in block_of:
            if unit.kind == "input":
                kind = "input"
            elif unit.kind == "op":
                kind = "host_run" if head in heads else "op"
            else:
                kind = "composites"
            block_of[head] = Block(len(blocks), kind, [])
            blocks.append(block_of[head])
        block_of[head].units.append(unit)
    for block in blocks:
        members = {unit.index for unit in block.units}
        producers = [
            block_of[group_of.get(p, p)].index for unit in block.units for p in unit.inputs if p not in members
        ]
        block.inputs = list(dict.fromkeys(producers))
    _tag_repeats(blocks)
    return blocks


def cut_points(nodes):
    """Indices of the nodes (units or blocks, producers first) after which
    every value still to be used was made by that node: the places where a
    stretch of the network is entered or left through one value."""
    consumers = Counter(producer for node in nodes for producer in node.inputs)
    cuts, open_edges = [], 0
    for node in nodes:
        open_edges += consumers[node.index] - len(node.inputs)
        if open_edges == consumers[node.index] and consumers[node.index]:
            cuts.append(node.index)
    return cuts


def _tag_repeats(blocks):
    counts = Counter(block.signature() for block in blocks if block.kind == "composites")
    letters = {}
    for block in blocks:
        signature = block.signature()
        if block.kind == "composites" and counts[signature] > 1:
            if signature not in letters:
                letters[signature] = _letter(len(letters))
            block.tag = letters[signature]


def _letter(n):
    text = ""
    n += 1
    while n:
        n, rest = divmod(n - 1, 26)
        text = chr(ord("A") + rest) + text
    return text
