"""Draws a partitioned network with Graphviz, data flowing from top to
bottom.

Two levels of detail: "blocks" (the default, module `picture_blocks`)
condenses composite stretches and runs and long runs of host operators into
single boxes with their counts, so that a network of several hundred
operators fits a screen-sized picture; "full" draws every composite region
as one box listing the operators inside and every other operator call as a
node of its own."""
import shutil
import subprocess
import tempfile
from collections import Counter
from pathlib import Path

from vexatvm_cli.errors import CliError
from vexatvm_cli.picture_blocks import condense

FORMATS = {".svg": "svg", ".png": "png"}
DETAILS = ("blocks", "full")
PIXELS_PER_INCH = 96  # Graphviz's bitmap resolution
SCREEN_PIXELS = 4000  # what a picture should fit to be taken in at once
_REGION_COLOURS = ("#cfe8ff", "#d8f5d0", "#ffe7c2", "#f3d6f5", "#fff6b3", "#d6f0f0", "#f9d3d3")
_PLAIN_REGION = "#eef3f8"
_HEADER = [
    "  rankdir=TB;",
    "  node [fontname=Helvetica, fontsize=10];",
    "  edge [color=\"#555555\", arrowsize=0.6];",
]


def _quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _label(lines):
    """A Graphviz label of several lines."""
    return '"' + "\\n".join(line.replace("\\", "\\\\").replace('"', '\\"') for line in lines) + '"'


def _rows(items, per_row):
    return [", ".join(items[i : i + per_row]) for i in range(0, len(items), per_row)]


def _counted(counter):
    return [name if count == 1 else f"{name} x{count}" for name, count in counter.most_common()]


def _graph(title, body):
    return "\n".join(["digraph network {", f"  labelloc=t; label={_quote(title)}; fontname=Helvetica;", *_HEADER, *body, "}"]) + "\n"


def to_dot(units, title=""):
    """Every operator: regions as boxes listing their operators."""
    colours = {}
    lines = []
    for unit in units:
        node = f"u{unit.index}"
        if unit.kind == "region":
            colour = colours.setdefault(unit.name, _REGION_COLOURS[len(colours) % len(_REGION_COLOURS)])
            label = _label([unit.name] + _rows(unit.ops, 3))
            lines.append(f"  {node} [shape=box, style=\"rounded,filled\", fillcolor=\"{colour}\", label={label}];")
        elif unit.kind == "input":
            lines.append(f"  {node} [shape=invhouse, style=filled, fillcolor=\"#eeeeee\", label={_quote(unit.name)}];")
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


def blocks_to_dot(units, title=""):
    """The condensed view: see `picture_blocks`."""
    blocks = condense(units)
    colours = {}
    lines = []
    for block in blocks:
        node = f"b{block.index}"
        if block.kind == "input":
            lines.append(f"  {node} [shape=invhouse, style=filled, fillcolor=\"#eeeeee\", label={_quote(block.units[0].name)}];")
        elif block.kind == "op":
            lines.append(f"  {node} [shape=ellipse, label={_quote(block.units[0].name)}];")
        elif block.kind == "host_run":
            lines.append(f"  {node} [shape=box, style=dashed, label={_block_label(block)}];")
        else:
            colour = _PLAIN_REGION
            if block.tag:
                colour = colours.setdefault(block.tag, _REGION_COLOURS[len(colours) % len(_REGION_COLOURS)])
            lines.append(f"  {node} [shape=box, style=\"rounded,filled\", fillcolor=\"{colour}\", label={_block_label(block)}];")
        lines += [f"  b{producer} -> {node};" for producer in block.inputs]
    return _graph(title, lines)


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


def draw(units, path, title="", detail="blocks"):
    """Writes the picture; returns (width, height) in pixels and the
    warnings a reader should see (Graphviz scaling the picture down, a
    picture too large to take in at once)."""
    fmt = check_path(path)
    dot_source = blocks_to_dot(units, title) if detail == "blocks" else to_dot(units, title)
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as plain:
        # One layout, two outputs: the picture and its size.
        command = [shutil.which("dot"), "-Tplain", "-o", plain.name, f"-T{fmt}", "-o", str(path)]
        result = subprocess.run(command, input=dot_source, text=True, capture_output=True)
        if result.returncode != 0:
            problem = (result.stderr.strip().splitlines() or ["no message"])[-1]
            raise CliError(f"--picture {path}: Graphviz failed: {problem}")
        width, height = _size(plain.read())
    warnings = []
    scaled = [line for line in result.stderr.splitlines() if "Scaling" in line or "scaling" in line]
    if scaled:
        warnings.append(f"--picture {path}: Graphviz scaled the picture down to fit its size limit ({scaled[0].strip()})")
    elif max(width, height) > SCREEN_PIXELS:
        hint = "" if detail == "blocks" else "; the default detail condenses it"
        warnings.append(f"--picture {path}: the picture is {width} x {height} px, too large to take in at once{hint}")
    return (width, height), warnings
