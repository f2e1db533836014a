"""hwinquire_parameter / _hwinquire_parameter with arbitrary arguments:
objects of every type, text with surrogates and zero characters, huge texts,
positional and keyword calls."""

import re

import atheris

from targets.common import Fault, StrSubclass, Unprintable, text, utf8_encodable
from vexatvm_internal import hwinquire

_PUBLIC = (hwinquire.hwinquire_parameter, ("arch_val", "param_name"))
_RAW = (hwinquire._hwinquire_parameter, ("arch", "param_name"))
_ANSWER = re.compile(r"-?[0-9]+")
_PRESETS = ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max", "vexa-huge", "")


def _argument(fdp):
    kind = fdp.ConsumeIntInRange(0, 13)
    if kind <= 2:
        return text(fdp)
    if kind == 3:
        return text(fdp, 8) + "\0" + text(fdp, 8)
    if kind == 4:  # a huge text: up to 4 MB
        return text(fdp, 16) * fdp.ConsumeIntInRange(1, 1 << 18)
    if kind == 5:
        return None
    if kind == 6:
        return "arch: " + _PRESETS[fdp.ConsumeIntInRange(0, len(_PRESETS) - 1)]
    if kind == 7:
        return f"channels: {fdp.ConsumeInt(9)}"
    if kind == 8:
        return "channels"
    if kind == 9:
        return StrSubclass(text(fdp, 8))
    return (
        fdp.ConsumeInt(4),
        text(fdp, 8).encode("utf-8", "surrogatepass"),
        fdp.ConsumeFloat(),
        [text(fdp, 4)],
        Unprintable(),
    )[kind - 10]


def _type_error(params, args):
    """The TypeError message the call must raise, or None."""
    for name, value in zip(params, args):
        if value is not None and type(value) is not str:
            return f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
    return None


def _check_answer(answer, allow_none):
    if answer is None and allow_none:
        return
    if not isinstance(answer, str) or not _ANSWER.fullmatch(answer) or len(answer) >= 40:
        raise Fault(f"answer {answer!r} is not the decimal text of an integer")


def _call(function, params, args, keywords):
    if keywords:
        return function(**dict(zip(params, args)))
    return function(*args)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    public = fdp.ConsumeBool()
    function, params = _PUBLIC if public else _RAW
    args = (_argument(fdp), _argument(fdp))
    keywords = fdp.ConsumeBool()
    expected_type_error = _type_error(params, args)
    if expected_type_error is None and not public:
        # The raw query encodes its arguments in order: the first one that
        # fails decides the error (None: a TypeError with TVM-independent wording).
        for arg in args:
            if arg is None:
                expected_type_error = ""
            if arg is None or not utf8_encodable(arg):
                break
    texts = [str(a) for a in args] if expected_type_error is None else None
    try:
        answer = _call(function, params, args, keywords)
    except TypeError as error:
        if expected_type_error is None or (expected_type_error and str(error) != expected_type_error):
            raise Fault(f"TypeError {error} for {params} = {args!r:.200}") from error
        return
    except UnicodeEncodeError as error:
        if expected_type_error is not None or all(utf8_encodable(t) for t in texts):
            raise Fault(f"UnicodeEncodeError for encodable text: {error}") from error
        return
    except RuntimeError as error:
        name = texts[1] if texts else None
        if not public or str(error) != f"Architecture query for {name} failed":
            raise Fault(f"RuntimeError {str(error)[:200]!r}") from error
        return
    if expected_type_error is not None:
        raise Fault(f"no TypeError for {args!r:.200}")
    if not all(utf8_encodable(t) for t in texts):
        raise Fault("text with a lone surrogate was accepted")
    _check_answer(answer, allow_none=not public)
    # The library reads zero-terminated text: what follows a zero character
    # cannot change the answer.
    if any("\0" in t for t in texts) and all(len(t) < 4096 for t in texts):
        cut = [t.split("\0", 1)[0] for t in texts]
        again = hwinquire._hwinquire_parameter(*cut)
        if public and again != answer or not public and again != answer:
            raise Fault(f"answer {answer!r} differs from {again!r} for the text cut at its zero character")
