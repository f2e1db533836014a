"""release_tag() over arbitrary change-log bytes, compared with the
rule it follows: read the file as text, keep the lines that begin with
"## Version", take the last one and return its last space-separated piece.

The module reads CHANGELOG.md from its `__here__` directory; the target
points `__here__` at a directory of its own for the run and writes each
input there.  It also sets `__here__` to objects of other kinds now and
then: the path join must then fail the way `__here__ / "CHANGELOG.md"` fails."""

import pathlib
import tempfile

import atheris

from targets.common import Fault, require_sound_error
from vexatvm_internal import release_tag

_DIRECTORY = pathlib.Path(tempfile.mkdtemp(prefix="vexa-fuzz-release-tag-"))
_CHANGELOG = _DIRECTORY / "CHANGELOG.md"
_PIECES = (
    b"## Version",
    b"## Version ",
    b"## Versions",
    b"### Version",
    b" ## Version",
    b"\t",
    b" ",
    b"\n",
    b"\r\n",
    b"\r",
    b"\x0b",
    b"\x0c",
    b"\x1c",
    b"\x85",
    b"\xc2\x85",
    b"\xe2\x80\xa8",
    b"\xff",
    b"\0",
    b"1.2.3",
    b"\xef\xbb\xbf",
)


def _reference(here):
    """What release_tag() must return or raise for the `__here__` value."""
    try:
        lines = (here / "CHANGELOG.md").read_text().splitlines()
        return [line for line in lines if line.startswith("## Version")][-1].split(" ")[-1], None
    except Exception as error:  # the same error must come from the module
        return None, error


def _content(fdp):
    if fdp.ConsumeBool():
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 512))
    return b"".join(_PIECES[fdp.ConsumeIntInRange(0, len(_PIECES) - 1)] for _ in range(fdp.ConsumeIntInRange(0, 40)))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    _CHANGELOG.write_bytes(_content(fdp))
    here = _DIRECTORY
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind == 13:
        here = str(_DIRECTORY)  # text has no path operator
    elif kind == 14:
        here = None
    elif kind == 15:
        here = _DIRECTORY / "missing"
    expected, expected_error = _reference(here)
    saved = release_tag.__here__
    release_tag.__here__ = here
    try:
        result = release_tag.release_tag()
    except Exception as error:
        require_sound_error(error, Exception)
        if expected_error is None or type(error) is not type(expected_error):
            raise Fault(f"raised {error!r}, expected {expected!r} / {expected_error!r}") from error
        return
    finally:
        release_tag.__here__ = saved
    if expected_error is not None or result != expected or type(result) is not str:
        raise Fault(f"returned {result!r}, expected {expected!r} / {expected_error!r}")
