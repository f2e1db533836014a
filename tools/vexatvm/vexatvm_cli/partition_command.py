"""`vexatvm partition`: imports models (or takes the built-in samples),
prepares them, partitions them with a pattern table under the chosen
architecture, and reports."""

import sys
import time

from vexatvm_cli import arch, environment, picture, report
from vexatvm_cli.errors import CliError, failure_reason
from vexatvm_cli.importers import parse_input_shape, read_model, to_relay
from vexatvm_cli.progress import native_log_silenced

TABLES = ("vexa", "vexa_with_clip", "vexa_with_fc", "vexa_fp32")
FLOAT32_TABLE = "vexa_fp32"

# The modules that need TVM are imported once the input has been checked,
# so that bad input is reported without waiting for TVM to load.


def registered_table(name):
    from tvm.relay.op.contrib import get_pattern_table

    table = get_pattern_table(name)
    if table is None:
        raise CliError(f"pattern table '{name}' is not registered")
    return list(table)


def _networks(args, parsed_models, progress):
    from vexatvm_cli import samples

    if not args.models:
        chosen = samples.SAMPLES
        if args.sample:
            chosen = {name: samples.SAMPLES[name] for name in args.sample}
        elif args.table is not None:
            # Quantized tables get the quantized samples, the float32 table the float32 one.
            quantized = args.table != FLOAT32_TABLE
            chosen = {name: build for name, build in chosen.items() if (name != samples.FLOAT32_NHWC) == quantized}
        for name, build in chosen.items():
            started = time.perf_counter()
            network = build()
            progress.say(f"built-in sample {name} built")
            yield network, time.perf_counter() - started
        return
    for parsed in parsed_models:
        started = time.perf_counter()
        progress.say(f"importing {parsed.path}")
        with native_log_silenced():
            network = to_relay(parsed)
        progress.say(f"{parsed.path} imported ({network.source})")
        yield network, time.perf_counter() - started


def partition_network(network, table_name, architecture, channel_width, explain, progress, import_seconds=0.0):
    """Returns (report, units of the partitioned network)."""
    from vexa_host.canonicalize import preparation_notes
    from vexa_host.flow import PreparationError
    from vexatvm_cli import host_flow, network_view, outside, preparation
    from vexatvm_cli.explain import CheckRecorder

    clock = PhaseClock(import_seconds)
    mod = preparation.prepare(network.mod, progress)
    table_name = table_name or preparation.default_table(mod)
    progress.say(f"{network.name}: preparing for table {table_name} (NHWC layouts, constants folded)")
    try:
        mod = host_flow.nhwc_preparation(mod, network.params, table_name, progress, network.name)
    except PreparationError as error:
        raise CliError(f"{network.name}: {error}: {failure_reason(error.__cause__)}") from error
    notes = preparation_notes(mod)
    progress.say(f"{network.name}: prepared ({clock.lap('preparation'):.2f} s)")
    table = registered_table(table_name)
    recorder = CheckRecorder(explain=explain)
    with architecture.active(), recorder.active():
        try:
            mod = host_flow.partition(mod, recorder.wrap_table(table), progress)
        except Exception as error:
            if recorder.failure is None:
                raise
            raise CliError(f"{network.name}: {recorder.failure}") from error
    progress.say(f"{network.name}: composites formed ({clock.lap('partition'):.2f} s); outlining the offloaded regions")
    outlined = host_flow.outline(mod, table)
    if not outlined.native:
        progress.say(f"{network.name}: outlined with TVM's passes ({outlined.note})")
    elif outlined.note:
        progress.say(f"{network.name}: {outlined.note}")
    progress.say(f"{network.name}: offloaded regions outlined: {outlined.regions} ({clock.lap('outlining'):.2f} s)")
    # The composites are all the report and the picture read; the outlined
    # module only gives the region counts.
    units = network_view.flatten(mod)
    rejections = [r.as_dict() for r in recorder.rejections] if explain else None
    explanations = outside.explain(mod, table, rejections) if explain else None
    result = report.build(
        units,
        [entry[0] for entry in table],
        network=network.name,
        source=network.source,
        table=table_name,
        arch=architecture.label,
        channel_width=channel_width,
        regions=outlined.regions,
        transitions=outlined.transitions,
        seconds=clock.seconds,
        rejections=rejections,
        explanations=explanations,
        notes=notes,
    )
    # The report holds the clock's times: the report's own and the total land there.
    clock.lap("report")
    clock.seconds["total"] = sum(clock.seconds.values())
    return result, units


class PhaseClock:
    """Times of back-to-back phases: each lap ends one phase and starts the
    next, so that the phases add up to the whole."""

    def __init__(self, import_seconds):
        self.seconds = {"import": import_seconds}
        self._started = time.perf_counter()

    def lap(self, phase):
        now = time.perf_counter()
        self.seconds[phase] = now - self._started
        self._started = now
        return self.seconds[phase]


def run(args, progress, out):
    if args.table is not None and args.table not in TABLES:
        raise CliError(f"unknown table '{args.table}' (choose from {', '.join(TABLES)})")
    if args.picture:
        picture.check_path(args.picture)
    if args.picture and len(args.models) + len(args.sample or []) != 1:
        raise CliError("--picture draws one network: give one MODEL or one --sample")
    if args.models and args.sample:
        raise CliError("give MODEL files or --sample, not both")
    # Everything that can be checked without TVM first: bad input fails fast.
    architecture = arch.resolve(args.arch)
    input_shape = parse_input_shape(args.input_shape) if args.input_shape else None
    parsed_models = [read_model(path, input_shape) for path in args.models]
    progress.say("loading TVM and the pattern tables")
    environment.load_tables()
    channel_width = arch.validate(architecture)
    reports = []
    networks = _networks(args, parsed_models, progress)
    for network, import_seconds in networks:
        result, units = partition_network(
            network, args.table, architecture, channel_width, args.explain, progress, import_seconds
        )
        reports.append(result)
        if args.picture:
            size, warnings = picture.draw(units, args.picture, f"{network.name} / {result.table}", args.picture_detail)
            progress.say(f"picture written to {args.picture} ({size[0]} x {size[1]} px)")
            for warning in warnings:
                print(f"vexatvm: warning: {warning}", file=sys.stderr)
        if not args.json:
            print(report.format_text(result), file=out, flush=True)
            print(file=out)
    if args.json:
        print(report.format_json(reports), file=out)
    return 0
