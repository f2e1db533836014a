"""`vexatvm fuse`: fuses several networks into one with the package's
network fusion and prints the fused main function's signature."""

from vexatvm_cli import environment, samples
from vexatvm_cli.errors import CliError
from vexatvm_cli.importers import parse_input_shape, read_model, to_relay


def _networks(args, parsed_models, progress):
    if not args.models:
        return [build() for build in samples.SAMPLES.values()]
    networks = []
    for parsed in parsed_models:
        progress.say(f"importing {parsed.path}")
        networks.append(to_relay(parsed))
    return networks


def _type_text(relay_type):
    from tvm import relay

    if isinstance(relay_type, relay.TupleType):
        return "(" + ", ".join(_type_text(field) for field in relay_type.fields) + ")"
    if isinstance(relay_type, relay.TensorType):
        return f"Tensor[({', '.join(str(int(dim)) for dim in relay_type.shape)}), {relay_type.dtype}]"
    return str(relay_type)


def _input_signature(network):
    from tvm import relay

    mod = relay.transform.InferType()(network.mod)
    names = set(network.params)
    return [_type_text(param.checked_type) for param in mod["main"].params if param.name_hint not in names]


def _check_shareable(networks):
    """One input can feed all networks only when their inputs agree."""
    first = _input_signature(networks[0])
    for network in networks[1:]:
        signature = _input_signature(network)
        if signature != first:
            raise CliError(
                f"--share-input: the inputs of {network.name} ({', '.join(signature)}) differ from those of "
                f"{networks[0].name} ({', '.join(first)})"
            )


def run(args, progress, out):
    input_shape = parse_input_shape(args.input_shape) if args.input_shape else None
    parsed_models = [read_model(path, input_shape) for path in args.models]
    environment.load_host()
    try:
        from vexatvm_internal.graphmeld import fuse_graphmeld
    except ImportError as error:
        raise CliError(f"the network fusion cannot be loaded: {error}") from error
    from tvm import relay

    networks = _networks(args, parsed_models, progress)
    if args.share_input and networks:
        _check_shareable(networks)
    progress.say(f"fusing {len(networks)} networks" + (" with a shared input" if args.share_input else ""))
    fused_mod, fused_params = fuse_graphmeld(
        [network.mod for network in networks], [network.params for network in networks], share_input=args.share_input
    )
    fused_mod = relay.transform.InferType()(fused_mod)
    main = fused_mod["main"]
    print(f"fused {len(networks)} networks: " + ", ".join(network.name for network in networks), file=out)
    print("parameters:", file=out)
    for param in main.params:
        print(f"  {param.name_hint}: {_type_text(param.checked_type)}", file=out)
    outputs = main.ret_type.fields if isinstance(main.ret_type, relay.TupleType) else [main.ret_type]
    print("outputs:", file=out)
    for position, output in enumerate(outputs, start=1):
        print(f"  {position}: {_type_text(output)}", file=out)
    print(f"merged parameters: {len(fused_params)}", file=out)
    return 0
