"""Draws a partitioned network with Graphviz, data flowing from top to
bottom.

Two levels of detail: "blocks" (the default, module `picture_blocks`)
condenses composite stretches and runs and long runs of host operators into
single boxes with their counts, so that a network of several hundred
operators fits a screen-sized picture; "full" draws every composite region
as one box listing the operators inside and every other operator call as a
node of its own."""

import math
import re
import shutil
import subprocess
import tempfile
from collections import Counter
from pathlib import Path

from vexatvm_cli.errors import CliError
from vexatvm_cli.picture_blocks import condense, cut_points

FORMATS = {".svg": "svg", ".png": "png"}
DETAILS = ("blocks", "full")
PIXELS_PER_INCH = 96  # Graphviz's bitmap resolution
SCREEN_PIXELS = 4000  # what a picture should fit to be taken in at once
STRIP_RATIO = 4  # a picture taller than this many widths is laid out in columns
_REGION_COLOURS = (
    "#cfe8ff",
    "#d8f5d0",
    "#ffe7c2",
    "#f3d6f5",
    "#fff6b3",
    "#d6f0f0",
    "#f9d3d3",
    "#e0e0ff",
    "#e6f5c9",
    "#fde2c8",
    "#d9f2e6",
    "#ffd9e6",
)
_HEADER = [
    "  rankdir=TB;",
    "  node [fontname=Helvetica, fontsize=10];",
    '  edge [color="#555555", arrowsize=0.6];',
]


def _quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _label(lines):
    """A Graphviz label of several lines."""
    return '"' + "\\n".join(line.replace("\\", "\\\\").replace('"', '\\"') for line in lines) + '"'


def _rows(items, per_row):
    return [", ".join(items[i : i + per_row]) for i in range(0, len(items), per_row)]


def _counted(counter, shown=9):
    """The most frequent names with their counts; a long tail is summed up."""
    names = [name if count == 1 else f"{name} x{count}" for name, count in counter.most_common(shown)]
    rest = len(counter) - shown
    return names + ([f"{rest} more kinds"] if rest > 0 else [])


def _graph(title, body, spacing=()):
    head = ["digraph network {", f"  labelloc=t; label={_quote(title)}; fontname=Helvetica;", *_HEADER, *spacing]
    return "\n".join([*head, *body, "}"]) + "\n"


def to_dot(units, title=""):
    """Every operator: regions as boxes listing their operators."""
    colours = {}
    lines = []
    for unit in units:
        node = f"u{unit.index}"
        if unit.kind == "region":
            colour = colours.setdefault(unit.name, _REGION_COLOURS[len(colours) % len(_REGION_COLOURS)])
            label = _label([unit.name] + _rows(unit.ops, 3))
            lines.append(f'  {node} [shape=box, style="rounded,filled", fillcolor="{colour}", label={label}];')
        elif unit.kind == "input":
            lines.append(f'  {node} [shape=invhouse, style=filled, fillcolor="#eeeeee", label={_quote(unit.name)}];')
        else:
            lines.append(f"  {node} [shape=ellipse, label={_quote(unit.name)}];")
        lines += [f"  u{producer} -> {node};" for producer in unit.inputs]
    return _graph(title, lines)


def _operators(count):
    return f"{count} operator" + ("" if count == 1 else "s")


def _block_label(block):
    if block.kind == "host_run":
        names = _counted(Counter(unit.name for unit in block.units))
        return _label([f"{len(block.units)} host operators"] + _rows(names, 3))
    composites = block.composites
    if len(block.units) == 1:
        return _label([block.units[0].name, _operators(block.operator_count)])
    prefixes = {name.split(".", 1)[0] for name in composites}
    short = Counter({name.split(".", 1)[-1] if len(prefixes) == 1 else name: n for name, n in composites.items()})
    head = f"{sum(composites.values())} {''.join(prefixes) + ' ' if len(prefixes) == 1 else ''}composites, {_operators(block.operator_count)}"
    return _label(([f"[{block.tag}]"] if block.tag else []) + [head] + _rows(_counted(short), 3))


def blocks_to_dot(blocks, title="", column_of=None):
    """The condensed view (see `picture_blocks`); with `column_of` (block
    index -> column), the network is laid out in columns side by side, the
    edges between columns left out of the ranking."""
    colours = {}
    lines = []
    for block in blocks:
        node = f"b{block.index}"
        if block.kind == "input":
            lines.append(
                f'  {node} [shape=invhouse, style=filled, fillcolor="#eeeeee", label={_quote(block.units[0].name)}];'
            )
        elif block.kind == "op":
            lines.append(f"  {node} [shape=ellipse, label={_quote(block.units[0].name)}];")
        elif block.kind == "host_run":
            lines.append(f"  {node} [shape=box, style=dashed, label={_block_label(block)}];")
        else:
            # One colour per set of composites: repeated blocks look alike.
            colour = colours.setdefault(block.signature(), _REGION_COLOURS[len(colours) % len(_REGION_COLOURS)])
            lines.append(
                f'  {node} [shape=box, style="rounded,filled", fillcolor="{colour}", label={_block_label(block)}];'
            )
        for producer in block.inputs:
            crosses = column_of is not None and column_of[producer] != column_of[block.index]
            lines.append(f"  b{producer} -> {node}" + (" [constraint=false, style=dashed];" if crosses else ";"))
    # Boxes of several lines need less space between ranks than Graphviz
    # gives by default to be told apart.
    return _graph(title, lines, ["  ranksep=0.3; nodesep=0.2;"])


def _node_tops(plain, height):
    """Block index -> distance of its node from the top, in inches."""
    tops = {}
    for line in plain.splitlines():
        words = line.split()
        if words[:1] == ["node"] and words[1].startswith("b"):
            tops[int(words[1][1:])] = height - float(words[3])
    return tops


def _columns(blocks, plain, count):
    """Splits the network into `count` columns of about equal height, at
    blocks that every later value depends on alone (see `cut_points`)."""
    height = float(plain.split()[3])
    tops = _node_tops(plain, height)
    cuts = cut_points(blocks)
    splits = set()
    for column in range(1, count):
        wanted = height * column / count
        candidates = [index for index in cuts if index not in splits and index in tops]
        if candidates:
            splits.add(min(candidates, key=lambda index: abs(tops[index] - wanted)))
    column_of, column = {}, 0
    for block in blocks:
        column_of[block.index] = column
        column += block.index in splits
    return column_of


def check_path(path):
    """The Graphviz output format for the file name; fails early on a name
    Graphviz is not asked for, or when Graphviz is missing."""
    fmt = FORMATS.get(Path(path).suffix.lower())
    if fmt is None:
        raise CliError(f"--picture {path}: the file name must end in .svg or .png")
    if shutil.which("dot") is None:
        raise CliError("--picture needs Graphviz's 'dot' program (Debian package graphviz)")
    if not Path(path).resolve().parent.is_dir():
        raise CliError(f"--picture {path}: the folder does not exist")
    return fmt


def _size(plain):
    """(width, height) in pixels from Graphviz's plain output."""
    words = plain.split(maxsplit=4)
    return round(float(words[2]) * PIXELS_PER_INCH), round(float(words[3]) * PIXELS_PER_INCH)


def _run_dot(source, *outputs):
    """Runs Graphviz on `source` for each (format, file) of `outputs`;
    returns its warnings."""
    command = [shutil.which("dot")]
    for fmt, path in outputs:
        command += [f"-T{fmt}", "-o", str(path)]
    result = subprocess.run(command, input=source, text=True, capture_output=True)
    if result.returncode != 0:
        problem = (result.stderr.strip().splitlines() or ["no message"])[-1]
        raise CliError(f"--picture {outputs[-1][1]}: Graphviz failed: {problem}")
    return result.stderr


def _layout(source):
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as plain:
        _run_dot(source, ("plain", plain.name))
        return plain.read()


def _blocks_source(units, title):
    """The condensed view, in columns when one column would be taller than
    a screen or a narrow strip: about as many columns as make the picture
    square, as far as they fit a screen's width."""
    blocks = condense(units)
    source = blocks_to_dot(blocks, title)
    plain = _layout(source)
    width, height = _size(plain)
    if height <= SCREEN_PIXELS and height <= STRIP_RATIO * width:
        return source
    count = min(round(math.sqrt(height / max(width, 1))), SCREEN_PIXELS // max(width, 1))
    if count < 2:
        return source
    return blocks_to_dot(blocks, title, _columns(blocks, plain, count))


def draw(units, path, title="", detail="blocks"):
    """Writes the picture; returns (width, height) in pixels and the
    warnings a reader should see (Graphviz scaling the picture down, a
    picture too large to take in at once)."""
    fmt = check_path(path)
    offloaded = len({unit.offload for unit in units if unit.offload})
    if offloaded:
        title += f" ({offloaded} offloaded region{'s' if offloaded > 1 else ''})"
    source = _blocks_source(units, title) if detail == "blocks" else to_dot(units, title)
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as plain:
        # One layout, two outputs: the picture and its size.
        stderr = _run_dot(source, ("plain", plain.name), (fmt, path))
        width, height = _size(plain.read())
    warnings = []
    scaled = re.search(r"[Ss]caling by ([0-9.]+)", stderr)
    if scaled:
        warnings.append(
            f"--picture {path}: the picture is {width} x {height} px, beyond Graphviz's bitmap limit: it was scaled "
            f"down by {float(scaled.group(1)):.2f} and its text may not be readable (an .svg is not scaled)"
        )
    elif max(width, height) > SCREEN_PIXELS:
        hint = "" if detail == "blocks" else "; the default detail condenses it"
        warnings.append(f"--picture {path}: the picture is {width} x {height} px, too large to take in at once{hint}")
    return (width, height), warnings
