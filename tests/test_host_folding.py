"""Constant folding on the data: the module FoldConstant gives, bit for bit,
operator by operator on random data and for the whole preparation of the
samples and fixture models."""

from pathlib import Path

import numpy as np
import pytest
import tvm
from conftest import requires_tvm
from tvm import relay
from tvm.relay import testing, transform

from vexa_host import canonicalize, flow
from vexa_host.folding import fold_constants

pytestmark = requires_tvm

ROOT = Path(__file__).resolve().parent.parent
RNG = np.random.default_rng(0)
F = relay.const((RNG.normal(size=(2, 3, 4, 5)) * 10).astype("float32"))


def _const(values, dtype):
    return relay.const(np.asarray(values).astype(dtype))


def _quantize(data, scale, zero_point, dtype, axis=-1):
    return relay.qnn.op.quantize(
        data, _const(scale, "float32"), _const(zero_point, "int32"), axis=axis, out_dtype=dtype
    )


FOLDED = {
    "layout_transform": lambda: relay.layout_transform(F, "NCHW", "NHWC"),
    "transpose": lambda: relay.transpose(F, (3, 1, 0, 2)),
    "transpose reversed": lambda: relay.transpose(F),
    "reshape": lambda: relay.reshape(F, (6, -1)),
    "expand_dims, squeeze": lambda: relay.squeeze(relay.expand_dims(F, 1, 2), [1]),
    **{
        f"cast to {dtype}": (lambda dtype=dtype: relay.cast(F, dtype))
        for dtype in ("int8", "uint8", "int16", "int32", "int64", "float64")
    },
    "cast int64 to float32": lambda: relay.cast(_const(RNG.integers(-(2**62), 2**62, 9), "int64"), "float32"),
    "cast int32 to int8": lambda: relay.cast(_const(RNG.integers(-(2**31), 2**31 - 1, 9), "int32"), "int8"),
    "cast out of range": lambda: relay.cast(_const([3e9, -1.5, float("nan")], "float32"), "int32"),
    "add, broadcast": lambda: relay.add(F, _const(RNG.normal(size=5), "float32")),
    "divide, broadcast": lambda: relay.divide(F, _const(RNG.normal(size=(1, 3, 1, 1)), "float32")),
    "multiply, broadcast left": lambda: relay.multiply(_const(RNG.normal(size=(4, 1)), "float32"), F),
    "batch norm scale": lambda: relay.negative(
        relay.divide(
            _const(RNG.normal(size=8), "float32"),
            relay.sqrt(relay.add(_const(np.abs(RNG.normal(size=8)), "float32"), relay.const(1e-5))),
        )
    ),
    "quantize ties": lambda: _quantize(_const(np.arange(-20, 20) * 0.5, "float32"), 1.0, 0, "int8"),
    **{
        f"quantize to {dtype}": (lambda dtype=dtype: _quantize(F, 0.07, 3, dtype))
        for dtype in ("int8", "uint8", "int32")
    },
    "quantize per channel": lambda: _quantize(F, RNG.random(5) * 0.1 + 0.01, RNG.integers(-3, 3, 5), "int8"),
    "quantize per channel, axis 1": lambda: _quantize(F, RNG.random(3) * 0.1 + 0.01, 0, "int8", axis=1),
    **{
        f"dequantize {dtype}": (
            lambda dtype=dtype: relay.qnn.op.dequantize(
                _const(np.arange(np.iinfo(dtype).min, np.iinfo(dtype).max + 1), dtype),
                _const(0.0173, "float32"),
                _const(-7, "int32"),
            )
        )
        for dtype in ("int8", "uint8")
    },
    "dequantize int32 per channel": lambda: relay.qnn.op.dequantize(
        _const(RNG.integers(-(2**31), 2**31 - 1, (2, 3, 4, 5)), "int32"),
        _const(RNG.random(3) * 0.1, "float32"),
        _const(RNG.integers(-3, 3, 3), "int32"),
        axis=1,
    ),
    # The end of a QDQ hard-swish: every int8 value through both quantizations.
    "quantize of a dequantize divided": lambda: _quantize(
        relay.divide(
            relay.qnn.op.dequantize(
                _const(np.arange(-128, 128), "int8"), _const(0.0457, "float32"), _const(3, "int32")
            ),
            relay.const(6.0),
        ),
        0.00762,
        -2,
        "int8",
    ),
    # left for FoldConstant, with what folds natively below them
    "relu of a layout transform": lambda: relay.nn.relu(relay.layout_transform(F, "NCHW", "NHWC")),
    "concatenate of a tuple": lambda: relay.concatenate([F, relay.transpose(F, (0, 1, 2, 3))], 0),
    "item of a split": lambda: relay.split(F, 3, axis=1)[1],
}


def _module(expr):
    x = relay.var("x", shape=(1,))
    return transform.InferType()(tvm.IRModule.from_expr(relay.Function([x], relay.Tuple([expr, relay.abs(x)]))))


@pytest.mark.parametrize("fold_qnn", [True, False])
@pytest.mark.parametrize("name", FOLDED)
def test_folding_gives_fold_constants_result(name, fold_qnn):
    mod = _module(FOLDED[name]())
    expected = transform.InferType()(transform.FoldConstant(fold_qnn=fold_qnn)(mod))
    assert tvm.ir.structural_equal(fold_constants(mod, fold_qnn), expected)


def test_shape_of_is_left_to_fold_constant():
    x = relay.var("x", shape=(2, 3))
    mod = transform.InferType()(tvm.IRModule.from_expr(relay.Function([x], relay.shape_of(x))))
    assert isinstance(fold_constants(mod)["main"].body, relay.Constant)


def _tvm_folding(mod, fold_qnn=True):
    return transform.InferType()(transform.FoldConstant(fold_qnn=fold_qnn)(transform.InferType()(mod)))


def test_preparation_of_samples_and_fixture_models_is_unchanged(monkeypatch):
    from vexatvm_cli import samples
    from vexatvm_cli.importers import read_model, to_relay

    networks = [build() for build in samples.SAMPLES.values()]
    networks += [to_relay(read_model(str(path))) for path in sorted((ROOT / "fuzz/seeds/vexatvm").glob("*.*"))]
    for network in networks:
        mod = transform.InferType()(network.mod)
        if network.params:
            mod["main"] = relay.build_module.bind_params_by_name(mod["main"], network.params)
        quantized = canonicalize.is_qdq_form(mod) or "qnn." in mod.astext(show_meta_data=False)
        prepare = flow.prepare_quantized if quantized else flow.prepare_fp32
        native = prepare(mod)
        with monkeypatch.context() as patched:
            patched.setattr(flow, "fold_constants", _tvm_folding)
            patched.setattr(canonicalize, "fold_constants", _tvm_folding)
            expected = prepare(mod)
        assert tvm.ir.structural_equal(native, expected), network.name


def _float_networks():
    x = relay.var("x", shape=(1, 3, 8, 8))
    weight = relay.const(RNG.normal(size=(4, 3, 3, 3)).astype("float32"))
    conv = relay.nn.conv2d(x, weight, padding=(1, 1), channels=4, kernel_size=(3, 3))
    bias = relay.nn.bias_add(conv, relay.const(RNG.normal(size=4).astype("float32")))
    stats = [relay.const(np.abs(RNG.normal(size=4)).astype("float32") + 0.5) for _ in range(4)]
    normed = relay.nn.batch_norm(bias, *stats)[0]
    chain = x
    for index in range(6):
        chain = relay.nn.relu(chain) if index % 2 else relay.tanh(chain)
    return {
        "chain": chain,
        "conv": conv,
        "bias": bias,
        "batch norm": relay.nn.relu(normed),
        "scaled": relay.multiply(relay.nn.max_pool2d(normed), relay.const(2.0)),
    }


@pytest.mark.parametrize("name", _float_networks())
def test_float_preparation_skips_only_passes_without_work(name, monkeypatch):
    body = _float_networks()[name]
    mod = tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))
    prepared = flow.prepare_fp32(mod)
    monkeypatch.setattr(flow, "_rewrites", lambda mod, operators: True)
    assert tvm.ir.structural_equal(prepared, flow.prepare_fp32(mod))


@pytest.mark.parametrize("name", ["batch norm", "scaled", "mobilenet", "resnet-18"])
def test_scale_folding_gives_fold_scale_axis_result(name):
    if name in ("mobilenet", "resnet-18"):
        workload = testing.mobilenet if name == "mobilenet" else testing.resnet
        mod, params = workload.get_workload(batch_size=1)
        mod["main"] = relay.build_module.bind_params_by_name(mod["main"], params)
    else:
        body = _float_networks()[name]
        mod = tvm.IRModule.from_expr(relay.Function(relay.analysis.free_vars(body), body))
    with tvm.transform.PassContext(opt_level=3):
        mod = transform.InferType()(transform.SimplifyInference()(transform.InferType()(mod)))
        expected = transform.InferType()(transform.FoldScaleAxis()(mod))
        assert tvm.ir.structural_equal(flow._fold_scale_axis(mod), expected)
