"""Draws a partitioned network with Graphviz: every composite region one
box labelled with its composite name and the operators inside, every
other operator call a plain node, network inputs as such, edges in
data-flow order from top to bottom."""
import shutil
import subprocess
from pathlib import Path

from vexatvm_cli.errors import CliError

FORMATS = {".svg": "svg", ".png": "png"}
_REGION_COLOURS = ("#cfe8ff", "#d8f5d0", "#ffe7c2", "#f3d6f5", "#fff6b3", "#d6f0f0", "#f9d3d3")


def _quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _region_label(unit):
    # Operators inside, in data-flow order, a few to a line.
    lines = [", ".join(unit.ops[i : i + 3]) for i in range(0, len(unit.ops), 3)]
    return "\\n".join([unit.name] + lines)


def to_dot(units, title=""):
    colours = {}
    lines = [
        "digraph network {",
        "  rankdir=TB;",
        f"  labelloc=t; label={_quote(title)}; fontname=Helvetica;",
        "  node [fontname=Helvetica, fontsize=10];",
        "  edge [color=\"#555555\", arrowsize=0.6];",
    ]
    for unit in units:
        node = f"u{unit.index}"
        if unit.kind == "region":
            colour = colours.setdefault(unit.name, _REGION_COLOURS[len(colours) % len(_REGION_COLOURS)])
            label = _quote(_region_label(unit)).replace("\\\\n", "\\n")
            lines.append(f"  {node} [shape=box, style=\"rounded,filled\", fillcolor=\"{colour}\", label={label}];")
        elif unit.kind == "input":
            lines.append(f"  {node} [shape=invhouse, style=filled, fillcolor=\"#eeeeee\", label={_quote(unit.name)}];")
        else:
            lines.append(f"  {node} [shape=ellipse, label={_quote(unit.name)}];")
        lines += [f"  u{producer} -> {node};" for producer in unit.inputs]
    lines.append("}")
    return "\n".join(lines) + "\n"


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


def draw(units, path, title=""):
    fmt = check_path(path)
    dot = shutil.which("dot")
    result = subprocess.run([dot, f"-T{fmt}", "-o", str(path)], input=to_dot(units, title), text=True, capture_output=True)
    if result.returncode != 0:
        problem = (result.stderr.strip().splitlines() or ["no message"])[-1]
        raise CliError(f"--picture {path}: Graphviz failed: {problem}")
