"""Matches a read pattern (`pattern_tree`) against the Python graph of a
network (`relay_graph`) the way TVM's dataflow matcher does, and when it
fails, says where: the furthest point the match reached.

Mirrored from TVM's matcher: alternatives are tried left first; a pattern
node bound once must bind the same graph node wherever it is used again;
bindings made by a failed branch are undone; the arguments of `add` and
`multiply` are also tried swapped.  Types and attributes are not looked at:
the tables leave them to their checks.
"""

from dataclasses import dataclass

from vexatvm_cli.pattern_tree import accepts

COMMUTATIVE = ("add", "multiply")


@dataclass
class Failure:
    score: int  # call patterns matched when the match broke
    needs: object  # the PatternNode that could not be matched as a whole
    found: object  # the GraphNode it was tried on
    names: dict  # GraphNode -> PatternNode, the shared wildcards bound then


class Matcher:
    def __init__(self, shared):
        self.shared = shared  # wildcards that appear more than once in the entry
        self.memo = {}  # PatternNode -> GraphNode
        self.log = []  # PatternNodes in binding order, for undoing
        self.calls_bound = 0
        self.open = []  # (call pattern, node) whose operator matched, arguments under way
        self.failure = None

    def match(self, pattern, node):
        """Whether `pattern` matches at `node`; on success `memo` holds the
        bindings, on failure `failure` the furthest break."""
        return self._visit(pattern, node, None)

    @property
    def score(self):
        return self.calls_bound

    def matched_nodes(self):
        """Graph nodes bound to operator calls and tuples: what a region of
        this match would hold."""
        return [node for pattern, node in self.memo.items() if pattern.kind in ("call", "tuple")]

    def _fail(self, context):
        score = self.calls_bound + len(self.open)
        if self.failure is None or score > self.failure.score:
            names = {node: pattern for pattern, node in self.memo.items() if pattern in self.shared}
            self.failure = Failure(score, context[0], context[1], names)

    def _visit(self, pattern, node, context):
        if pattern in self.memo:
            if self.memo[pattern] is node:
                return True
            # A shared wildcard bound elsewhere: shown one call further out,
            # where its other use can be seen.
            self._fail(self.open[-2] if len(self.open) > 1 else context or (pattern, node))
            return False
        mark = len(self.log)
        if self._match(pattern, node, context):
            self.memo[pattern] = node
            self.log.append(pattern)
            self.calls_bound += pattern.kind == "call"
            return True
        self._undo(mark)
        return False

    def _undo(self, mark):
        while len(self.log) > mark:
            undone = self.log.pop()
            del self.memo[undone]
            self.calls_bound -= undone.kind == "call"

    def _match(self, pattern, node, context):
        kind = pattern.kind
        if kind == "wildcard":
            return True
        if kind == "alt":
            return any(self._visit(option, node, context) for option in pattern.args)
        if kind == "call":
            return self._call(pattern, node, context)
        if kind == "tuple":
            if node.kind != "tuple" or (pattern.args is not None and len(node.args) != len(pattern.args)):
                self._fail(context or (pattern, node))
                return False
            return pattern.args is None or self._args(pattern, node, pattern.args)
        if kind == "constant":
            fits = node.kind == "const"
        elif kind == "scalar":
            fits = node.scalar() == pattern.value
        else:  # operators as values, tuple fields, expressions of other kinds
            fits = False
        if not fits:
            self._fail(context or (pattern, node))
        return fits

    def _call(self, pattern, node, context):
        if pattern.accepts is None:
            callee_fits = node.kind in ("op", "region")
        else:
            callee_fits = node.kind == "op" and accepts(pattern, node.name)
        if not callee_fits:
            self._fail(context or (pattern, node))
            return False
        if pattern.args is None:
            return True
        if len(pattern.args) != len(node.args):
            self._fail((pattern, node))
            return False
        self.open.append((pattern, node))
        try:
            if self._args(pattern, node, pattern.args):
                return True
            if node.name in COMMUTATIVE and len(pattern.args) == 2:
                return self._args(pattern, node, pattern.args[::-1])
            return False
        finally:
            self.open.pop()

    def _args(self, pattern, node, expected):
        mark = len(self.log)
        for wanted, arg in zip(expected, node.args):
            if not self._visit(wanted, arg, (pattern, node)):
                self._undo(mark)
                return False
        return True
