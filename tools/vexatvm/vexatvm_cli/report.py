"""The partition report: regions per composite name, operators left
outside, coverage and time, as text or as JSON (schema in docs/vexatvm.md)."""

import json
from collections import Counter
from dataclasses import dataclass, field

SCHEMA = "vexatvm-partition-report/2"


@dataclass
class PartitionReport:
    network: str
    source: str
    table: str
    arch: str
    channel_width: int
    composites: dict  # every composite name of the table -> regions formed
    outside: dict  # operator name -> calls left outside composites
    calls_inside: int
    calls_outside: int
    regions: int  # offloaded regions (external functions)
    transitions: int  # tensors handed between the host and those regions
    seconds: dict  # phase -> seconds
    rejections: list | None = None  # with --explain: Rejection dicts
    explanations: list | None = None  # with --explain: why calls stayed outside (module outside)

    @property
    def explained_outside(self):
        return None if self.explanations is None else sum(item["count"] for item in self.explanations)

    notes: list = field(default_factory=list)  # what the preparation left outside on purpose, one line each

    @property
    def coverage(self):
        total = self.calls_inside + self.calls_outside
        return self.calls_inside / total if total else 0.0

    def as_dict(self):
        return {
            "network": self.network,
            "source": self.source,
            "table": self.table,
            "arch": self.arch,
            "channel_width": self.channel_width,
            "composites": self.composites,
            "outside": self.outside,
            "calls": {
                "inside": self.calls_inside,
                "outside": self.calls_outside,
                "total": self.calls_inside + self.calls_outside,
            },
            "coverage": round(self.coverage, 4),
            "regions": {"offloaded": self.regions, "transitions": self.transitions},
            "seconds": {phase: round(value, 3) for phase, value in self.seconds.items()},
            "rejections": self.rejections,
            "explained_outside": self.explained_outside,
            "explanations": self.explanations,
            "notes": self.notes,
        }


def build(units, table_names, **details):
    regions = [unit for unit in units if unit.kind == "region"]
    formed = Counter(unit.name for unit in regions)
    composites = {name: formed.get(name, 0) for name in table_names}
    # Composite names outside the table (a host flow adding its own) still count.
    composites.update({name: count for name, count in formed.items() if name not in composites})
    outside = Counter(unit.name for unit in units if unit.kind == "op")
    return PartitionReport(
        composites=composites,
        outside=dict(sorted(outside.items(), key=lambda item: (-item[1], item[0]))),
        calls_inside=sum(len(unit.ops) for unit in regions),
        calls_outside=sum(outside.values()),
        **details,
    )


def _rejection_text(rejection):
    shape = "x".join(str(dim) for dim in rejection["shape"]) or "?"
    text = f"{rejection['entry']}: {rejection['check']} rejected the match on {rejection['anchor']} [{shape}]"
    return text + (f": {rejection['reason']}" if rejection["reason"] else "")


def _explanation_line(item):
    operators = ", ".join(name if count == 1 else f"{name} x{count}" for name, count in item["operators"].items())
    return f"  {item['count']:>4}  {operators}: {item['text']}"


def format_text(report):
    lines = [
        f"== {report.network} ({report.source}), table {report.table}, "
        f"architecture {report.arch} ({report.channel_width} channels)",
        "composite regions:",
    ]
    width = max((len(name) for name in report.composites), default=0)
    lines += [f"  {name:<{width}}  {count}" for name, count in report.composites.items()]
    lines.append("operators outside composites:" + ("" if report.outside else " none"))
    width = max((len(name) for name in report.outside), default=0)
    lines += [f"  {name:<{width}}  {count}" for name, count in report.outside.items()]
    total = report.calls_inside + report.calls_outside
    lines.append(f"coverage: {report.coverage:.1%} ({report.calls_inside} of {total} calls inside composites)")
    lines.append(f"offloaded regions: {report.regions} ({report.transitions} host-accelerator transitions)")
    lines += [f"note: {note}" for note in report.notes]
    phases = ", ".join(f"{phase} {seconds:.2f} s" for phase, seconds in report.seconds.items())
    lines.append(f"time: {phases}")
    if report.rejections is not None:
        lines.append(f"rejected matches: {len(report.rejections)}" + (" (none)" if not report.rejections else ""))
        # A network of repeated blocks repeats its rejections: each text once, counted.
        repeats = Counter(_rejection_text(rejection) for rejection in report.rejections)
        lines += [f"  {text}" + (f" (x{count})" if count > 1 else "") for text, count in repeats.items()]
    if report.explanations is not None and report.calls_outside:
        lines.append(
            f"why calls stay outside composites ({report.explained_outside} of {report.calls_outside} explained):"
        )
        lines += [_explanation_line(item) for item in report.explanations]
    return "\n".join(lines)


def format_json(reports):
    return json.dumps({"schema": SCHEMA, "reports": [report.as_dict() for report in reports]}, indent=2)
