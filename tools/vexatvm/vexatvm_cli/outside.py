"""Why each operator call left outside composites stayed there.

Every such call gets one explanation:
- "rejected": a match of an entry covers it and that entry's check rejected
  the match (the rejection recorded during the partition run);
- "shared_result": an entry's pattern matches around it, but a result inside
  the match is also used outside it, which the partitioner refuses to fuse;
- "overlap": an entry's pattern matches around it, yet no region formed and
  no rejection was recorded for it: the partitioner had claimed part of it
  for another match of that entry;
- "no_entry": no entry of the table calls this operator;
- "chain_breaks": the entries whose patterns call this operator, and where
  the nearest one stops matching the network around it.

The patterns are the table's own pattern objects (`pattern_tree`), matched
against the partitioned network (`relay_graph`, `pattern_match`).  That is
the network after every entry: where a later entry formed a region over
part of a chain an earlier entry's check rejected, the calls left over meet
that region, and are explained by where the chain breaks on it (the
rejection itself is still listed among the rejected matches).
"""

from collections import Counter
from dataclasses import dataclass, field

from vexatvm_cli import chain_text, relay_graph
from vexatvm_cli.pattern_match import COMMUTATIVE, Matcher
from vexatvm_cli.pattern_tree import accepts, read_table

CONSUMERS_FOLLOWED = 4  # per step up from an operator; networks fan out rarely more at one node
PATHS_FOLLOWED = 16  # per pattern call; optional operators double them
FINDINGS_KEPT = 5  # what the network held where a chain breaks, per group


@dataclass
class Explanation:
    kind: str
    text: str
    entry: str | None = None
    check: str | None = None
    reason: str | None = None
    entries: list = field(default_factory=list)  # every entry calling the operator (chain_breaks)
    needs: str | None = None  # chain_breaks: what the nearest entry needs where its chain breaks
    found: str | None = None  # and what the network holds there

    def key(self):
        # Breaks of one entry at one place group together whatever was
        # found there, so that a long network's report stays short.
        if self.kind == "chain_breaks":
            return (self.kind, self.entry, self.needs)
        return (self.kind, self.text)


@dataclass
class _Entry:
    pattern: object  # pattern_tree.EntryPattern
    letters: dict  # shared wildcards -> letters
    paths: dict = field(default_factory=dict)  # call pattern -> paths up to the root


def _paths_up(pattern):
    """Ways from a pattern node up to the root: lists of (container,
    argument position), nearest container first; alternatives are passed
    through, since they stand where their options stand."""
    if not pattern.parents:
        return [[]]
    paths = []
    for parent, position in pattern.parents:
        if parent.kind == "alt":
            paths += _paths_up(parent)
        else:
            paths += [[(parent, position)] + rest for rest in _paths_up(parent)]
        if len(paths) >= PATHS_FOLLOWED:
            break
    return paths[:PATHS_FOLLOWED]


def _fits(container, position, consumer, used_at):
    """Whether `consumer`, using the value at argument `used_at`, can stand
    where `container` takes the value at `position`."""
    if container.kind == "tuple":
        return consumer.kind == "tuple" and used_at == position and len(consumer.args) == len(container.args or ())
    if container.kind != "call" or consumer.kind != "op" or not accepts(container, consumer.name):
        return False
    if container.args is not None and len(container.args) != len(consumer.args):
        return False
    return used_at == position or (consumer.name in COMMUTATIVE and {used_at, position} <= {0, 1})


def _climbs(node, path, level=0):
    """(node reached, how many steps of `path` it climbed) for each way up
    from `node` along `path`."""
    if level == len(path):
        yield node, level
        return
    container, position = path[level]
    ups = [consumer for consumer, used_at in node.consumers if _fits(container, position, consumer, used_at)]
    if not ups:
        yield node, level
        return
    for consumer in dict.fromkeys(ups[:CONSUMERS_FOLLOWED]):
        yield from _climbs(consumer, path, level + 1)


@dataclass
class _Attempt:
    score: tuple  # see _score
    describe: object = None  # () -> (needs, found) texts; only the nearest attempt is put in words
    matcher: Matcher | None = None  # of a full match
    root: object = None


def _score(entry, matched):
    """How near a partial match came: operators matched, and on a tie the
    share of the pattern they make (a short chain nearly matched is nearer
    than a long one barely begun)."""
    return (matched, matched / len(entry.pattern.calls))


def _downward(entry, failure):
    names = {graph_node: entry.letters[wildcard] for graph_node, wildcard in failure.names.items()}
    return chain_text.pattern_text(failure.needs, entry.letters), chain_text.node_text(failure.found, names)


class OutsideExplainer:
    def __init__(self, table, rejections):
        self.entries = []
        for pattern in read_table(table):
            self.entries.append(_Entry(pattern, chain_text.shared_wildcards(pattern.calls)))
        self.by_operator = {}
        self.pending = {}  # entry -> its recorded rejections not yet placed
        for rejection in rejections or ():
            self.pending.setdefault(rejection["entry"], []).append(rejection)
        self.full_matches = {}  # (entry, root index) -> Explanation

    def _containing(self, op):
        if op not in self.by_operator:
            self.by_operator[op] = [entry for entry in self.entries if entry.pattern.calls_of(op)]
        return self.by_operator[op]

    def explain(self, node):
        entries = self._containing(node.name)
        if not entries:
            return Explanation("no_entry", f"no entry of the table calls {node.name}")
        best, best_entry = None, None
        for entry in entries:
            attempt = self._nearest(entry, node)
            if attempt.matcher is not None:
                return self._full_match(entry, attempt)
            if best is None or attempt.score > best.score:
                best, best_entry = attempt, entry
        names = [entry.pattern.name for entry in entries]
        nearest = best_entry.pattern.name
        needs, found = best.describe()
        return Explanation("chain_breaks", "", entry=nearest, entries=names, needs=needs, found=found)

    def _nearest(self, entry, node):
        best = None
        for call in entry.pattern.calls_of(node.name):
            if call not in entry.paths:
                entry.paths[call] = _paths_up(call)
            for path in entry.paths[call]:
                for top, level in _climbs(node, path):
                    attempt = self._attempt(entry, call, path, top, level, node)
                    if attempt.matcher is not None:
                        return attempt
                    if best is None or attempt.score > best.score:
                        best = attempt
        return best

    def _attempt(self, entry, call, path, top, level, node):
        pattern = entry.pattern.root if level == len(path) else (path[level - 1][0] if level else call)
        matcher = Matcher(entry.letters)
        if matcher.match(pattern, top):
            covered = matcher.matched_nodes()
            if level == len(path) and any(member is node for member in covered):
                return _Attempt((float("inf"), 0.0), matcher=matcher, root=top)
            if level == len(path):
                # The entry matches here through an alternative that leaves
                # this operator to a wildcard.
                return _Attempt(
                    (-1.0, 0.0),
                    lambda: (
                        chain_text.pattern_text(pattern, entry.letters),
                        f"{chain_text.node_text(top, {})}, matched without {node.name}",
                    ),
                )
            return _Attempt(_score(entry, matcher.score), lambda: self._upward(entry, path[level][0], top, matcher))
        return _Attempt(_score(entry, matcher.failure.score), lambda: _downward(entry, matcher.failure))

    @staticmethod
    def _upward(entry, container, top, matcher):
        names = {graph_node: entry.letters[p] for p, graph_node in matcher.memo.items() if p in entry.letters}
        needs = chain_text.pattern_text(container, entry.letters)
        here = chain_text.node_text(top, names, depth=0)
        users = [consumer for consumer, _ in top.consumers]
        if not users:
            return needs, f"{here} as a result of the network"
        found = chain_text.node_text(users[0], {top: here} | names, depth=1)
        return needs, found + (f" and {len(users) - 1} more uses" if len(users) > 1 else "")

    def _full_match(self, entry, attempt):
        key = (entry.pattern.name, attempt.root.index)
        if key not in self.full_matches:
            self.full_matches[key] = self._classify(entry, attempt)
        return self.full_matches[key]

    def _classify(self, entry, attempt):
        name = entry.pattern.name
        covered = attempt.matcher.matched_nodes()
        members = {id(member) for member in covered}
        for member in covered:
            if member is attempt.root:
                continue
            users = [consumer for consumer, _ in member.consumers if id(consumer) not in members]
            if users:
                what = chain_text.node_text(member, {}, depth=0)
                return Explanation(
                    "shared_result",
                    f"{name} matches here, but the result of {what} inside the match is also used by "
                    f"{users[0].name}, so the partitioner does not fuse it",
                    entry=name,
                )
        rejection = self._rejection_for(name, covered)
        if rejection is not None:
            # Without the anchor's shape, so that the rejections of
            # repeated blocks at several sizes group together.
            text = f"{name}: {rejection['check']} rejected the match on {rejection['anchor']}"
            reason = rejection["reason"]
            return Explanation(
                "rejected",
                text + (f": {reason}" if reason else ""),
                entry=name,
                check=rejection["check"],
                reason=reason,
            )
        return Explanation(
            "overlap",
            f"{name} matches here, but the partitioner had claimed part of it for another match of {name}",
            entry=name,
        )

    def _rejection_for(self, entry_name, covered):
        """The recorded rejection of this match: the first pending one of the
        entry anchored on an operator of the match with the same shape, or
        failing that on an operator of the same name."""
        pending = self.pending.get(entry_name, [])
        ops = [member for member in covered if member.kind == "op"]
        for same_shape in (True, False):
            for position, rejection in enumerate(pending):
                for member in ops:
                    if member.name != rejection.get("anchor"):
                        continue
                    if same_shape and tuple(member.shape() or ()) != tuple(rejection.get("shape") or ()):
                        continue
                    return pending.pop(position)
        return None


def explain(mod, table, rejections):
    """Explanations of the operator calls outside composites of a
    partitioned module, grouped: a list of dicts, most calls first."""
    graph = relay_graph.build(mod)
    explainer = OutsideExplainer(table, rejections)
    groups = {}
    for node in graph:
        if node.kind != "op":
            continue
        explanation = explainer.explain(node)
        group = groups.setdefault(explanation.key(), (explanation, Counter(), [], {}))
        group[1][node.name] += 1
        if explanation.found is not None and explanation.found not in group[2]:
            group[2].append(explanation.found)
        group[3].update(dict.fromkeys(explanation.entries))
    order = {entry.pattern.name: position for position, entry in enumerate(explainer.entries)}
    result = [_group(*group[:3], sorted(group[3], key=order.get)) for group in groups.values()]
    return sorted(result, key=lambda item: -item["count"])


def _callers(entries, nearest):
    if len(entries) == 1:
        return f"called only by {nearest}, which"
    named = ", ".join(entries) if len(entries) <= 3 else f"{len(entries)} entries"
    return f"called by {named}; the nearest, {nearest},"


def _group(explanation, operators, findings, callers):
    item = {"kind": explanation.kind, "count": sum(operators.values()), "operators": dict(operators.most_common())}
    for name in ("entry", "check", "reason"):
        if getattr(explanation, name) is not None:
            item[name] = getattr(explanation, name)
    text = explanation.text
    if explanation.kind == "chain_breaks":
        item["entries"] = callers
        item["needs"] = explanation.needs
        item["found"] = findings[:FINDINGS_KEPT]
        text = f"{_callers(item['entries'], explanation.entry)} needs {explanation.needs}; found {findings[0]}"
        if len(findings) > 1:
            text += f" (and {len(findings) - 1} other forms)"
    item["text"] = text
    return item
