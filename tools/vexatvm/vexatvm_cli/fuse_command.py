"""`vexatvm fuse`: fuses several networks into one with the package's
network fusion and prints the fused main function's signature."""
from vexatvm_cli import environment, samples
from vexatvm_cli.errors import CliError
from vexatvm_cli.importers import import_model, parse_input_shape


def _networks(args, progress):
    if not args.models:
        return [build() for build in samples.SAMPLES.values()]
    input_shape = parse_input_shape(args.input_shape) if args.input_shape else None
    networks = []
    for path in args.models:
        progress.say(f"importing {path}")
        networks.append(import_model(path, input_shape))
    return networks


def run(args, progress, out):
    environment.load_host()
    try:
        from vexatvm_internal.graphmeld import fuse_graphmeld
    except ImportError as error:
        raise CliError(f"the network fusion cannot be loaded: {error}") from error
    from tvm import relay

    networks = _networks(args, progress)
    progress.say(f"fusing {len(networks)} networks" + (" with a shared input" if args.share_input else ""))
    fused_mod, fused_params = fuse_graphmeld(
        [network.mod for network in networks], [network.params for network in networks], share_input=args.share_input
    )
    fused_mod = relay.transform.InferType()(fused_mod)
    main = fused_mod["main"]
    print(f"fused {len(networks)} networks: " + ", ".join(network.name for network in networks), file=out)
    print("parameters:", file=out)
    for param in main.params:
        print(f"  {param.name_hint}: {param.checked_type}", file=out)
    outputs = main.ret_type.fields if isinstance(main.ret_type, relay.TupleType) else [main.ret_type]
    print("outputs:", file=out)
    for position, output in enumerate(outputs, start=1):
        print(f"  {position}: {output}", file=out)
    print(f"merged parameters: {len(fused_params)}", file=out)
    return 0
