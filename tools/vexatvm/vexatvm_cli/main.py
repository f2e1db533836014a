"""Entry point of the `vexatvm` command: options, subcommands, and the
one-line error reporting (exit status 2, traceback only with --debug)."""

import argparse
import os
import sys
import traceback

from vexatvm_cli.arch import DEFAULT_PRESET, PRESETS
from vexatvm_cli.errors import EXIT_USAGE_OR_INPUT, CliError
from vexatvm_cli.progress import Progress

SAMPLE_NAMES = ("quantized-pytorch-sample", "quantized-tflite-sample", "float32-nhwc-sample")
ARCH_HELP = (
    f"architecture: a preset of the native library ({', '.join(PRESETS)}) or a YAML file (default: {DEFAULT_PRESET})"
)


def _common(parser):
    parser.add_argument("--debug", action="store_true", help="show the traceback of an error")
    parser.add_argument("--quiet", action="store_true", help="no progress on standard error")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="vexatvm",
        description="Partition reports, rejected matches explained, network fusion and pictures for the vexa accelerator.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    part = commands.add_parser(
        "partition",
        help="partition models (or the built-in samples) and report the composite regions",
        description="Partitions each MODEL (ONNX, TFLite, or TorchScript with --input-shape) with a pattern table "
        "and reports regions per composite, operators left outside, coverage and time. Without MODEL, runs on the "
        "built-in sample networks.",
    )
    part.add_argument("models", nargs="*", metavar="MODEL", help="model file: .onnx, .tflite, or TorchScript .pt")
    part.add_argument("--table", help="vexa, vexa_with_clip, vexa_with_fc or vexa_fp32 (default: from the model)")
    part.add_argument("--arch", help=ARCH_HELP)
    part.add_argument(
        "--explain",
        action="store_true",
        help="say why each operator call stayed outside composites, and list every match a check rejected",
    )
    part.add_argument("--picture", metavar="OUT.svg|OUT.png", help="draw the partitioned network with Graphviz")
    part.add_argument(
        "--picture-detail",
        choices=("blocks", "full"),
        default="blocks",
        help="blocks: composite stretches and runs of operators condensed into boxes (default); full: every operator",
    )
    part.add_argument("--json", action="store_true", help="print the report as JSON")
    part.add_argument(
        "--input-shape", metavar="N,C,H,W", help="shape of the model's input (TorchScript; overrides ONNX)"
    )
    part.add_argument(
        "--sample", action="append", choices=SAMPLE_NAMES, help="run on this built-in sample (repeatable)"
    )
    _common(part)

    fuse = commands.add_parser(
        "fuse",
        help="fuse models (or the built-in samples) into one network",
        description="Imports the models, fuses them into one Relay module and prints the fused main function's "
        "parameters and outputs and the merged parameter count. Without MODEL, fuses the built-in samples.",
    )
    fuse.add_argument("models", nargs="*", metavar="MODEL")
    fuse.add_argument("--share-input", action="store_true", help="make all networks consume the first one's input")
    fuse.add_argument(
        "--input-shape", metavar="N,C,H,W", help="shape of the models' input (TorchScript; overrides ONNX)"
    )
    _common(fuse)

    arch = commands.add_parser(
        "arch",
        help="ask the native library for a parameter of the architecture",
        description="Prints the native library's answer for PARAM of the active architecture, obtained as the "
        "pattern checks obtain it.",
    )
    arch.add_argument("param", metavar="PARAM", help="parameter name, such as channels")
    arch.add_argument("--arch", help=ARCH_HELP)
    _common(arch)

    version = commands.add_parser(
        "version", help="print the package version", description="Prints the package version."
    )
    _common(version)
    return parser


def _run(args, progress, out):
    if args.command == "partition":
        from vexatvm_cli import partition_command

        return partition_command.run(args, progress, out)
    if args.command == "fuse":
        from vexatvm_cli import fuse_command

        return fuse_command.run(args, progress, out)
    if args.command == "arch":
        from vexatvm_cli import arch, environment

        architecture = arch.resolve(args.arch)  # before TVM loads: a bad --arch fails fast
        environment.load_tables()
        print(arch.query(architecture, args.param), file=out)
        return 0
    from vexatvm_cli import environment

    environment.load_host()
    try:
        from vexatvm_internal.release_tag import release_tag
    except ImportError as error:
        raise CliError(f"the package cannot be imported: {error}") from error
    print(release_tag(), file=out)
    return 0


def main(argv=None, out=None):
    args = build_parser().parse_args(argv)
    out = out if out is not None else sys.stdout
    progress = Progress(quiet=args.quiet)
    try:
        return _run(args, progress, out)
    except CliError as error:
        if args.debug:
            traceback.print_exc()
        print(f"vexatvm: error: {error}", file=sys.stderr)
        return EXIT_USAGE_OR_INPUT
    except BrokenPipeError:
        # The reader went away (`vexatvm ... | head`): nothing left to say.
        sys.stdout = open(os.devnull, "w")
        return 0
    except KeyboardInterrupt:
        print("vexatvm: interrupted", file=sys.stderr)
        return 130
    except Exception as error:  # a failure of TVM or the package: still one line unless --debug
        if args.debug:
            traceback.print_exc()
        reason = str(error).strip().splitlines()
        print(
            f"vexatvm: error: {type(error).__name__}: {reason[-1] if reason else ''} (--debug shows the traceback)",
            file=sys.stderr,
        )
        return EXIT_USAGE_OR_INPUT
