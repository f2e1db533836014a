"""fuse_graphmeld over lists of random Relay networks (typed and untyped,
see relay_gen), random parameter dictionaries and share_input, with
now and then an argument of the wrong kind.  Whatever happens, the networks
and dictionaries handed in stay as they were; a fused result has every
parameter under its suffixed key, by reference, and every variable of its
main function suffixed with a network number."""

import random

import atheris
import numpy as np
import relay_gen
import tvm
from tvm import relay

import vexa_host

vexa_host.install()  # the host compiler's services, before the package
from targets.common import Fault, require_sound_error
from vexatvm_internal import graphmeld

relay_gen.quiet_type_errors()
_ALLOWED = (tvm.TVMError, AssertionError, TypeError, ValueError, AttributeError, IndexError, KeyError)
_VALUE = np.zeros((1,), "float32")


def _params(fdp, mod):
    has_main = isinstance(mod, tvm.IRModule) and any(g.name_hint == "main" for g in mod.get_global_vars())
    names = [v.name_hint for v in mod["main"].params] if has_main else []
    params = {}
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        key = (
            names[fdp.ConsumeIntInRange(0, len(names) - 1)]
            if names and fdp.ConsumeBool()
            else fdp.ConsumeUnicodeNoSurrogates(6)
        )
        params[key] = _VALUE if fdp.ConsumeBool() else tvm.nd.array(_VALUE)
    if fdp.ConsumeProbability() < 0.03:
        params[fdp.ConsumeInt(2)] = _VALUE  # a key that is not text
    return params


def _network(fdp):
    kind = fdp.ConsumeIntInRange(0, 40)
    if kind == 0:
        return None
    if kind == 1:
        data = relay.var("data", shape=(1, 4))
        return relay.Function([data], relay.nn.relu(data))  # a function, not a module
    if kind == 2:
        return tvm.IRModule()  # no main function
    # The fuzzer's bytes steer the generator directly, or seed it.
    source = fdp if kind % 2 else random.Random(fdp.ConsumeInt(4))
    # Raw calls included: fuse_graphmeld must refuse a call whose attributes
    # its operator's type relation cannot read, before its passes type-check it.
    mod, _ = relay_gen.random_network(relay_gen.Draw(source), max_nodes=12)
    return mod


def _fingerprint(value):
    if isinstance(value, (tvm.IRModule, relay.Expr)):
        return tvm.ir.structural_hash(value, map_free_vars=True), value.astext() if isinstance(
            value, tvm.IRModule
        ) else None
    if isinstance(value, dict):
        return [(k, id(v)) for k, v in value.items()]
    return id(value)


def _check_result(result, mod_list, params_list):
    fused, fused_params = result
    if not isinstance(fused, tvm.IRModule) or not isinstance(fused_params, dict):
        raise Fault(f"fuse_graphmeld returned {result!r:.200}")
    expected = {}
    for number, params in enumerate(params_list, 1):
        for key, value in params.items():
            expected[f"{key}_{number}"] = value
    if list(fused_params) != list(expected) or any(fused_params[k] is not v for k, v in expected.items()):
        raise Fault("the fused parameters are not the suffixed originals")
    for param in fused["main"].params:
        suffix = param.name_hint.rsplit("_", 1)
        if len(suffix) != 2 or not suffix[1].isdigit() or not 1 <= int(suffix[1]) <= len(mod_list):
            raise Fault(f"variable {param.name_hint!r} of the fused network carries no network number")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    mod_list = [_network(fdp) for _ in range(fdp.ConsumeIntInRange(1, 3))]
    params_list = [_params(fdp, mod) for mod in mod_list]
    if fdp.ConsumeProbability() < 0.05:
        params_list.append({})  # one dictionary too many
    share_input = fdp.ConsumeBool()
    before = [_fingerprint(x) for x in mod_list + params_list]
    try:
        result = graphmeld.fuse_graphmeld(mod_list, params_list, share_input)
    except Exception as error:
        require_sound_error(error, _ALLOWED)
        result = None
    if [_fingerprint(x) for x in mod_list + params_list] != before:
        raise Fault("fuse_graphmeld changed a network or a parameter dictionary it was given")
    if result is not None:
        _check_result(result, mod_list, params_list)
