"""Every check predicate of the four pattern tables on every node of random
Relay networks (typed and untyped, see relay_gen), under random target
architectures, inside and outside a partition run; then the partition driver
with one of the tables on the whole network.

A check answers True or False, or raises one of the errors its reads can
raise (TVM's, an attribute or type error for a node of the wrong kind, the
failed architecture query, the serialiser's); the same node gives the same
answer twice; and the network is left as it was."""

import random

import atheris
import relay_gen
import tvm
import yaml

import vexa_host

vexa_host.install()  # the host compiler's services, before the package
from targets.common import Fault, require_sound_error
from vexa_host import partition as driver
from vexa_host.build_module import BuildConfig
from vexatvm_internal import patterns

relay_gen.quiet_type_errors()
TABLES = (
    patterns.pattern_table,
    patterns.pattern_table_with_clip,
    patterns.pattern_table_with_fc,
    patterns.pattern_table_vexa_f32,
)
CHECKS = tuple({entry[2] for table in TABLES for entry in table() if len(entry) == 3})
_ALLOWED = (
    tvm.TVMError,
    AttributeError,
    AssertionError,
    TypeError,
    ValueError,
    IndexError,
    KeyError,
    RuntimeError,
    yaml.YAMLError,
)
_ARCHS = ("vexa-nano", "vexa-lite", "vexa-pro", "vexa-max", "vexa-unknown")


def _arch_config(fdp):
    kind = fdp.ConsumeIntInRange(0, 6)
    if kind == 0:
        return None  # no active configuration
    arch = _ARCHS[fdp.ConsumeIntInRange(0, len(_ARCHS) - 1)]
    return (
        {"arch": arch},
        {"arch": arch, "channels": fdp.ConsumeIntInRange(-2, 200)},
        {"arch": {"channels": fdp.ConsumeIntInRange(0, 200)}},
        {"arch": fdp.ConsumeInt(2)},
        {},
        {"arch": {"channels": "many"}},
    )[kind - 1]


def _outcome(check, node):
    try:
        verdict = check(node)
    except Exception as error:
        require_sound_error(error, _ALLOWED)
        return type(error)
    if type(verdict) is not bool:
        raise Fault(f"{check.__name__} returned {verdict!r:.100} for a {type(node).__name__}")
    return verdict


def _judge_all(fdp, func):
    nodes = relay_gen.post_order(func)
    repeat = fdp.ConsumeProbability() < 0.2
    with driver._Network(func):
        for node in nodes:
            for check in CHECKS:
                first = _outcome(check, node)
                if repeat and _outcome(check, node) != first:
                    raise Fault(f"{check.__name__} changed its answer on the same node")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    source = fdp if fdp.ConsumeBool() else random.Random(fdp.ConsumeInt(4))
    mod, typed = relay_gen.random_network(relay_gen.Draw(source), max_nodes=16)
    config = _arch_config(fdp)
    before = tvm.ir.structural_hash(mod, map_free_vars=True)
    func = mod["main"]
    with BuildConfig(arch_config=config) if config is not None else _NoConfig():
        _judge_all(fdp, func)
        if typed:
            table = TABLES[fdp.ConsumeIntInRange(0, len(TABLES) - 1)]()
            try:
                driver.partition(mod, table)
            except Exception as error:
                require_sound_error(error, _ALLOWED)
    if tvm.ir.structural_hash(mod, map_free_vars=True) != before:
        raise Fault("the network changed")


class _NoConfig:
    def __enter__(self):
        return None

    def __exit__(self, *exc_info):
        return False
