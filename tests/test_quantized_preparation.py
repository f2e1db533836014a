"""The quantized preparation skips type inference, passes and rewrites
that have nothing to do; its result must be the one of every step run on
the whole module."""

import sys

import numpy as np
import pytest
from conftest import ROOT, requires_tvm
from layout_forms_reference import reference_callbacks

pytestmark = requires_tvm

sys.path.insert(0, str(ROOT / "tools" / "vexatvm"))
import tvm  # noqa: E402
from bias_forms_reference import NATIVE_STEPS, RequantizedReluToClip  # noqa: E402
from tvm import relay  # noqa: E402
from tvm.relay.dataflow_pattern import DFPatternCallback, is_constant, is_op, rewrite, wildcard  # noqa: E402

from vexa_host import _native  # noqa: E402
from vexa_host.canonicalize import _NHWC_REWRITES, is_qdq_form, preparation_notes  # noqa: E402
from vexa_host.flow import NHWC_LAYOUTS, prepare_quantized  # noqa: E402
from vexa_host.folding import fold_constants  # noqa: E402
from vexa_host.rewrites import rewrite_functions  # noqa: E402
from vexa_host.rewrites.batch_matmul_transposed import BatchMatmulTransposedB  # noqa: E402
from vexa_host.rewrites.division_between_quantizations import division_notes  # noqa: E402
from vexatvm_cli.importers import read_model, to_relay  # noqa: E402

MODELS = sorted(path.name for path in (ROOT / "tests" / "models").iterdir() if path.suffix in (".tflite", ".onnx"))


def _infer(mod):
    return relay.transform.InferType()(mod)


def _rewritten(mod, callback_type):
    mod = _infer(mod)
    for global_var, function in list(mod.functions.items()):
        mod[global_var] = rewrite(callback_type(), function, mod)
    return _infer(mod)


def _every_step_everywhere(mod):
    """The preparation without any skipping: each step on the whole module,
    typed again after it."""
    mod = _infer(mod)
    if is_qdq_form(mod):
        mod = relay.transform.FakeQuantizationToInteger()(_rewritten(mod, BatchMatmulTransposedB))
    mod = _rewritten(mod, RequantizedReluToClip)
    mod = _infer(relay.transform.CanonicalizeOps()(mod))
    mod = fold_constants(_infer(relay.transform.ConvertLayout(NHWC_LAYOUTS)(mod)), fold_qnn=False)
    for step in _NHWC_REWRITES:
        for callback_type in NATIVE_STEPS.get(step) or reference_callbacks(step):
            mod = _rewritten(mod, callback_type)
    return mod


@pytest.mark.parametrize("name", MODELS)
def test_preparation_equals_every_step_run_everywhere(name):
    network = to_relay(read_model(ROOT / "tests" / "models" / name))
    mod = network.mod
    if network.params:
        mod["main"] = relay.build_module.bind_params_by_name(mod["main"], network.params)
    prepared = prepare_quantized(mod)
    expected = _every_step_everywhere(mod)
    assert tvm.ir.structural_equal(prepared["main"], expected["main"], map_free_vars=True)
    assert preparation_notes(prepared) == [str(note) for note in division_notes(expected)]


class _AddOfTwoToSubtract(DFPatternCallback):
    """add(x, 2) -> subtract(x, -2); every other add is declined."""

    def __init__(self):
        super().__init__(require_type=True)
        self.constant = is_constant()
        self.pattern = is_op("add")(wildcard(), self.constant)

    def callback(self, pre, post, node_map):
        if node_map[self.constant][0].data.numpy().item() != 2.0:
            return post
        return relay.subtract(post.args[0], relay.const(-2.0))


def _adds(*values):
    x = relay.var("x", shape=(4,))
    body = x
    for value in values:
        body = relay.add(body, relay.const(value))
    return _infer(tvm.IRModule.from_expr(relay.Function([x], body)))


@pytest.mark.parametrize("values", [(1.0, 2.0), (2.0, 1.0), (2.0, 2.0), (1.0, 3.0)])
def test_rewrite_applies_wherever_the_callback_accepts(values):
    mod = _adds(*values)
    before = mod["main"]
    rewritten = rewrite_functions(mod, _AddOfTwoToSubtract)
    assert tvm.ir.structural_equal(rewritten["main"], rewrite(_AddOfTwoToSubtract(), mod["main"]))
    assert _native.fully_typed(rewritten["main"])
    assert mod["main"].same_as(before)  # the caller's module is left as it was
    if 2.0 not in values:
        assert rewritten.same_as(mod)
    data = np.arange(4, dtype="float32")
    run = lambda m: relay.create_executor("graph", mod=m, target="llvm -mtriple=x86_64-linux-gnu").evaluate()(data)
    np.testing.assert_allclose(run(rewritten).numpy(), data + sum(values))
