"""Records the matches that a table's check predicates reject.

The table's entries are handed to the partition flow with every check
wrapped: the wrapper calls the table's own check, and when it rejects,
records the entry and the check with what the check itself said about the
rejection (the operator its deciding step looked at, that operator's output
shape, the values read and the limit broken).  The checks of `patterns`
record that while recording is on (`CheckRecorder.active()`); the command only shows
it, so a reason cannot disagree with the verdict.  Errors raised by a check
pass through unchanged.
"""

from collections import Counter
from contextlib import contextmanager
from dataclasses import asdict, dataclass

from vexatvm_cli.relay_reading import op_name, shape_of


@dataclass
class Rejection:
    entry: str
    check: str
    anchor: str
    shape: list
    reason: str | None

    def as_dict(self):
        return asdict(self)


def _check_name(check):
    return getattr(check, "__name__", None) or type(check).__name__


def _patterns():
    from vexatvm_internal import patterns

    return patterns


class CheckRecorder:
    def __init__(self, explain=True):
        self.explain = explain
        self.rejections = []
        self.checked = Counter()  # entry -> matches offered to its check
        self.failure = None  # what the first check that raised was doing

    @contextmanager
    def active(self):
        """While this runs, the checks of `patterns` record why they reject
        (when rejections are explained at all)."""
        if not self.explain:
            yield
            return
        patterns = _patterns()
        previous = patterns._record_check_reasons(True)
        patterns._take_check_reasons()  # nothing recorded before belongs to this run
        try:
            yield
        finally:
            patterns._record_check_reasons(previous)
            patterns._take_check_reasons()

    def wrap_table(self, table):
        """A new list of entries with wrapped checks; patterns untouched."""
        return [self._wrap_entry(entry) for entry in table]

    def _wrap_entry(self, entry):
        if len(entry) < 3:
            return tuple(entry)
        name, pattern, check = entry[0], entry[1], entry[2]
        return (name, pattern, self._wrap_check(name, check))

    def _wrap_check(self, entry_name, check):
        check_name = _check_name(check)

        def recorded_check(extract):
            try:
                verdict = check(extract)
            except Exception as error:
                # The error goes on to the partitioner; this notes where it came from.
                if self.failure is None:
                    anchor = op_name(extract) or type(extract).__name__
                    message = (str(error).strip().splitlines() or [""])[0]
                    shape = list(shape_of(extract) or [])
                    self.failure = (
                        f"{check_name} of {entry_name} raised on {anchor} {shape}: {type(error).__name__}: {message}"
                    )
                raise
            self.checked[entry_name] += 1
            if not verdict and self.explain:
                self.rejections.append(self._rejection(entry_name, check_name, extract))
            return verdict

        recorded_check.__name__ = check_name
        return recorded_check

    @staticmethod
    def _rejection(entry_name, check_name, extract):
        # The check's own record is the last one made on this thread; a check
        # from elsewhere records nothing, and only the verdict is known.
        records = [r for r in _patterns()._take_check_reasons() if r["check"] == check_name]
        if records:
            record = records[-1]
            return Rejection(entry_name, check_name, record["operator"], list(record["shape"]), record["reason"])
        return Rejection(
            entry=entry_name,
            check=check_name,
            anchor=op_name(extract) or type(extract).__name__,
            shape=list(shape_of(extract) or []),
            reason=None,
        )
