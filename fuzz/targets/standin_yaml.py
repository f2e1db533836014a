"""The stand-in native library's YAML handling, through the query: raw
bytes, and documents built from YAML's constructs (block and flow
collections, deep nesting, anchors and aliases, tags, several documents,
integers of every size and base)."""

import re

import atheris

from targets.common import Fault
from vexatvm_internal import hwinquire

_ANSWER = re.compile(r"-?[0-9]+")
_PRESETS = {"vexa-nano": 8, "vexa-lite": 16, "vexa-pro": 32, "vexa-max": 64}
_SCALARS = (
    "channels",
    "arch",
    "vexa-lite",
    "vexa-max",
    "~",
    "null",
    "true",
    "0x10",
    "0o17",
    "1_000",
    "1e3",
    "-9223372036854775808",
    "9223372036854775807",
    "9223372036854775808",
    "99999999999999999999999",
    "''",
    '"quoted"',
    "!!int 5",
    "!!str 5",
    "!!binary AAAA",
    "&a 1",
    "*a",
    "*undefined",
    "<<",
    "? ",
    "-",
    "|",
    ">",
    "#",
    "%YAML 1.2",
    "---",
    "...",
    "\t",
    "\0",
    "\ufeff",
)


def _node(fdp, depth):
    """YAML text of one node, nested at most `depth` levels."""
    kind = fdp.ConsumeIntInRange(0, 6 if depth > 0 else 2)
    if kind == 0:
        return _SCALARS[fdp.ConsumeIntInRange(0, len(_SCALARS) - 1)]
    if kind == 1:
        return str(fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12)))
    if kind == 2:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 16))
    if kind == 3:
        items = [_node(fdp, depth - 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        return "[" + ", ".join(items) + "]"
    if kind == 4:
        items = [f"{_node(fdp, 0)}: {_node(fdp, depth - 1)}" for _ in range(fdp.ConsumeIntInRange(0, 4))]
        return "{" + ", ".join(items) + "}"
    if kind == 5:  # nesting far deeper than any configuration
        count = fdp.ConsumeIntInRange(1, 100000)
        return "[" * count + _node(fdp, 0) + "]" * fdp.ConsumeIntInRange(0, count)
    return "&x [" + _node(fdp, depth - 1) + "]\n" + "y: " + ", ".join(["*x"] * fdp.ConsumeIntInRange(1, 64))


def _document(fdp):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 256)).decode("utf-8", "replace")
    if kind == 1:
        return "\n".join(f"{_node(fdp, 0)}: {_node(fdp, 3)}" for _ in range(fdp.ConsumeIntInRange(0, 6)))
    if kind == 2:
        return _node(fdp, 4)
    if kind == 3:
        return "\n---\n".join(_document_simple(fdp) for _ in range(fdp.ConsumeIntInRange(1, 3)))
    return _document_simple(fdp)


def _document_simple(fdp):
    """A configuration the library must answer exactly."""
    value = fdp.ConsumeIntInRange(-(1 << 63), (1 << 63) - 1)
    preset = list(_PRESETS)[fdp.ConsumeIntInRange(0, 3)]
    return [
        f"channels: {value}",
        f"arch: {preset}",
        f"arch: {preset}\nchannels: {value}",
        f"{{arch: {preset}, other: [1, 2]}}",
    ][fdp.ConsumeIntInRange(0, 3)]


def _exact_answer(document, name):
    """The answer a simple one-document configuration must give ("" when
    the library must refuse it), or None when the document is not one of
    those."""
    preset = r"([a-z][a-z0-9-]*)"
    match = re.fullmatch(
        rf"(arch: {preset}\n)?channels: (-?(?:0|[1-9][0-9]*))|arch: {preset}"
        rf"|\{{arch: {preset}, other: \[1, 2\]\}}",
        document,
    )
    if not match or name != "channels":
        return None
    if match.group(3) is not None:
        value = int(match.group(3))
        return str(value) if -(1 << 63) <= value < (1 << 63) else None
    return str(_PRESETS.get(match.group(4) or match.group(5), ""))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    document = _document(fdp)
    name = ("channels", "arch", "other", "")[fdp.ConsumeIntInRange(0, 3)]
    answer = hwinquire._hwinquire_parameter(document, name)
    if answer is not None and (not _ANSWER.fullmatch(answer) or len(answer) >= 40):
        raise Fault(f"answer {answer!r} is not the decimal text of an integer")
    exact = _exact_answer(document, name)
    if exact is not None and answer != (exact or None):
        raise Fault(f"{document!r}: answer {answer!r}, expected {exact!r}")
    if answer is not None and hwinquire.hwinquire_parameter(document, name) != answer:
        raise Fault("the public query disagrees with the raw one")
