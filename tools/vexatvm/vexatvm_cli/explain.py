"""Records the matches that a table's check predicates reject.

The table's entries are handed to the partition flow with every check
wrapped: the wrapper calls the table's own check, and when it rejects,
records the entry, the check, the operator the match is anchored on and
the deciding reason (module `reasons`).  Errors raised by a check pass
through unchanged; a failure while working out the reason only loses the
reason.
"""
from collections import Counter
from dataclasses import asdict, dataclass

from vexatvm_cli import reasons
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


class CheckRecorder:
    def __init__(self, explain=True):
        self.explain = explain
        self.rejections = []
        self.checked = Counter()  # entry -> matches offered to its check
        self.failure = None  # what the first check that raised was doing

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
                    self.failure = f"{check_name} of {entry_name} raised on {anchor} {shape}: {type(error).__name__}: {message}"
                raise
            self.checked[entry_name] += 1
            if not verdict and self.explain:
                self.rejections.append(self._rejection(entry_name, check_name, extract))
            return verdict

        recorded_check.__name__ = check_name
        return recorded_check

    @staticmethod
    def _rejection(entry_name, check_name, extract):
        anchor, reason = extract, None
        explain_check = reasons.BY_CHECK.get(check_name)
        if explain_check is not None:
            try:
                anchor, reason = explain_check(extract)
            except Exception:  # the verdict stands; only its reason is lost
                anchor, reason = extract, None
        return Rejection(
            entry=entry_name,
            check=check_name,
            anchor=op_name(anchor) or type(anchor).__name__,
            shape=list(shape_of(anchor) or []),
            reason=reason,
        )
