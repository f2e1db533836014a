"""Helpers shared by the fuzz targets."""


class Fault(AssertionError):
    """A fault found by a target: wrong answer, changed input, or an
    exception the function under test may not raise."""


class StrSubclass(str):
    """Text of a subclass of str, which the query functions refuse."""


class Unprintable:
    """An object whose conversion to text fails."""

    def __str__(self):
        raise ValueError("no text")

    __repr__ = __str__


def text(fdp, limit=64):
    """Arbitrary text: lone surrogates, zero characters and other control
    characters included, or text without surrogates."""
    count = fdp.ConsumeIntInRange(0, limit)
    return fdp.ConsumeUnicode(count) if fdp.ConsumeBool() else fdp.ConsumeUnicodeNoSurrogates(count)


def utf8_encodable(value):
    try:
        value.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


# Messages of errors that only a fault in the C++ code produces.
_INTERNAL_MESSAGES = (
    "unknown C++ exception",
    "Unable to cast",
    "returned a result with an exception set",
    "returned NULL without setting an exception",
    "error return without exception set",
)


def require_sound_error(error, allowed):
    """Raises Fault unless `error` is one of the `allowed` types and does not
    carry the mark of an internal fault."""
    if isinstance(error, (SystemError, MemoryError, RecursionError)) or not isinstance(error, allowed):
        raise Fault(f"unexpected {type(error).__name__}: {error}") from error
    message = str(error)
    for mark in _INTERNAL_MESSAGES:
        if mark in message:
            raise Fault(f"internal error surfaced as {type(error).__name__}: {message}") from error
