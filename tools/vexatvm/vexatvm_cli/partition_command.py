"""`vexatvm partition`: imports models (or takes the built-in samples),
prepares them, partitions them with a pattern table under the chosen
architecture, and reports."""
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

    from vexatvm_cli import host_flow, network_view, preparation
    from vexatvm_cli.explain import CheckRecorder

    seconds = {"import": import_seconds}
    started = time.perf_counter()
    mod = preparation.prepare(network.mod, progress)
    table_name = table_name or preparation.default_table(mod)
    progress.say(f"{network.name}: preparing for table {table_name} (NHWC layouts, constants folded)")
    try:
        mod = host_flow.nhwc_preparation(mod, network.params, table_name)
    except PreparationError as error:
        raise CliError(f"{network.name}: {error}: {failure_reason(error.__cause__)}") from error
    seconds["preparation"] = time.perf_counter() - started
    notes = preparation_notes(mod)
    progress.say(f"{network.name}: prepared")
    table = registered_table(table_name)
    recorder = CheckRecorder(explain=explain)
    started = time.perf_counter()
    with architecture.active():
        try:
            mod = host_flow.partition(mod, recorder.wrap_table(table), progress)
        except Exception as error:
            if recorder.failure is None:
                raise
            raise CliError(f"{network.name}: {recorder.failure}") from error
    seconds["partition"] = time.perf_counter() - started
    seconds["total"] = sum(seconds.values())
    units = network_view.flatten(mod)
    result = report.build(
        units,
        [entry[0] for entry in table],
        network=network.name,
        source=network.source,
        table=table_name,
        arch=architecture.label,
        channel_width=channel_width,
        seconds=seconds,
        rejections=[r.as_dict() for r in recorder.rejections] if explain else None,
        notes=notes,
    )
    return result, units


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
            picture.draw(units, args.picture, title=f"{network.name} / {result.table}")
            progress.say(f"picture written to {args.picture}")
        if not args.json:
            print(report.format_text(result), file=out, flush=True)
            print(file=out)
    if args.json:
        print(report.format_json(reports), file=out)
    return 0
