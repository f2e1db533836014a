"""The float32 pattern makers and the "vexa_fp32" table."""

import subprocess
import sys

import numpy as np
import pytest
from conftest import ROOT
from tvm import relay
from tvm.relay.op.contrib import get_pattern_table

from vexatvm_internal import patterns as P

ENTRIES = [
    ("vexa_fp32.conv2d", "make_fp32_conv2d_pat", "check_fp32"),
    ("vexa_fp32.bias_add", "make_fp32_bias_add_pat", "check_fp32_bias_add"),
    ("vexa_fp32.maxpool2d", "make_fp32_maxpool2d_pat", "check_fp32"),
    ("vexa_fp32.leaky_relu", "make_fp32_leaky_relu_pat", "check_fp32"),
    ("vexa_fp32.silu", "make_fp32_silu_pat", "check_fp32"),
    ("vexa_fp32.hswish", "make_fp32_hswish_pat", "check_fp32"),
    ("vexa_fp32.hswish_onnx", "make_fp32_hswish_onnx_pat", "check_fp32"),
    ("vexa_fp32.res_add", "make_fp32_res_add_pat", "check_fp32_res_add"),
    ("vexa_fp32.relu", "make_fp32_relu_pat", "check_fp32_relu"),
    ("vexa_fp32.avg_pool2d", "make_fp32_avg_pool2d_pat", "check_avg_pool2d"),
    ("vexa_fp32.avg_pool2d_onnx", "make_fp32_avg_pool2d_onnx_pat", "check_avg_pool2d"),
    ("vexa_fp32.upsampling", "make_fp32_upsampling_pat", "check_fp32_upsampling"),
    ("vexa_fp32.hardtanh", "make_fp32_hardtanh_pat", "check_fp32_hardtanh"),
    ("vexa_fp32.concatenate", "make_f32_concatenate_pat", "check_fp32_concatenate"),
]
MAKERS = [maker for _, maker, _ in ENTRIES]


def test_entries_in_order_with_their_checks():
    table = P.pattern_table_vexa_f32()
    assert [(e[0], len(e)) for e in table] == [(name, 3) for name, _, _ in ENTRIES]
    assert [e[2] for e in table] == [getattr(P, check) for _, _, check in ENTRIES]
    assert all(isinstance(e[1], relay.dataflow_pattern.DFPattern) for e in table)


def test_every_call_builds_a_new_list_and_new_patterns():
    first, second = P.pattern_table_vexa_f32(), P.pattern_table_vexa_f32()
    assert first is not second
    assert all(a[1] is not b[1] and a[1].handle.value != b[1].handle.value for a, b in zip(first, second))
    first.append("extra")
    assert len(second) == 14


def test_makers_and_checks_are_looked_up_at_call_time(monkeypatch):
    calls = []
    for maker in MAKERS:
        original = getattr(P, maker)
        monkeypatch.setattr(P, maker, lambda original=original, maker=maker: calls.append(maker) or original())
    monkeypatch.setattr(P, "check_fp32_relu", "replaced")
    table = P.pattern_table_vexa_f32()
    assert calls == MAKERS
    assert table[8][2] == "replaced"
    monkeypatch.delattr(P, "check_avg_pool2d")
    with pytest.raises(NameError, match="check_avg_pool2d"):
        P.pattern_table_vexa_f32()


def test_registered_last_in_decorator_form():
    code = """
import sys; sys.path.insert(0, 'tests'); import conftest
import tvm.relay.op.contrib.register as register
names = []
original = register.register_pattern_table
def recording(name, table=None):
    assert table is None
    def apply(function):
        names.append(name)
        original(name)(function)
        decorated = lambda: function()
        decorated.original = function
        return decorated
    return apply
register.register_pattern_table = recording
from vexatvm_internal import patterns
assert names == ['vexa', 'vexa_with_clip', 'vexa_with_fc', 'vexa_fp32'], names
decorated = patterns.pattern_table_vexa_f32
assert decorated.original.__name__ == 'pattern_table_vexa_f32', decorated
assert len(decorated()) == 14
assert [e[0] for e in register.get_pattern_table('vexa_fp32')][-1] == 'vexa_fp32.concatenate'
print('ok')
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, cwd=str(ROOT))
    assert result.stdout.strip() == "ok", result.stderr[-3000:]
    assert len(get_pattern_table("vexa_fp32")) == 14


# --- What each maker matches.

x = relay.var("x", shape=(1, 8, 8, 16))
y = relay.var("y", shape=(1, 8, 8, 16))


def const(value, dtype="float32"):
    return relay.const(value, dtype)


def weight():
    return relay.const(np.zeros((3, 3, 16, 16), "float32"))


def conv(data, w):
    return relay.nn.conv2d(data, w, padding=1, data_layout="NHWC", kernel_layout="HWIO")


def hswish(three=const(3.0), six=const(6.0), divide=True):
    clipped = relay.clip(relay.add(x, three), 0.0, 6.0)
    return relay.multiply(x, relay.divide(clipped, six) if divide else relay.multiply(clipped, const(1 / 6)))


def hswish_onnx(sixth=const(0.16666666666666666), half=const(0.5)):
    return relay.multiply(x, relay.clip(relay.add(half, relay.multiply(x, sixth)), 0.0, 1.0))


def concat(n):
    return relay.concatenate([relay.nn.relu(relay.var(f"v{i}", shape=(1, 4))) for i in range(n)], axis=1)


def pool(kind):
    if kind == "global":
        return relay.nn.global_avg_pool2d(x, layout="NHWC")
    if kind == "adaptive":
        return relay.nn.adaptive_avg_pool2d(x, (1, 1), layout="NHWC")
    return relay.nn.avg_pool2d(x, (8, 8), layout="NHWC")


MATCHES = [
    ("make_fp32_conv2d_pat", lambda: conv(x, weight()), True),
    ("make_fp32_conv2d_pat", lambda: conv(x, relay.nn.relu(weight())), False),
    ("make_fp32_bias_add_pat", lambda: relay.add(x, const(np.zeros(16, "float32"))), True),
    ("make_fp32_bias_add_pat", lambda: relay.nn.bias_add(x, const(np.zeros(16, "float32")), axis=3), True),
    ("make_fp32_bias_add_pat", lambda: relay.add(x, y), False),
    ("make_fp32_leaky_relu_pat", lambda: relay.nn.leaky_relu(x), True),
    ("make_fp32_silu_pat", lambda: relay.multiply(x, relay.sigmoid(x)), True),
    ("make_fp32_silu_pat", lambda: relay.multiply(x, relay.sigmoid(y)), False),
    ("make_fp32_hswish_pat", hswish, True),
    ("make_fp32_hswish_pat", lambda: hswish(three=const(3.0, "float64")), False),
    ("make_fp32_hswish_pat", lambda: hswish(six=const(6.0, "float64")), False),
    ("make_fp32_hswish_pat", lambda: hswish(three=const(3.5)), False),
    ("make_fp32_hswish_pat", lambda: hswish(divide=False), False),
    ("make_fp32_hswish_onnx_pat", hswish_onnx, True),
    ("make_fp32_hswish_onnx_pat", lambda: hswish_onnx(sixth=const(1 / 6, "float64")), False),
    ("make_fp32_hswish_onnx_pat", lambda: hswish_onnx(sixth=const(0.1666)), False),
    ("make_fp32_hswish_onnx_pat", lambda: hswish_onnx(half=const(0.25)), False),
    ("make_fp32_res_add_pat", lambda: relay.add(x, y), True),
    ("make_fp32_relu_pat", lambda: relay.nn.relu(x), True),
    ("make_fp32_avg_pool2d_pat", lambda: pool("adaptive"), True),
    ("make_fp32_avg_pool2d_pat", lambda: pool("plain"), True),
    ("make_fp32_avg_pool2d_pat", lambda: pool("global"), False),
    ("make_fp32_avg_pool2d_onnx_pat", lambda: pool("global"), True),
    ("make_fp32_avg_pool2d_onnx_pat", lambda: pool("adaptive"), False),
    ("make_fp32_avg_pool2d_onnx_pat", lambda: pool("plain"), False),
    ("make_fp32_upsampling_pat", lambda: relay.image.resize2d(x, (16, 16), layout="NHWC"), True),
    ("make_fp32_hardtanh_pat", lambda: relay.clip(x, -1.0, 1.0), True),
    ("make_fp32_hardtanh_pat", lambda: relay.nn.relu(x), False),
    ("make_f32_concatenate_pat", lambda: concat(1), False),
    ("make_f32_concatenate_pat", lambda: concat(2), True),
    ("make_f32_concatenate_pat", lambda: concat(7), True),
    ("make_f32_concatenate_pat", lambda: concat(8), False),
]


@pytest.mark.parametrize("maker,build,expected", MATCHES)
def test_maker_matches(maker, build, expected):
    assert bool(getattr(P, maker)().match(build())) is expected


@pytest.mark.parametrize(
    "pad_value,pad_inside",
    [(const(0.0), True), (const(1.0), False), (const(0.0, "float16"), False), (const(0.0, "float64"), False)],
)
def test_max_pool_takes_only_a_zero_pad_inside(pad_value, pad_inside):
    data = x if pad_value.data.dtype == "float32" else relay.var("h", shape=(1, 8, 8, 16), dtype=pad_value.data.dtype)
    padded = relay.nn.pad(data, ((0, 0), (1, 1), (1, 1), (0, 0)), pad_value=pad_value)
    pooled = relay.nn.max_pool2d(padded, (3, 3), layout="NHWC")
    partitioned = P.make_fp32_maxpool2d_pat().partition(pooled, {"Composite": "vexa_fp32.maxpool2d"})
    body_ops = []
    relay.analysis.post_order_visit(
        partitioned.op.body, lambda n: body_ops.append(n.op.name) if isinstance(n, relay.Call) else None
    )
    assert body_ops == (["nn.pad", "nn.max_pool2d"] if pad_inside else ["nn.max_pool2d"])


def test_makers_build_new_patterns_every_call():
    for maker in MAKERS:
        assert getattr(P, maker)().handle.value != getattr(P, maker)().handle.value


def test_concatenation_uses_the_module_tuple_builder(monkeypatch):
    seen = []

    def recording(start, end, ptrn_gen):
        seen.append((start, end, type(ptrn_gen(0)).__name__, ptrn_gen(5) is not ptrn_gen(5)))
        return P.is_tuple(None)

    monkeypatch.setattr(P, "tuple_multi_input_pattern", recording)
    assert P.make_f32_concatenate_pat().match(concat(9))  # the tuple builder's own pattern
    assert seen == [(2, 8, "WildcardPattern", True)]


@pytest.mark.parametrize("constant", ["is_expr", "const"])
def test_scalar_constants_are_exact_float32(monkeypatch, constant):
    seen = []
    original = getattr(P, constant)
    monkeypatch.setattr(P, constant, lambda *a: seen.append(a) or original(*a))
    for maker in ("make_fp32_maxpool2d_pat", "make_fp32_hswish_pat", "make_fp32_hswish_onnx_pat"):
        getattr(P, maker)()
    if constant == "const":
        assert seen == [(0.0,), (3.0,), (6.0,), (0.16666666666666666,), (0.5,)]
        assert all(type(a[0]) is float for a in seen)
    else:
        values = [0.0, 3.0, 6.0, 0.16666666666666666, 0.5]
        assert [a[0].data.numpy().item() for a in seen] == [float(np.float32(v)) for v in values]
        assert [a[0].data.dtype for a in seen] == ["float32"] * 5
